#include "lib/disassembler_macho.h"

#include <algorithm>

#include "lib/labeled_program.h"

namespace vtpatch {

namespace {

constexpr uint32_t kMagic32 = 0xFEEDFACE;
constexpr uint32_t kMagic64 = 0xFEEDFACF;
constexpr uint32_t kCpuX86 = 7;
constexpr uint32_t kCpuX86_64 = 0x01000007;
constexpr uint32_t kSegmentCommand = 1;
constexpr uint32_t kSegmentCommand64 = 25;
constexpr uint64_t kSegment64Size = 72;
constexpr uint64_t kSection64Size = 80;
constexpr uint64_t kSegment32Size = 56;
constexpr uint64_t kSection32Size = 68;

// S_REGULAR sections with S_ATTR_PURE_INSTRUCTIONS hold code.
bool IsCodeSection(uint32_t flags)
{
    return (flags & 0x800000FFu) == 0x80000000u;
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const uint8_t *start, size_t length) : Disassembler(start, length) {}

bool DisassemblerMacho::ParseImageHeader()
{
    if (length() < 32)
        return Bad("Too small");
    const uint32_t magic = Get32(start());
    const uint32_t cputype = Get32(start() + 4);
    uint64_t header_size = 0;
    if (magic == kMagic64) {
        if (cputype != kCpuX86_64)
            return Bad("unsupported cpu type");
        kind_ = MACHO_X64;
        header_size = 32;
    } else if (magic == kMagic32) {
        if (cputype != kCpuX86)
            return Bad("unsupported cpu type");
        kind_ = MACHO_X86;
        header_size = 28;
    } else {
        return Bad("Unknown magic type");
    }
    const uint32_t filetype = Get32(start() + 12);
    if (filetype != 2 && filetype != 5 && filetype != 6 && filetype != 8)
        return Bad("Unsupported filetype in header");

    segments_.clear();
    code_sections_.clear();
    largest_file_end_ = 0;
    const uint32_t command_count = Get32(start() + 16);
    uint64_t command = header_size;
    for (uint32_t i = 0; i < command_count; ++i) {
        if (command > length() || length() - command < 8)
            return Bad("file to small in load commands");
        const uint32_t cmd = Get32(OffsetToPointer(command));
        const uint32_t command_size = Get32(OffsetToPointer(command + 4));
        if (command_size > length() - command)
            return Bad("file to small in load commands");
        // A command shorter than its own 8-byte head would let a hostile count of billions of
        // commands spin on one spot.
        if (command_size < 8)
            return Bad("bad load command size");
        if (cmd == kSegmentCommand64 && !ParseSegment64(command, command_size))
            return false;
        if (cmd == kSegmentCommand && !ParseSegment32(command, command_size))
            return false;
        command += command_size;
    }

    if (!segments_.empty()) {
        uint64_t lowest = segments_[0].vmaddr;
        for (const Segment &segment : segments_)
            lowest = std::min(lowest, segment.vmaddr);
        for (Segment &segment : segments_) {
            segment.vmaddr -= lowest;
            if (segment.vmaddr > 0xFFFFFFFFull - segment.vmsize)
                return Bad("overflow");
        }
        for (CodeSection &section : code_sections_)
            section.address -= lowest;
    }
    if (code_sections_.empty())
        return Bad("Resource-only executables are not yet supported");
    std::stable_sort(code_sections_.begin(), code_sections_.end(),
                     [](const CodeSection &a, const CodeSection &b) { return a.offset < b.offset; });
    ReduceLength(largest_file_end_);
    return Good();
}

bool DisassemblerMacho::ParseSegment64(uint64_t command, uint32_t command_size)
{
    if (kind_ != MACHO_X64)
        return Bad("LC_SEGMENT_64 not supported");
    if (command_size < kSegment64Size)
        return Bad("bad LC_SEGMENT_64");
    const uint8_t *p = OffsetToPointer(command);
    const uint32_t section_count = Get32(p + 64);
    if (section_count == 0)
        return true;
    const uint64_t vmaddr = Get64(p + 24);
    const uint64_t vmsize = Get64(p + 32);
    const uint64_t fileoff = Get64(p + 40);
    const uint64_t filesize = Get64(p + 48);
    if (vmsize > UINT32_MAX || fileoff > UINT32_MAX || filesize > UINT32_MAX)
        return Bad("overflow");
    segments_.push_back(
        {vmaddr, static_cast<uint32_t>(vmsize), static_cast<uint32_t>(fileoff), static_cast<uint32_t>(filesize)});
    largest_file_end_ = std::max(largest_file_end_, fileoff + filesize);
    if (fileoff + filesize > length())
        return Bad("segment too large");
    if (command_size < kSegment64Size + kSection64Size * section_count)
        return Bad("sections too small");
    for (uint32_t i = 0; i < section_count; ++i) {
        const uint8_t *s = p + kSegment64Size + kSection64Size * i;
        if (!IsCodeSection(Get32(s + 64)))
            continue;
        const uint64_t address = Get64(s + 32);
        const uint64_t size = Get64(s + 40);
        if (size > UINT32_MAX)
            return Bad("overflow");
        // Checked without wrap-around: the section must lie inside the segment's memory.
        if (address < vmaddr || address - vmaddr > vmsize || size > vmsize - (address - vmaddr))
            return Bad("section larger than segment");
        code_sections_.push_back({address, static_cast<uint32_t>(size), Get32(s + 48)});
    }
    return true;
}

bool DisassemblerMacho::ParseSegment32(uint64_t command, uint32_t command_size)
{
    if (kind_ != MACHO_X86)
        return Bad("LC_SEGMENT not supported");
    if (command_size < kSegment32Size)
        return Bad("bad LC_SEGMENT");
    const uint8_t *p = OffsetToPointer(command);
    const uint32_t vmaddr = Get32(p + 24);
    const uint32_t vmsize = Get32(p + 28);
    const uint32_t fileoff = Get32(p + 32);
    const uint32_t filesize = Get32(p + 36);
    const uint32_t section_count = Get32(p + 48);
    segments_.push_back({vmaddr, vmsize, fileoff, filesize});
    largest_file_end_ = std::max(largest_file_end_, uint64_t{fileoff} + filesize);
    if (uint64_t{fileoff} + filesize > length())
        return Bad("segment too large");
    if (command_size < kSegment32Size + kSection32Size * section_count)
        return Bad("sections too small");
    for (uint32_t i = 0; i < section_count; ++i) {
        const uint8_t *s = p + kSegment32Size + kSection32Size * i;
        if (!IsCodeSection(Get32(s + 56)))
            continue;
        const uint32_t address = Get32(s + 32);
        const uint32_t size = Get32(s + 36);
        if (address < vmaddr || uint64_t{address} + size - vmaddr > vmsize)
            return Bad("section larger than segment");
        code_sections_.push_back({address, size, Get32(s + 40)});
    }
    return true;
}

uint32_t DisassemblerMacho::FileOffsetToRva(uint64_t offset) const
{
    for (const Segment &segment : segments_) {
        if (offset >= segment.fileoff && offset - segment.fileoff < segment.filesize)
            return static_cast<uint32_t>(offset - segment.fileoff + segment.vmaddr);
    }
    return 0;
}

bool DisassemblerMacho::ScanSection(const CodeSection &section)
{
    if (!InBounds(section.offset, section.size))
        return false;
    const uint8_t *base = OffsetToPointer(section.offset);
    const uint32_t section_rva = FileOffsetToRva(section.offset);
    const bool x64 = kind_ == MACHO_X64;
    uint64_t p = 0;
    while (p < section.size) {
        const uint64_t remaining = section.size - p;
        const uint8_t *b = base + p;
        uint64_t operand = 0;
        if (remaining >= 5 && (b[0] == 0xE8 || b[0] == 0xE9))
            operand = p + 1;
        else if (x64 && remaining >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25))
            operand = p + 2;
        else if (remaining >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B)
            operand = p + 2;
        else if (x64 && remaining >= 7 && (b[0] == 0x48 || b[0] == 0x49) && (b[1] == 0x8D || b[1] == 0x8B) &&
                 (b[2] & 0xC7) == 0x05)
            operand = p + 3;
        if (operand == 0) {
            ++p;
            continue;
        }
        const uint32_t o = section_rva + static_cast<uint32_t>(operand);
        const uint32_t target = o + Get32(base + operand) + 4;
        bool inside = false;
        for (const Segment &segment : segments_) {
            if (target >= segment.vmaddr && target - segment.vmaddr < segment.vmsize) {
                inside = true;
                break;
            }
        }
        if (inside) {
            rel32_rvas_.push_back(o);
            p = operand + 4;
        } else {
            ++p;
        }
    }
    return true;
}

bool DisassemblerMacho::EmitRegion(uint64_t s, uint64_t e, LabeledProgram *program, size_t *rel32_cursor)
{
    if (!InBounds(s, e - s))
        return false;
    const uint32_t origin = FileOffsetToRva(s);
    if (!program->AddOrigin(origin))
        return false;
    // Plain bytes go in runs; a run encodes exactly like one byte instruction per byte.
    uint64_t run = s;
    uint64_t r = s;
    while (r < e) {
        const uint32_t h = origin + static_cast<uint32_t>(r - s);
        while (*rel32_cursor < rel32_rvas_.size() && rel32_rvas_[*rel32_cursor] < h)
            ++*rel32_cursor;
        if (*rel32_cursor < rel32_rvas_.size() && rel32_rvas_[*rel32_cursor] == h) {
            uint32_t value = 0;
            if (run < r && !program->AddBytes(OffsetToPointer(run), static_cast<uint32_t>(r - run)))
                return false;
            if (!Read32(r, &value) || !program->AddRel32(program->Rel32LabelAt(h + value + 4)))
                return false;
            r += 4;
            run = r;
            continue;
        }
        ++r;
    }
    return run >= e || program->AddBytes(OffsetToPointer(run), static_cast<uint32_t>(e - run));
}

bool DisassemblerMacho::DisassembleInto(LabeledProgram *program)
{
    if (!header_accepted())
        return false;
    program->set_image_base(0);
    rel32_rvas_.clear();
    for (const CodeSection &section : code_sections_) {
        if (!ScanSection(section))
            return false;
    }
    std::sort(rel32_rvas_.begin(), rel32_rvas_.end());

    size_t rel32_cursor = 0;
    uint64_t a = 0;
    for (const CodeSection &section : code_sections_) {
        if (section.offset < a)
            continue;
        if (a < section.offset && (!InBounds(a, section.offset - a) ||
                                   !program->AddBytes(OffsetToPointer(a), static_cast<uint32_t>(section.offset - a))))
            return false;
        const uint64_t e = uint64_t{section.offset} + section.size;
        if (!EmitRegion(section.offset, e, program, &rel32_cursor))
            return false;
        a = e;
    }
    if (a < length() &&
        (!InBounds(a, length() - a) || !program->AddBytes(OffsetToPointer(a), static_cast<uint32_t>(length() - a))))
        return false;
    program->AssignLabelIndexes();
    return true;
}

} // namespace vtpatch
