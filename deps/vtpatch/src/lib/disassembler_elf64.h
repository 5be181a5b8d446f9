#ifndef VTPATCH_DISASSEMBLER_ELF64_H
#define VTPATCH_DISASSEMBLER_ELF64_H

#include "lib/disassembler_elf.h"

namespace vtpatch {

// Base of the 64-bit ELF disassemblers: 64-byte file header, 64-byte section headers, 56-byte
// program headers. RVAs stay 32 bits wide (the low half of the virtual address).
class DisassemblerElf64 : public DisassemblerElf {
protected:
    DisassemblerElf64(const uint8_t *start, size_t length) : DisassemblerElf(start, length, true) {}
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_ELF64_H
