#include "lib/disassembler_elf64_x64.h"

#include "lib/labeled_program.h"

namespace vtpatch {

int DisassemblerElf64X64::ImageKind() const
{
    return ELF_64_X64;
}

bool DisassemblerElf64X64::ParseRelocSection(const Section &section, LabeledProgram *program)
{
    return EmitBytes(section.offset, SectionEnd(section), program);
}

} // namespace vtpatch
