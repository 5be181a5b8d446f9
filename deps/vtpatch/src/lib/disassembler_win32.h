#ifndef VTPATCH_DISASSEMBLER_WIN32_H
#define VTPATCH_DISASSEMBLER_WIN32_H

#include <cstdint>
#include <vector>

#include "lib/disassembler.h"

namespace vtpatch {

// Windows PE images. Absolute pointers come from the base relocation table, which becomes a
// marker that assembly regenerates; relative branches are found by byte patterns in ".text".
// The two twins below differ only in the accepted optional header magic, the relocation entry
// type, the image base they keep and the RIP-relative branch forms of x86-64.
class DisassemblerWin32 : public Disassembler {
public:
    bool ParseImageHeader() override;
    bool DisassembleInto(LabeledProgram *program) override;

    struct Section {
        char name[8];
        uint32_t virtual_size;
        uint32_t virtual_address;
        uint32_t size_of_raw_data;
        uint32_t pointer_to_raw_data;
    };
    struct DataDirectory {
        uint32_t rva = 0;
        uint32_t size = 0;
    };

    uint64_t image_base() const { return image_base_; }
    uint32_t size_of_image() const { return size_of_image_; }
    const std::vector<uint32_t> &abs32_rvas() const { return abs32_rvas_; }
    const std::vector<uint32_t> &rel32_rvas() const { return rel32_rvas_; }

protected:
    DisassemblerWin32(const uint8_t *start, size_t length, bool x64);

private:
    bool ReadDataDirectory(int index, DataDirectory *directory);
    bool RvaToFileOffset(uint32_t rva, uint64_t *offset) const;
    uint32_t FileOffsetToRva(uint64_t offset) const;
    // Indexes of the sections with raw data, by raw data offset.
    std::vector<size_t> SectionsInFileOrder() const;
    // The section with the lowest raw data offset at or after `offset` among those with raw
    // data, or -1. Walks `order` once: the offsets asked for only grow, and a section once
    // returned is behind them.
    int NextSectionInFileOrder(const std::vector<size_t> &order, size_t *cursor, uint64_t offset) const;
    static bool IsText(const Section &section);
    bool ParseRelocs();
    bool ScanText(const Section &section, size_t *abs32_cursor);
    bool EmitRegion(uint64_t s, uint64_t e, LabeledProgram *program, size_t *abs32_cursor, size_t *rel32_cursor);

    bool x64_;
    uint16_t size_of_optional_header_ = 0;
    uint16_t section_count_ = 0;
    bool is_pe32_plus_ = false;
    uint32_t data_directory_offset_ = 0;
    uint64_t image_base_ = 0;
    uint32_t size_of_code_ = 0;
    uint32_t size_of_initialized_data_ = 0;
    uint32_t size_of_uninitialized_data_ = 0;
    uint32_t base_of_code_ = 0;
    uint32_t base_of_data_ = 0;
    uint32_t size_of_image_ = 0;
    uint32_t number_of_data_directories_ = 0;
    uint64_t optional_header_offset_ = 0;
    DataDirectory export_table_, import_table_, resource_table_, exception_table_, base_relocation_table_,
        bound_import_table_, import_address_table_, delay_import_descriptor_, clr_runtime_header_;
    std::vector<Section> sections_;
    bool has_text_section_ = false;
    std::vector<uint32_t> abs32_rvas_;
    std::vector<uint32_t> rel32_rvas_;
};

// PE32 images (optional header magic 0x10B), HIGHLOW relocations.
class DisassemblerWin32X86 : public DisassemblerWin32 {
public:
    DisassemblerWin32X86(const uint8_t *start, size_t length) : DisassemblerWin32(start, length, false) {}
    int ImageKind() const override;
};

// PE32+ images (optional header magic 0x20B), DIR64 relocations of which the low four bytes
// are the pointer.
class DisassemblerWin32X64 : public DisassemblerWin32 {
public:
    DisassemblerWin32X64(const uint8_t *start, size_t length) : DisassemblerWin32(start, length, true) {}
    int ImageKind() const override;
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_WIN32_H
