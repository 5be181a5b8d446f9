#ifndef VTPATCH_DISASSEMBLER_ELF32_H
#define VTPATCH_DISASSEMBLER_ELF32_H

#include "lib/disassembler_elf.h"

namespace vtpatch {

// Base of the 32-bit ELF disassemblers (x86 and ARM): 52-byte file header, 40-byte section
// headers, 32-byte program headers.
class DisassemblerElf32 : public DisassemblerElf {
protected:
    DisassemblerElf32(const uint8_t *start, size_t length) : DisassemblerElf(start, length, false) {}
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_ELF32_H
