#include "lib/disassembler_elf.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "lib/labeled_program.h"
#include "lib/logging.h"

namespace vtpatch {

DisassemblerElf::TypedRVA::~TypedRVA() = default;

bool DisassemblerElf::TypedRVARel32::ComputeTarget(const uint8_t *bytes)
{
    set_relative_target(static_cast<int32_t>(Get32(bytes) + 4u));
    return true;
}

bool DisassemblerElf::TypedRVARel32::EmitReference(uint32_t target, LabeledProgram *program)
{
    return program->AddRel32(program->Rel32LabelAt(target));
}

DisassemblerElf::DisassemblerElf(const uint8_t *start, size_t length, bool is64)
    : Disassembler(start, length), is64_(is64)
{
}

uint64_t DisassemblerElf::SectionEnd(const Section &section)
{
    const uint64_t end = section.offset + section.size;
    return end < section.offset ? UINT64_MAX : end;
}

bool DisassemblerElf::ParseImageHeader()
{
    const uint64_t header_size = is64_ ? 64 : 52;
    const uint64_t section_header_size = is64_ ? 64 : 40;
    const uint64_t program_header_size = is64_ ? 56 : 32;
    if (length() < header_size)
        return Bad("Too small");
    const uint8_t *header = start();
    if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F')
        return Bad("No Magic Number");
    if ((Get16(header + 16) & 0xFFFE) != 2)
        return Bad("Not an executable file or shared library");
    if (Get16(header + 18) != ElfMachine())
        return Bad("Not a supported architecture");
    if (Get32(header + 20) != 1)
        return Bad("Unknown file version");
    const uint64_t phoff = is64_ ? Get64(header + 32) : Get32(header + 28);
    const uint64_t shoff = is64_ ? Get64(header + 40) : Get32(header + 32);
    const uint16_t phnum = Get16(header + (is64_ ? 56 : 44));
    const uint16_t shentsize = Get16(header + (is64_ ? 58 : 46));
    const uint16_t shnum = Get16(header + (is64_ ? 60 : 48));
    if (shentsize != section_header_size)
        return Bad("Unexpected section header size");
    if (shoff >= length())
        return Bad("Out of bounds section header table offset");
    const uint64_t section_table_end = shoff + shnum * section_header_size;
    if (section_table_end > length())
        return Bad("Out of bounds section header table");
    if (phoff >= length())
        return Bad("Out of bounds program header table offset");
    const uint64_t program_table_end = phoff + phnum * program_header_size;
    if (program_table_end > length())
        return Bad("Out of bounds program header table");

    sections_.clear();
    segments_.clear();
    uint64_t used = std::max(section_table_end, program_table_end);
    for (uint16_t i = 0; i < shnum; ++i) {
        const uint8_t *p = OffsetToPointer(shoff + i * section_header_size);
        Section section;
        section.type = Get32(p + 4);
        if (is64_) {
            section.addr = Get64(p + 16);
            section.offset = Get64(p + 24);
            section.size = Get64(p + 32);
            section.entsize = Get64(p + 56);
        } else {
            section.addr = Get32(p + 12);
            section.offset = Get32(p + 16);
            section.size = Get32(p + 20);
            section.entsize = Get32(p + 36);
        }
        if (section.type != SHT_NOBITS)
            used = std::max(used, SectionEnd(section));
        sections_.push_back(section);
    }
    for (uint16_t i = 0; i < phnum; ++i) {
        const uint8_t *p = OffsetToPointer(phoff + i * program_header_size);
        Segment segment;
        segment.type = Get32(p);
        if (is64_) {
            segment.offset = Get64(p + 8);
            segment.vaddr = Get64(p + 16);
            segment.filesz = Get64(p + 32);
            segment.memsz = Get64(p + 40);
        } else {
            segment.offset = Get32(p + 4);
            segment.vaddr = Get32(p + 8);
            segment.filesz = Get32(p + 16);
            segment.memsz = Get32(p + 20);
        }
        const uint64_t end = segment.offset + segment.filesz;
        used = std::max(used, end < segment.offset ? UINT64_MAX : end);
        segments_.push_back(segment);
    }
    ReduceLength(used);
    return Good();
}

bool DisassemblerElf::IsLoadTarget(uint32_t target) const
{
    for (const Segment &segment : segments_) {
        if (segment.type == PT_LOAD && target >= segment.vaddr && target - segment.vaddr < segment.memsz)
            return true;
    }
    return false;
}

bool DisassemblerElf::RvaToFileOffset(uint32_t rva, uint64_t *offset) const
{
    for (const Segment &segment : segments_) {
        if (rva >= segment.vaddr && rva - segment.vaddr < segment.memsz && rva - segment.vaddr < segment.filesz) {
            *offset = rva - segment.vaddr + segment.offset;
            return true;
        }
    }
    return false;
}

bool DisassemblerElf::EmitBytes(uint64_t from, uint64_t to, LabeledProgram *program) const
{
    if (to < from || !InBounds(from, to - from) || to - from > UINT32_MAX)
        return false;
    return program->AddBytes(OffsetToPointer(from), static_cast<uint32_t>(to - from));
}

bool DisassemblerElf::ReadRelEntry(uint64_t offset, uint32_t *r_offset, uint32_t *r_info) const
{
    if (offset > UINT64_MAX - 4)
        return false;
    return Read32(offset, r_offset) && Read32(offset + 4, r_info);
}

bool DisassemblerElf::CollectAbs32()
{
    abs32_rvas_.clear();
    // The file ranges of PROGBITS and REL sections, merged, so that each pointer is checked
    // with one binary search however many sections there are.
    std::vector<std::pair<uint64_t, uint64_t>> holders;
    for (const Section &section : sections_) {
        if ((section.type == SHT_PROGBITS || section.type == SHT_REL) && section.size != 0)
            holders.emplace_back(section.offset, SectionEnd(section));
    }
    std::sort(holders.begin(), holders.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto &range : holders) {
        if (!merged.empty() && range.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    const auto held = [&merged](uint64_t offset) {
        auto after = std::upper_bound(merged.begin(), merged.end(), std::make_pair(offset, UINT64_MAX));
        return after != merged.begin() && offset < std::prev(after)->second;
    };
    for (const Section &section : sections_) {
        if (section.type != SHT_REL)
            continue;
        const uint64_t entries = section.entsize == 0 ? 0 : section.size / section.entsize;
        for (uint64_t i = 0; i < entries; ++i) {
            uint32_t r_offset = 0;
            uint32_t r_info = 0;
            // Entries past the image end the disassembly long before i * 8 could wrap.
            if (!ReadRelEntry(section.offset + i * kRelEntrySize, &r_offset, &r_info))
                return false;
            uint32_t rva = 0;
            uint64_t file_offset = 0;
            if (RelocToRva(r_offset, r_info, &rva) && RvaToFileOffset(rva, &file_offset) && held(file_offset))
                abs32_rvas_.push_back(rva);
        }
    }
    std::sort(abs32_rvas_.begin(), abs32_rvas_.end());
    return true;
}

bool DisassemblerElf::ScanX86Branches(const Section &section, bool rip_forms)
{
    if (!InBounds(section.offset, section.size))
        return false;
    const uint8_t *base = OffsetToPointer(section.offset);
    const uint64_t size = section.size;
    uint64_t p = 0;
    while (p < size) {
        const uint64_t remaining = size - p;
        const uint8_t *b = base + p;
        uint64_t operand = 0;
        if (remaining >= 5 && (b[0] == 0xE8 || b[0] == 0xE9))
            operand = p + 1;
        else if (remaining >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B)
            operand = p + 2;
        else if (rip_forms && remaining >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25))
            operand = p + 2;
        else if (rip_forms && remaining >= 7 && (b[0] == 0x48 || b[0] == 0x49) && (b[1] == 0x8B || b[1] == 0x8D) &&
                 (b[2] & 0xC7) == 0x05)
            operand = p + 3;
        if (operand == 0) {
            ++p;
            continue;
        }
        const uint32_t rva = static_cast<uint32_t>(section.addr + operand);
        std::unique_ptr<TypedRVA> reference(new (std::nothrow) TypedRVARel32(rva));
        if (!reference)
            return false;
        reference->ComputeTarget(base + operand);
        const uint32_t target = rva + static_cast<uint32_t>(reference->relative_target());
        if (IsLoadTarget(target)) {
            rel32_.push_back(std::move(reference));
            p = operand + 4;
        } else {
            ++p;
        }
    }
    return true;
}

bool DisassemblerElf::DisassembleInto(LabeledProgram *program)
{
    if (!header_accepted())
        return false;
    program->set_image_base(0);
    if (!CollectAbs32())
        return false;

    rel32_.clear();
    for (const Section &section : sections_) {
        if (section.type == SHT_PROGBITS && !ScanSectionBranches(section))
            return false;
    }
    std::stable_sort(
        rel32_.begin(), rel32_.end(),
        [](const std::unique_ptr<TypedRVA> &a, const std::unique_ptr<TypedRVA> &b) { return a->rva() < b->rva(); });

    abs32_offsets_.clear();
    for (uint32_t rva : abs32_rvas_) {
        uint64_t offset = 0;
        if (!RvaToFileOffset(rva, &offset))
            return false;
        abs32_offsets_.push_back(offset);
    }
    for (const std::unique_ptr<TypedRVA> &reference : rel32_) {
        uint64_t offset = 0;
        if (!RvaToFileOffset(reference->rva(), &offset))
            return false;
        reference->set_file_offset(static_cast<int64_t>(offset));
    }

    abs32_cursor_ = 0;
    rel32_cursor_ = 0;
    const size_t abs32_count = abs32_offsets_.size();
    uint64_t a = 0;
    for (const Section &section : sections_) {
        if (a < section.offset) {
            if (!EmitBytes(a, section.offset, program))
                return false;
            a = section.offset;
        }
        const uint64_t end = SectionEnd(section);
        const auto next_abs32_inside = [&]() {
            return abs32_cursor_ < abs32_count && abs32_offsets_[abs32_cursor_] >= section.offset &&
                   abs32_offsets_[abs32_cursor_] < end;
        };
        switch (section.type) {
        case SHT_PROGBITS:
            if (!EmitProgbits(section, program))
                return false;
            a = end;
            break;
        case SHT_NOBITS:
        case SHT_INIT_ARRAY:
        case SHT_FINI_ARRAY:
            // Their bytes, if any, follow later as gap bytes; pointers in them stay plain.
            while (next_abs32_inside()) {
                Log(LOG_DEBUG, "Skipping relocation entry for unsupported section: " + std::to_string(section.type));
                ++abs32_cursor_;
            }
            break;
        case SHT_REL:
            if (!ParseRelocSection(section, program))
                return false;
            a = end;
            break;
        default:
            if (next_abs32_inside())
                Log(LOG_DEBUG, "Relocation address in unrecognized ELF section: " + std::to_string(section.type));
            break;
        }
    }
    if (a < length() && !EmitBytes(a, length(), program))
        return false;
    if (abs32_cursor_ != abs32_count)
        return false;
    program->AssignLabelIndexes();
    return true;
}

bool DisassemblerElf::EmitProgbits(const Section &section, LabeledProgram *program)
{
    const uint64_t s = section.offset;
    if (!InBounds(s, section.size))
        return false;
    const uint64_t e = s + section.size;
    if (!program->AddOrigin(static_cast<uint32_t>(section.addr)))
        return false;
    const size_t abs32_count = abs32_offsets_.size();
    uint64_t f = s;
    while (f < e) {
        if (abs32_cursor_ < abs32_count && abs32_offsets_[abs32_cursor_] < f)
            return false;
        while (rel32_cursor_ < rel32_.size() && static_cast<uint64_t>(rel32_[rel32_cursor_]->file_offset()) < f)
            ++rel32_cursor_;
        uint64_t h = e;
        if (abs32_cursor_ < abs32_count && abs32_offsets_[abs32_cursor_] < h)
            h = abs32_offsets_[abs32_cursor_];
        if (rel32_cursor_ < rel32_.size()) {
            // A reference is only taken when its four bytes lie before the stop.
            const uint64_t r = static_cast<uint64_t>(rel32_[rel32_cursor_]->file_offset());
            if (r + 3 < h)
                h = r;
        }
        if (f < h) {
            if (!EmitBytes(f, h, program))
                return false;
            f = h;
            continue;
        }
        if (abs32_cursor_ < abs32_count && f == abs32_offsets_[abs32_cursor_]) {
            uint32_t value = 0;
            if (!Read32(f, &value) || !program->AddAbs32(program->Abs32LabelAt(value)))
                return false;
            f += 4;
            ++abs32_cursor_;
            continue;
        }
        TypedRVA &reference = *rel32_[rel32_cursor_];
        const uint32_t target =
            static_cast<uint32_t>(section.addr + (f - s)) + static_cast<uint32_t>(reference.relative_target());
        if (!reference.EmitReference(target, program))
            return false;
        f += reference.OpSize();
        ++rel32_cursor_;
    }
    return true;
}

} // namespace vtpatch
