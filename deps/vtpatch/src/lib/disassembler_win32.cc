#include "lib/disassembler_win32.h"

#include <algorithm>
#include <cstring>

#include "lib/labeled_program.h"
#include "lib/logging.h"

namespace vtpatch {

namespace {

constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint16_t kRelocDir64 = 10;

} // namespace

int DisassemblerWin32X86::ImageKind() const
{
    return WIN_32_X86;
}

int DisassemblerWin32X64::ImageKind() const
{
    return WIN_32_X64;
}

DisassemblerWin32::DisassemblerWin32(const uint8_t *start, size_t length, bool x64)
    : Disassembler(start, length), x64_(x64)
{
}

bool DisassemblerWin32::IsText(const Section &section)
{
    return std::memcmp(section.name, ".text", 6) == 0;
}

bool DisassemblerWin32::ReadDataDirectory(int index, DataDirectory *directory)
{
    const uint32_t i = static_cast<uint32_t>(index);
    if (i >= number_of_data_directories_) {
        *directory = DataDirectory();
        return true;
    }
    const uint64_t offset_in_header = data_directory_offset_ + 8ull * i;
    if (offset_in_header >= size_of_optional_header_)
        return false;
    const uint64_t entry = optional_header_offset_ + offset_in_header;
    // The entry must leave at least one byte of the image after it.
    if (entry + 8 >= length())
        return false;
    directory->rva = Get32(OffsetToPointer(entry));
    directory->size = Get32(OffsetToPointer(entry + 4));
    return directory->size <= size_of_image_;
}

bool DisassemblerWin32::ParseImageHeader()
{
    if (length() < 64)
        return Bad("Too small");
    if (start()[0] != 'M' || start()[1] != 'Z')
        return Bad("Not MZ");
    const uint32_t pe_offset = Get32(OffsetToPointer(60));
    if (pe_offset >= length() || pe_offset == 0 || pe_offset >= length() - 24)
        return Bad("Bad offset to PE header");
    if (pe_offset % 8 != 0)
        return Bad("Misaligned PE header");
    const uint8_t *pe = OffsetToPointer(pe_offset);
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
        return Bad("no PE signature");
    section_count_ = Get16(pe + 6);
    size_of_optional_header_ = Get16(pe + 20);
    optional_header_offset_ = pe_offset + 24ull;
    if (optional_header_offset_ + size_of_optional_header_ >= length())
        return Bad("optional header past end of file");
    if (size_of_optional_header_ < 2)
        return Bad("optional header no magic");
    const uint8_t *optional = OffsetToPointer(optional_header_offset_);
    const uint16_t magic = Get16(optional);
    if (magic == kMagicPe32) {
        is_pe32_plus_ = false;
        data_directory_offset_ = 96;
    } else if (magic == kMagicPe32Plus) {
        is_pe32_plus_ = true;
        data_directory_offset_ = 112;
    } else {
        return Bad("unrecognized magic");
    }
    if (size_of_optional_header_ < data_directory_offset_)
        return Bad("optional header too short");

    size_of_code_ = Get32(optional + 4);
    size_of_initialized_data_ = Get32(optional + 8);
    size_of_uninitialized_data_ = Get32(optional + 12);
    base_of_code_ = Get32(optional + 20);
    if (is_pe32_plus_) {
        image_base_ = Get64(optional + 24);
        number_of_data_directories_ = Get32(optional + 108);
    } else {
        base_of_data_ = Get32(optional + 24);
        image_base_ = Get32(optional + 28);
        number_of_data_directories_ = Get32(optional + 92);
    }
    size_of_image_ = Get32(optional + 56);

    struct {
        int index;
        DataDirectory *directory;
    } const directories[] = {
        {0, &export_table_},          {1, &import_table_},
        {2, &resource_table_},        {3, &exception_table_},
        {5, &base_relocation_table_}, {11, &bound_import_table_},
        {12, &import_address_table_}, {13, &delay_import_descriptor_},
        {14, &clr_runtime_header_},
    };
    for (const auto &entry : directories) {
        if (!ReadDataDirectory(entry.index, entry.directory))
            return Bad("malformed data directory");
    }

    const uint64_t table = optional_header_offset_ + size_of_optional_header_;
    if (table + section_count_ * kSectionHeaderSize > length())
        return Bad("section table past end of file");
    sections_.clear();
    has_text_section_ = false;
    uint64_t end_of_raw_data = 0;
    for (uint16_t i = 0; i < section_count_; ++i) {
        const uint8_t *p = OffsetToPointer(table + i * kSectionHeaderSize);
        Section section;
        std::memcpy(section.name, p, 8);
        section.virtual_size = Get32(p + 8);
        section.virtual_address = Get32(p + 12);
        section.size_of_raw_data = Get32(p + 16);
        section.pointer_to_raw_data = Get32(p + 20);
        end_of_raw_data = std::max(end_of_raw_data, uint64_t{section.pointer_to_raw_data} + section.size_of_raw_data);
        has_text_section_ = has_text_section_ || IsText(section);
        sections_.push_back(section);
    }
    ReduceLength(end_of_raw_data);

    if (!x64_ && magic == kMagicPe32Plus)
        return Bad("64 bit executables are not supported by this disassembler");
    if (x64_ && magic == kMagicPe32)
        return Bad("32 bit executables are not supported by this disassembler");
    if (!has_text_section_)
        return Bad("Resource-only executables are not yet supported");
    return Good();
}

bool DisassemblerWin32::RvaToFileOffset(uint32_t rva, uint64_t *offset) const
{
    for (const Section &section : sections_) {
        if (rva >= section.virtual_address && rva - section.virtual_address < section.virtual_size) {
            const uint32_t delta = rva - section.virtual_address;
            if (delta >= section.size_of_raw_data)
                return false;
            *offset = uint64_t{section.pointer_to_raw_data} + delta;
            return true;
        }
    }
    if (rva == 0 || rva == 2) {
        *offset = rva;
        return true;
    }
    Log(LOG_ERROR, "REACHED UNREACHABLE");
    return false;
}

uint32_t DisassemblerWin32::FileOffsetToRva(uint64_t offset) const
{
    for (const Section &section : sections_) {
        if (offset >= section.pointer_to_raw_data && offset - section.pointer_to_raw_data < section.size_of_raw_data)
            return section.virtual_address + static_cast<uint32_t>(offset - section.pointer_to_raw_data);
    }
    return 0;
}

std::vector<size_t> DisassemblerWin32::SectionsInFileOrder() const
{
    // Stable, so that of two sections at one offset the first in the table comes first.
    std::vector<size_t> order;
    for (size_t i = 0; i < sections_.size(); ++i) {
        if (sections_[i].size_of_raw_data != 0)
            order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
        return sections_[a].pointer_to_raw_data < sections_[b].pointer_to_raw_data;
    });
    return order;
}

int DisassemblerWin32::NextSectionInFileOrder(const std::vector<size_t> &order, size_t *cursor, uint64_t offset) const
{
    while (*cursor < order.size() && sections_[order[*cursor]].pointer_to_raw_data < offset)
        ++*cursor;
    if (*cursor == order.size())
        return -1;
    return static_cast<int>(order[(*cursor)++]);
}

bool DisassemblerWin32::ParseRelocs()
{
    abs32_rvas_.clear();
    const DataDirectory &directory = base_relocation_table_;
    if (directory.size == 0)
        return true;
    uint64_t offset = 0;
    if (!RvaToFileOffset(directory.rva, &offset) || offset > length() || directory.size > length() - offset)
        return Bad(".relocs outside image");
    const uint16_t accepted = x64_ ? kRelocDir64 : kRelocHighLow;
    const uint64_t directory_end = offset + directory.size;
    if (directory.size > 8) {
        uint64_t block = offset;
        while (block + 8 < directory_end) {
            const uint32_t page = Get32(OffsetToPointer(block));
            const uint32_t block_size = Get32(OffsetToPointer(block + 4));
            if (block_size < 8 || block_size % 4 != 0)
                return Bad("unreasonable relocs block");
            const uint64_t block_end = block + block_size;
            if (block_end > length())
                return Bad(".relocs block outside image");
            for (uint64_t p = block + 8; p + 2 <= block_end; p += 2) {
                const uint16_t entry = Get16(OffsetToPointer(p));
                const uint16_t type = static_cast<uint16_t>(entry >> 12);
                if (type == 0)
                    continue; // padding
                if (type != accepted)
                    return Bad("unknown type of reloc");
                abs32_rvas_.push_back(page + (entry & 0xFFFu));
            }
            block = block_end;
        }
    }
    std::sort(abs32_rvas_.begin(), abs32_rvas_.end());
    return true;
}

bool DisassemblerWin32::ScanText(const Section &section, size_t *abs32_cursor)
{
    const uint64_t raw = section.pointer_to_raw_data;
    const uint64_t size = section.size_of_raw_data;
    if (!InBounds(raw, size))
        return false;
    const uint8_t *base = OffsetToPointer(raw);
    const uint32_t section_rva = FileOffsetToRva(raw);
    const uint64_t section_end_rva = uint64_t{section_rva} + section.virtual_size;
    const DataDirectory &relocs = base_relocation_table_;
    uint64_t p = 0;
    while (p < size) {
        const uint32_t rva_p = section_rva + static_cast<uint32_t>(p);
        if (rva_p == relocs.rva && relocs.size != 0) {
            p += relocs.size;
            continue;
        }
        const uint64_t remaining = size - p;
        const uint8_t *b = base + p;
        uint64_t operand = 0;
        bool rip_relative = false;
        if (remaining >= 5 && (b[0] == 0xE8 || b[0] == 0xE9)) {
            operand = p + 1;
        } else if (remaining >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B) {
            operand = p + 2;
        } else if (x64_ && remaining >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25)) {
            operand = p + 2;
            rip_relative = true;
        } else if (x64_ && remaining >= 7 && (b[0] == 0x48 || b[0] == 0x49) && (b[1] == 0x8B || b[1] == 0x8D) &&
                   (b[2] & 0xC7) == 0x05) {
            operand = p + 3;
            rip_relative = true;
        }
        if (operand == 0) {
            ++p;
            continue;
        }
        const uint32_t o = section_rva + static_cast<uint32_t>(operand);
        // An operand that overlaps a relocated pointer is not a branch: continue after the pointer.
        while (*abs32_cursor < abs32_rvas_.size() && uint64_t{abs32_rvas_[*abs32_cursor]} + 3 < o)
            ++*abs32_cursor;
        if (*abs32_cursor < abs32_rvas_.size() && abs32_rvas_[*abs32_cursor] < uint64_t{o} + 4) {
            const int64_t step = int64_t{abs32_rvas_[*abs32_cursor]} + 4 - int64_t{rva_p};
            p += step > 0 ? static_cast<uint64_t>(step) : 1;
            continue;
        }
        const uint32_t target = o + Get32(base + operand) + 4;
        const bool accepted =
            target < size_of_image_ && (rip_relative || (target >= section_rva && target < section_end_rva));
        if (accepted) {
            rel32_rvas_.push_back(o);
            p = operand + 4;
        } else {
            ++p;
        }
    }
    return true;
}

bool DisassemblerWin32::EmitRegion(uint64_t s, uint64_t e, LabeledProgram *program, size_t *abs32_cursor,
                                   size_t *rel32_cursor)
{
    if (!InBounds(s, e - s))
        return false;
    const uint32_t origin = FileOffsetToRva(s);
    if (!program->AddOrigin(origin))
        return false;
    const DataDirectory &relocs = base_relocation_table_;
    const uint32_t image_base = static_cast<uint32_t>(image_base_);
    // Runs of plain bytes are added as one instruction each; that encodes exactly like one
    // byte instruction per byte.
    uint64_t run = s;
    const auto flush = [&](uint64_t to) {
        const bool ok = run >= to || program->AddBytes(OffsetToPointer(run), static_cast<uint32_t>(to - run));
        return ok;
    };
    uint64_t r = s;
    while (r < e) {
        const uint32_t h = origin + static_cast<uint32_t>(r - s);
        if (h == relocs.rva) {
            if (!flush(r) || !program->AddPeRelocTableMarker())
                return false;
            if (relocs.size != 0) {
                r += relocs.size;
                run = r;
                continue;
            }
            run = r;
        }
        while (*abs32_cursor < abs32_rvas_.size() && abs32_rvas_[*abs32_cursor] < h)
            ++*abs32_cursor;
        if (*abs32_cursor < abs32_rvas_.size() && abs32_rvas_[*abs32_cursor] == h) {
            uint32_t value = 0;
            if (!flush(r) || !Read32(r, &value) || !program->AddAbs32(program->Abs32LabelAt(value - image_base)))
                return false;
            r += 4;
            run = r;
            continue;
        }
        while (*rel32_cursor < rel32_rvas_.size() && rel32_rvas_[*rel32_cursor] < h)
            ++*rel32_cursor;
        if (*rel32_cursor < rel32_rvas_.size() && rel32_rvas_[*rel32_cursor] == h) {
            uint32_t value = 0;
            if (!flush(r) || !Read32(r, &value) || !program->AddRel32(program->Rel32LabelAt(h + value + 4)))
                return false;
            r += 4;
            run = r;
            continue;
        }
        ++r;
    }
    return flush(e);
}

bool DisassemblerWin32::DisassembleInto(LabeledProgram *program)
{
    if (!header_accepted())
        return false;
    program->set_image_base(x64_ ? image_base_ : static_cast<uint32_t>(image_base_));
    if (!ParseRelocs())
        return false;

    rel32_rvas_.clear();
    size_t abs32_cursor = 0;
    uint64_t previous_end = 0;
    const std::vector<size_t> order = SectionsInFileOrder();
    size_t cursor = 0;
    for (int i = NextSectionInFileOrder(order, &cursor, 0); i >= 0;
         i = NextSectionInFileOrder(order, &cursor, previous_end)) {
        const Section &section = sections_[static_cast<size_t>(i)];
        if (IsText(section) && !ScanText(section, &abs32_cursor))
            return false;
        previous_end = uint64_t{section.pointer_to_raw_data} + section.size_of_raw_data;
    }
    std::sort(rel32_rvas_.begin(), rel32_rvas_.end());

    abs32_cursor = 0;
    size_t rel32_cursor = 0;
    cursor = 0;
    uint64_t a = 0;
    while (a < length()) {
        const int i = NextSectionInFileOrder(order, &cursor, a);
        if (i < 0)
            break;
        const Section &section = sections_[static_cast<size_t>(i)];
        const uint64_t s = section.pointer_to_raw_data;
        const uint64_t e = s + section.size_of_raw_data;
        if (a < s && (!InBounds(a, s - a) || !program->AddBytes(OffsetToPointer(a), static_cast<uint32_t>(s - a))))
            return false;
        if (!EmitRegion(s, e, program, &abs32_cursor, &rel32_cursor))
            return false;
        a = e;
    }
    program->AssignLabelIndexes();
    return true;
}

} // namespace vtpatch
