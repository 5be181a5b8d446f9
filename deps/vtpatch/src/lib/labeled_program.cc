#include "lib/labeled_program.h"

#include <new>

#include "lib/encoded_program.h"
#include "lib/logging.h"

namespace vtpatch {

LabeledProgram::LabeledProgram(int kind) : kind_(kind) {}

LabeledProgram::~LabeledProgram()
{
    // Byte instructions are shared and owned by byte_instructions_; every other one was
    // allocated by itself.
    for (size_t i = 0; i < instructions_.size(); ++i) {
        if (instructions_[i]->kind != Instruction::BYTE)
            delete instructions_[i];
    }
}

bool LabeledProgram::Append(Instruction *instruction)
{
    return instructions_.Append(instruction);
}

bool LabeledProgram::AddNew(const Instruction &instruction)
{
    Instruction *fresh = new (std::nothrow) Instruction(instruction);
    if (fresh == nullptr)
        return false;
    if (!Append(fresh)) {
        delete fresh;
        return false;
    }
    return true;
}

bool LabeledProgram::AddOrigin(uint32_t address)
{
    Instruction instruction;
    instruction.kind = Instruction::ORIGIN;
    instruction.value = address;
    return AddNew(instruction);
}

bool LabeledProgram::AddPeRelocTableMarker()
{
    Instruction instruction;
    instruction.kind = Instruction::PE_RELOCATION_TABLE;
    return AddNew(instruction);
}

bool LabeledProgram::AddElfRelocTableMarker()
{
    Instruction instruction;
    instruction.kind = Instruction::ELF_RELOCATION_TABLE;
    return AddNew(instruction);
}

bool LabeledProgram::AddElfArmRelocTableMarker()
{
    Instruction instruction;
    instruction.kind = Instruction::ELF_ARM_RELOCATION_TABLE;
    return AddNew(instruction);
}

bool LabeledProgram::AddByte(uint8_t value)
{
    if (!byte_instructions_) {
        byte_instructions_.reset(new (std::nothrow) Instruction[256]);
        if (!byte_instructions_)
            return false;
        for (int i = 0; i < 256; ++i) {
            byte_instructions_[i].kind = Instruction::BYTE;
            byte_instructions_[i].byte = static_cast<uint8_t>(i);
        }
    }
    return Append(&byte_instructions_[value]);
}

bool LabeledProgram::AddBytes(const uint8_t *bytes, uint32_t length)
{
    Instruction instruction;
    instruction.kind = Instruction::BYTES;
    instruction.bytes = bytes;
    instruction.value = length;
    return AddNew(instruction);
}

bool LabeledProgram::AddRel32(Label *label)
{
    if (label == nullptr)
        return false;
    Instruction instruction;
    instruction.kind = Instruction::REL32;
    instruction.label = label;
    return AddNew(instruction);
}

bool LabeledProgram::AddAbs32(Label *label)
{
    if (label == nullptr)
        return false;
    Instruction instruction;
    instruction.kind = Instruction::ABS32;
    instruction.label = label;
    return AddNew(instruction);
}

bool LabeledProgram::AddArmBranch(uint16_t op, Label *label, const uint8_t *bytes, uint16_t op_size)
{
    if (label == nullptr)
        return false;
    Instruction instruction;
    instruction.kind = Instruction::ARM_BRANCH;
    instruction.value = op;
    instruction.label = label;
    instruction.bytes = bytes;
    instruction.op_size = op_size;
    return AddNew(instruction);
}

Label *LabeledProgram::LabelAt(std::map<uint32_t, Label *> *labels, uint32_t address)
{
    auto found = labels->find(address);
    if (found == labels->end()) {
        std::unique_ptr<Label> label(new (std::nothrow) Label(address));
        if (!label)
            return nullptr;
        found = labels->emplace(address, label.get()).first;
        all_labels_.push_back(std::move(label));
    }
    ++found->second->count;
    return found->second;
}

Label *LabeledProgram::Rel32LabelAt(uint32_t address)
{
    return LabelAt(&rel32_labels_, address);
}

Label *LabeledProgram::Abs32LabelAt(uint32_t address)
{
    return LabelAt(&abs32_labels_, address);
}

namespace {

void NumberInAddressOrder(const std::map<uint32_t, Label *> &labels)
{
    int32_t next = 0;
    for (const auto &entry : labels) {
        if (entry.second->index != -1)
            Log(LOG_ERROR, "REACHED UNREACHABLE");
        entry.second->index = next++;
    }
}

} // namespace

void LabeledProgram::AssignLabelIndexes()
{
    NumberInAddressOrder(abs32_labels_);
    NumberInAddressOrder(rel32_labels_);
}

bool LabeledProgram::TrimLabels()
{
    if (kind_ != ELF_32_ARM)
        return true;
    Log(LOG_DEBUG, "TrimLabels: threshold " + std::to_string(kTrimThreshold));
    for (auto it = rel32_labels_.begin(); it != rel32_labels_.end();) {
        if (it->second->count <= kTrimThreshold)
            it = rel32_labels_.erase(it); // the label itself lives on in all_labels_
        else
            ++it;
    }
    for (size_t i = 0; i < instructions_.size(); ++i) {
        Instruction *instruction = instructions_[i];
        if (instruction->kind != Instruction::ARM_BRANCH || instruction->label->count > kTrimThreshold)
            continue;
        if (instruction->op_size == 0)
            return false;
        // Rewritten in place: the branch becomes the bytes it was read from.
        instruction->kind = Instruction::BYTES;
        instruction->value = instruction->op_size;
        instruction->label = nullptr;
    }
    return true;
}

bool LabeledProgram::Encode(std::unique_ptr<EncodedProgram> *output) const
{
    std::unique_ptr<EncodedProgram> program(new (std::nothrow) EncodedProgram());
    if (!program)
        return false;
    program->set_image_base(image_base_);
    for (const auto &entry : abs32_labels_) {
        if (entry.second->index < 0 ||
            !program->DefineAbs32Label(static_cast<uint32_t>(entry.second->index), entry.first))
            return false;
    }
    for (const auto &entry : rel32_labels_) {
        if (entry.second->index < 0 ||
            !program->DefineRel32Label(static_cast<uint32_t>(entry.second->index), entry.first))
            return false;
    }
    program->EndLabels();

    for (size_t i = 0; i < instructions_.size(); ++i) {
        const Instruction &instruction = *instructions_[i];
        bool ok = false;
        switch (instruction.kind) {
        case Instruction::ORIGIN:
            ok = program->AddOrigin(instruction.value);
            break;
        case Instruction::PE_RELOCATION_TABLE:
            ok = program->AddPeRelocTableMarker(kind_ != WIN_32_X86);
            break;
        case Instruction::ELF_RELOCATION_TABLE:
            ok = program->AddElfRelocTableMarker();
            break;
        case Instruction::ELF_ARM_RELOCATION_TABLE:
            ok = program->AddElfArmRelocTableMarker();
            break;
        case Instruction::BYTE:
            ok = program->AddByte(instruction.byte);
            break;
        case Instruction::BYTES:
            ok = program->AddCopy(instruction.bytes, instruction.value);
            break;
        case Instruction::REL32:
            ok = instruction.label->index >= 0 && program->AddRel32(static_cast<uint32_t>(instruction.label->index));
            break;
        case Instruction::ABS32:
            ok = instruction.label->index >= 0 && program->AddAbs32(static_cast<uint32_t>(instruction.label->index));
            break;
        case Instruction::ARM_BRANCH:
            ok = instruction.label->index >= 0 &&
                 program->AddArmBranch(instruction.value, static_cast<uint32_t>(instruction.label->index));
            break;
        }
        if (!ok)
            return false;
    }
    if (program->failed())
        return false;
    *output = std::move(program);
    return true;
}

} // namespace vtpatch
