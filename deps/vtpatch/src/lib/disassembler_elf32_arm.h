#ifndef VTPATCH_DISASSEMBLER_ELF32_ARM_H
#define VTPATCH_DISASSEMBLER_ELF32_ARM_H

#include "lib/disassembler_elf32.h"

namespace vtpatch {

// 32-bit ARM ELF executables and shared objects (e_machine 40), ARM and Thumb/Thumb-2 code
// alike. Absolute pointers come from R_ARM_RELATIVE entries; branches are found by their
// encodings and stored in the compressed form of the ARM branch codec.
class DisassemblerElf32ARM : public DisassemblerElf32 {
public:
    class TypedRVAARM : public TypedRVA {
    public:
        TypedRVAARM(int type, uint32_t rva) : TypedRVA(rva), type_(type) {}
        bool ComputeTarget(const uint8_t *bytes) override;
        bool EmitReference(uint32_t target, LabeledProgram *program) override;
        uint16_t OpSize() const override;
        int type() const { return type_; }
        uint16_t op() const { return op_; }

    private:
        int type_;
        uint16_t op_ = 0;
        const uint8_t *bytes_ = nullptr;
    };

    DisassemblerElf32ARM(const uint8_t *start, size_t length) : DisassemblerElf32(start, length) {}
    int ImageKind() const override;

    static constexpr uint32_t R_ARM_RELATIVE = 23;

protected:
    uint16_t ElfMachine() const override { return 40; }
    bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t *rva) const override;
    bool ParseRelocSection(const Section &section, LabeledProgram *program) override;
    bool ScanSectionBranches(const Section &section) override;
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_ELF32_ARM_H
