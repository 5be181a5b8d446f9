#ifndef VTPATCH_DISASSEMBLER_ELF64_X64_H
#define VTPATCH_DISASSEMBLER_ELF64_X64_H

#include "lib/disassembler_elf64.h"

namespace vtpatch {

// x86-64 ELF executables and shared objects (e_machine 62). Only relative references: calls,
// jumps and RIP-relative operands; relocation sections stay plain bytes.
class DisassemblerElf64X64 : public DisassemblerElf64 {
public:
    using TypedRVAX64 = TypedRVARel32;

    DisassemblerElf64X64(const uint8_t *start, size_t length) : DisassemblerElf64(start, length) {}
    int ImageKind() const override;

protected:
    uint16_t ElfMachine() const override { return 62; }
    bool RelocToRva(uint32_t, uint32_t, uint32_t *) const override { return false; }
    bool ParseRelocSection(const Section &section, LabeledProgram *program) override;
    bool ScanSectionBranches(const Section &section) override { return ScanX86Branches(section, true); }
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_ELF64_X64_H
