#ifndef VTPATCH_DISASSEMBLER_ELF_H
#define VTPATCH_DISASSEMBLER_ELF_H

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/disassembler.h"

namespace vtpatch {

class LabeledProgram;

// What the 32-bit and the 64-bit ELF disassemblers share: the header check, absolute pointers
// from REL relocation sections, branch references found by a per-architecture scan of the
// PROGBITS sections, and the emission of the image section by section. The two widths differ
// only in the layout of the headers; the architectures in their machine number, the
// relocation entries they accept, the scan and the handling of the relocation section.
class DisassemblerElf : public Disassembler {
public:
    // A branch found by the scan: where its operand (or instruction) lies and where it goes.
    class TypedRVA {
    public:
        explicit TypedRVA(uint32_t rva) : rva_(rva) {}
        virtual ~TypedRVA();
        TypedRVA(const TypedRVA &) = delete;
        TypedRVA &operator=(const TypedRVA &) = delete;

        // Decodes the relative target from the reference's bytes.
        virtual bool ComputeTarget(const uint8_t *bytes) = 0;
        virtual bool EmitReference(uint32_t target, LabeledProgram *program) = 0;
        virtual uint16_t OpSize() const = 0;

        uint32_t rva() const { return rva_; }
        int32_t relative_target() const { return relative_target_; }
        int64_t file_offset() const { return file_offset_; }
        void set_file_offset(int64_t offset) { file_offset_ = offset; }

    protected:
        void set_relative_target(int32_t relative) { relative_target_ = relative; }

    private:
        uint32_t rva_;
        int32_t relative_target_ = 0;
        int64_t file_offset_ = -1;
    };

    // A 4-byte relative operand of an x86 or x86-64 call, jump or RIP-relative access.
    class TypedRVARel32 : public TypedRVA {
    public:
        using TypedRVA::TypedRVA;
        bool ComputeTarget(const uint8_t *bytes) override;
        bool EmitReference(uint32_t target, LabeledProgram *program) override;
        uint16_t OpSize() const override { return 4; }
    };

    struct Section {
        uint32_t type;
        uint64_t addr;
        uint64_t offset;
        uint64_t size;
        uint64_t entsize;
    };
    struct Segment {
        uint32_t type;
        uint64_t offset;
        uint64_t vaddr;
        uint64_t filesz;
        uint64_t memsz;
    };

    bool ParseImageHeader() override;
    bool DisassembleInto(LabeledProgram *program) override;

    // Section and relocation types the disassembly looks at.
    static constexpr uint32_t SHT_PROGBITS = 1;
    static constexpr uint32_t SHT_NOBITS = 8;
    static constexpr uint32_t SHT_REL = 9;
    static constexpr uint32_t SHT_INIT_ARRAY = 14;
    static constexpr uint32_t SHT_FINI_ARRAY = 15;
    static constexpr uint32_t PT_LOAD = 1;
    // Relocation entries are read as (r_offset, r_info) pairs this far apart.
    static constexpr uint64_t kRelEntrySize = 8;

protected:
    DisassemblerElf(const uint8_t *start, size_t length, bool is64);

    virtual uint16_t ElfMachine() const = 0;
    // The RVA an accepted relocation entry points to; false for entries of other types.
    virtual bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t *rva) const = 0;
    virtual bool ParseRelocSection(const Section &section, LabeledProgram *program) = 0;
    // Adds the section's branch references to rel32_. False when the section's bytes lie outside
    // the image or memory runs out.
    virtual bool ScanSectionBranches(const Section &section) = 0;

    // The x86 and x86-64 scan; `rip_forms` adds FF 15, FF 25 and REX.W MOV/LEA RIP-relative.
    bool ScanX86Branches(const Section &section, bool rip_forms);

    // True when a PT_LOAD segment's memory contains `target`.
    bool IsLoadTarget(uint32_t target) const;
    // File offset of `rva` through the first program header whose file-backed part holds it.
    bool RvaToFileOffset(uint32_t rva, uint64_t *offset) const;
    // One bytes instruction for [from, to); fails outside the image.
    bool EmitBytes(uint64_t from, uint64_t to, LabeledProgram *program) const;
    // The (r_offset, r_info) entry at `offset`.
    bool ReadRelEntry(uint64_t offset, uint32_t *r_offset, uint32_t *r_info) const;
    // Section end, without wrap-around.
    static uint64_t SectionEnd(const Section &section);

    const std::vector<Section> &sections() const { return sections_; }
    const std::vector<uint32_t> &abs32_rvas() const { return abs32_rvas_; }
    std::vector<std::unique_ptr<TypedRVA>> rel32_;

private:
    bool CollectAbs32();
    bool EmitProgbits(const Section &section, LabeledProgram *program);

    bool is64_;
    std::vector<Section> sections_;
    std::vector<Segment> segments_;
    std::vector<uint32_t> abs32_rvas_;
    // Emission state: file offsets of the abs32 RVAs and cursors into them and into rel32_.
    std::vector<uint64_t> abs32_offsets_;
    size_t abs32_cursor_ = 0;
    size_t rel32_cursor_ = 0;
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_ELF_H
