#ifndef VTPATCH_DISASSEMBLER_MACHO_H
#define VTPATCH_DISASSEMBLER_MACHO_H

#include <cstdint>
#include <vector>

#include "lib/disassembler.h"

namespace vtpatch {

// Mach-O executables, dylibs, bundles and dynamic linkers for x86 (32-bit header) and x86-64.
// Only relative references are found: calls, jumps and, for x86-64, RIP-relative operands in
// code sections. RVAs are addresses minus the lowest address of the segments that count.
class DisassemblerMacho : public Disassembler {
public:
    DisassemblerMacho(const uint8_t *start, size_t length);

    int ImageKind() const override { return kind_; }
    bool ParseImageHeader() override;
    bool DisassembleInto(LabeledProgram *program) override;

    struct Segment {
        uint64_t vmaddr;
        uint32_t vmsize;
        uint32_t fileoff;
        uint32_t filesize;
    };
    struct CodeSection {
        uint64_t address;
        uint32_t size;
        uint32_t offset;
    };
    const std::vector<Segment> &segments() const { return segments_; }
    const std::vector<CodeSection> &code_sections() const { return code_sections_; }
    const std::vector<uint32_t> &rel32_rvas() const { return rel32_rvas_; }

private:
    bool ParseSegment64(uint64_t command, uint32_t command_size);
    bool ParseSegment32(uint64_t command, uint32_t command_size);
    uint32_t FileOffsetToRva(uint64_t offset) const;
    bool ScanSection(const CodeSection &section);
    bool EmitRegion(uint64_t s, uint64_t e, LabeledProgram *program, size_t *rel32_cursor);

    int kind_ = 0;
    std::vector<Segment> segments_;
    std::vector<CodeSection> code_sections_;
    uint64_t largest_file_end_ = 0;
    std::vector<uint32_t> rel32_rvas_;
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_MACHO_H
