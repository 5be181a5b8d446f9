#include "lib/disassembler_elf32_x86.h"

#include "lib/labeled_program.h"

namespace vtpatch {

int DisassemblerElf32X86::ImageKind() const
{
    return EXE_ELF_32_X86;
}

bool DisassemblerElf32X86::RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t *rva) const
{
    if (r_info != R_386_RELATIVE)
        return false;
    *rva = r_offset;
    return true;
}

bool DisassemblerElf32X86::ParseRelocSection(const Section &section, LabeledProgram *program)
{
    const std::vector<uint32_t> &rvas = abs32_rvas();
    const uint64_t n = rvas.size();
    const uint64_t entries = section.entsize == 0 ? 0 : section.size / section.entsize;
    // The entries must also fit in the section at their 8-byte spacing, or the bytes after
    // them would be a negative run.
    bool table = n >= 1 && n <= entries && n <= section.size / kRelEntrySize;
    for (uint64_t i = 0; table && i < n; ++i) {
        uint32_t r_offset = 0;
        uint32_t r_info = 0;
        if (!ReadRelEntry(section.offset + i * kRelEntrySize, &r_offset, &r_info))
            return false;
        table = r_offset == rvas[i] && r_info == R_386_RELATIVE;
    }
    const uint64_t end = SectionEnd(section);
    if (!table)
        return EmitBytes(section.offset, end, program);
    return program->AddElfRelocTableMarker() && EmitBytes(section.offset + n * kRelEntrySize, end, program);
}

} // namespace vtpatch
