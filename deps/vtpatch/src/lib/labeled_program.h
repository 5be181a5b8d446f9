#ifndef VTPATCH_LABELED_PROGRAM_H
#define VTPATCH_LABELED_PROGRAM_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "lib/flat_vector.h"

namespace vtpatch {

class EncodedProgram;

// Executable type codes: the element kinds of ensemble patches and the kind of a program.
enum ExecutableType : int {
    UNKNOWN = 0,
    WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    ELF_32_ARM = 3,
    WIN_32_X64 = 4,
    ELF_64_X64 = 5,
    MACHO_X86 = 6,
    MACHO_X64 = 7,
};

// A place that references point to: the target of relative branches (rel32 labels) or of
// absolute pointers (abs32 labels). `count` is the number of references made to it.
struct Label {
    explicit Label(uint32_t address) : address(address) {}
    uint32_t address;
    int32_t index = -1;
    int32_t count = 0;
};

// One element of a labelled program. The kind numbers are stable (they name the encoding).
struct Instruction {
    enum Kind : uint8_t {
        ORIGIN = 0,
        PE_RELOCATION_TABLE = 1,
        ELF_RELOCATION_TABLE = 2,
        BYTE = 3,
        REL32 = 4,
        ABS32 = 5,
        ARM_BRANCH = 6,
        ELF_ARM_RELOCATION_TABLE = 7,
        BYTES = 8,
    };
    Kind kind = ORIGIN;
    uint8_t byte = 0;               // BYTE: the value
    uint16_t op_size = 0;           // ARM_BRANCH: bytes the branch covers in the image
    uint32_t value = 0;             // ORIGIN: address; ARM_BRANCH: compressed op; BYTES: length
    const uint8_t *bytes = nullptr; // BYTES: the run; ARM_BRANCH: the branch's own bytes
    Label *label = nullptr;         // REL32, ABS32, ARM_BRANCH
};

// An executable image as a list of instructions that reproduces it byte for byte, in which the
// recognised pointers and relative branches refer to labels. Built by one disassembler, then
// numbered (AssignLabelIndexes), trimmed (TrimLabels) and encoded (Encode); every step is part
// of the ensemble patch format, so the same bytes must always give the same encoded program.
//
// Bytes and ARM branch instructions point into the image, which must outlive the program.
// Adders return false only when memory runs out. Not thread-safe.
class LabeledProgram {
public:
    explicit LabeledProgram(int kind);
    ~LabeledProgram();
    LabeledProgram(const LabeledProgram &) = delete; // owns its instructions and labels
    LabeledProgram &operator=(const LabeledProgram &) = delete;

    int kind() const { return kind_; }
    uint64_t image_base() const { return image_base_; }
    void set_image_base(uint64_t image_base) { image_base_ = image_base; }

    bool AddOrigin(uint32_t address);
    bool AddPeRelocTableMarker();
    bool AddElfRelocTableMarker();
    bool AddElfArmRelocTableMarker();
    bool AddByte(uint8_t value);
    // A run of `length` image bytes, kept as a view (a run of 0 bytes still encodes as a copy).
    bool AddBytes(const uint8_t *bytes, uint32_t length);
    bool AddRel32(Label *label);
    bool AddAbs32(Label *label);
    // `op` is the compressed branch, `bytes` the branch in the image, `op_size` its length.
    bool AddArmBranch(uint16_t op, Label *label, const uint8_t *bytes, uint16_t op_size);

    // The label for `address`, created unnumbered on first request; each call counts one
    // reference. Null only when memory runs out.
    Label *Rel32LabelAt(uint32_t address);
    Label *Abs32LabelAt(uint32_t address);

    // Numbers the abs32 labels, then the rel32 labels, each in ascending address order from 0.
    void AssignLabelIndexes();

    // ARM programs only: drops rel32 labels with few references and turns their branches back
    // into plain bytes, since a label costs more in the encoded form than it saves there.
    // False when a branch has no size (status 28).
    bool TrimLabels();

    // The encoded form of the program. False only when memory runs out (status 2).
    bool Encode(std::unique_ptr<EncodedProgram> *output) const;

    // For tests and tools.
    size_t instruction_count() const { return instructions_.size(); }
    const Instruction &instruction(size_t i) const { return *instructions_[i]; }
    const std::map<uint32_t, Label *> &rel32_labels() const { return rel32_labels_; }
    const std::map<uint32_t, Label *> &abs32_labels() const { return abs32_labels_; }

    // Labels referenced at most this often are trimmed from ARM programs.
    static constexpr int32_t kTrimThreshold = 5;

private:
    bool Append(Instruction *instruction);
    bool AddNew(const Instruction &instruction);
    Label *LabelAt(std::map<uint32_t, Label *> *labels, uint32_t address);

    int kind_;
    uint64_t image_base_ = 0;
    std::unique_ptr<Instruction[]> byte_instructions_; // 256, shared by every BYTE use
    FlatVector<Instruction *, 32> instructions_;
    std::map<uint32_t, Label *> rel32_labels_;
    std::map<uint32_t, Label *> abs32_labels_;
    // Every label ever created, also those that trimming removed from the maps: instructions
    // may still point to them.
    std::vector<std::unique_ptr<Label>> all_labels_;
};

} // namespace vtpatch

#endif // VTPATCH_LABELED_PROGRAM_H
