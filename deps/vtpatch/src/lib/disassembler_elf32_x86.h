#ifndef VTPATCH_DISASSEMBLER_ELF32_X86_H
#define VTPATCH_DISASSEMBLER_ELF32_X86_H

#include "lib/disassembler_elf32.h"

namespace vtpatch {

// 32-bit x86 ELF executables and shared objects (e_machine 3). Absolute pointers come from
// R_386_RELATIVE entries; when the first entries of a REL section name exactly those pointers,
// the section becomes a relocation table marker that assembly regenerates.
class DisassemblerElf32X86 : public DisassemblerElf32 {
public:
    using TypedRVAX86 = TypedRVARel32;

    DisassemblerElf32X86(const uint8_t *start, size_t length) : DisassemblerElf32(start, length) {}
    int ImageKind() const override;

    static constexpr uint32_t R_386_RELATIVE = 8;

protected:
    uint16_t ElfMachine() const override { return 3; }
    bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t *rva) const override;
    bool ParseRelocSection(const Section &section, LabeledProgram *program) override;
    bool ScanSectionBranches(const Section &section) override { return ScanX86Branches(section, false); }
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_ELF32_X86_H
