#include "lib/disassembler_elf32_arm.h"

#include <new>

#include "lib/encoded_program.h"
#include "lib/labeled_program.h"

namespace vtpatch {

namespace {

uint32_t Halfword(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

// The instruction in the form the branch codec takes: the halfword for 16-bit Thumb branches,
// the word for ARM branches, first halfword in the high half for 32-bit Thumb-2 branches.
uint32_t CodecInstruction(int type, const uint8_t *p)
{
    switch (type) {
    case ARM_THUMB_BCOND16:
    case ARM_THUMB_B16:
        return Halfword(p);
    case ARM_B_BL:
        return Halfword(p) | (Halfword(p + 2) << 16);
    default:
        return (Halfword(p) << 16) | Halfword(p + 2);
    }
}

} // namespace

bool DisassemblerElf32ARM::TypedRVAARM::ComputeTarget(const uint8_t *bytes)
{
    uint32_t op = 0;
    uint32_t relative = 0;
    if (!ArmCompress(type_, CodecInstruction(type_, bytes), rva(), &op, &relative))
        return false;
    op_ = static_cast<uint16_t>(op);
    bytes_ = bytes;
    set_relative_target(static_cast<int32_t>(relative));
    return true;
}

bool DisassemblerElf32ARM::TypedRVAARM::EmitReference(uint32_t target, LabeledProgram *program)
{
    return program->AddArmBranch(op_, program->Rel32LabelAt(target), bytes_, OpSize());
}

uint16_t DisassemblerElf32ARM::TypedRVAARM::OpSize() const
{
    return static_cast<uint16_t>(ArmBranchSize(type_));
}

int DisassemblerElf32ARM::ImageKind() const
{
    return ELF_32_ARM;
}

bool DisassemblerElf32ARM::RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t *rva) const
{
    if (r_info != R_ARM_RELATIVE)
        return false;
    *rva = r_offset;
    return true;
}

bool DisassemblerElf32ARM::ScanSectionBranches(const Section &section)
{
    if (!InBounds(section.offset, section.size))
        return false;
    const uint8_t *base = OffsetToPointer(section.offset);
    const uint64_t size = section.size;
    // ARM instructions are word aligned, so the 32-bit ARM pattern is only tried where the
    // halfword walk is in step with them.
    bool arm_position = true;
    uint64_t p = 0;
    while (p < size) {
        const uint64_t remaining = size - p;
        const uint8_t *b = base + p;
        int type = -1;
        if (remaining >= 3) {
            const uint32_t h = Halfword(b);
            if ((h & 0xF000) == 0xD000)
                type = ARM_THUMB_BCOND16;
            else if ((h & 0xF800) == 0xE000)
                type = ARM_THUMB_B16;
        }
        if (type < 0 && remaining >= 5) {
            const uint32_t w = (Halfword(b) << 16) | Halfword(b + 2);
            if ((w & 0xF8008000) == 0xF0008000)
                type = (Halfword(b + 2) & 0x5000) != 0 ? ARM_THUMB2_BL : ARM_THUMB2_BCOND;
            else if (arm_position && (Get32(b) & 0x0E000000) == 0x0A000000)
                type = ARM_B_BL;
        }
        if (type >= 0) {
            const uint32_t rva = static_cast<uint32_t>(section.addr + p);
            std::unique_ptr<TypedRVAARM> reference(new (std::nothrow) TypedRVAARM(type, rva));
            if (!reference)
                return false;
            if (reference->ComputeTarget(b) &&
                IsLoadTarget(rva + static_cast<uint32_t>(reference->relative_target()))) {
                p += reference->OpSize();
                rel32_.push_back(std::move(reference));
                arm_position = true;
                continue;
            }
        }
        p += 2;
        arm_position = !arm_position;
    }
    return true;
}

bool DisassemblerElf32ARM::ParseRelocSection(const Section &section, LabeledProgram *program)
{
    const std::vector<uint32_t> &rvas = abs32_rvas();
    const uint64_t end = SectionEnd(section);
    uint64_t c = section.offset;
    if (rvas.empty())
        return EmitBytes(c, end, program);
    const uint64_t n = rvas.size();
    const uint64_t entries = section.entsize == 0 ? 0 : section.size / section.entsize;
    // Entries are only read while they lie inside the section, so c never passes its end.
    const auto entry_fits = [&]() { return c <= end && end - c >= kRelEntrySize; };

    uint64_t passed = 0;
    while (passed < entries && entry_fits()) {
        uint32_t r_offset = 0;
        uint32_t r_info = 0;
        if (!ReadRelEntry(c, &r_offset, &r_info))
            return false;
        if (r_offset == rvas[0])
            break;
        if (!EmitBytes(c, c + kRelEntrySize, program))
            return false;
        c += kRelEntrySize;
        ++passed;
    }
    if (n > entries)
        return EmitBytes(c, end, program);

    uint64_t matched = 0;
    while (matched < n && entry_fits()) {
        uint32_t r_offset = 0;
        uint32_t r_info = 0;
        if (!ReadRelEntry(c, &r_offset, &r_info))
            return false;
        c += kRelEntrySize;
        if (r_info != R_ARM_RELATIVE || r_offset != rvas[matched])
            break;
        ++matched;
    }
    if (matched == n && !program->AddElfArmRelocTableMarker())
        return false;
    return EmitBytes(c, end, program);
}

} // namespace vtpatch
