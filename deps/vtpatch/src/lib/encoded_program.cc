#include "lib/encoded_program.h"

namespace vtpatch {

EncodedProgram::EncodedProgram() = default;
EncodedProgram::~EncodedProgram() = default;

namespace {

bool DefineLabel(U32Vector *rvas, uint32_t index, uint32_t address)
{
    if (index >= rvas->size() && !rvas->Resize(size_t{index} + 1, EncodedProgram::kUnassignedRva))
        return false;
    (*rvas)[index] = address;
    return true;
}

void FillUnassigned(U32Vector *rvas)
{
    uint32_t previous = 0;
    for (size_t i = 0; i < rvas->size(); ++i) {
        if ((*rvas)[i] == EncodedProgram::kUnassignedRva)
            (*rvas)[i] = previous;
        else
            previous = (*rvas)[i];
    }
}

} // namespace

bool EncodedProgram::DefineAbs32Label(uint32_t index, uint32_t address)
{
    return DefineLabel(&abs32_rvas_, index, address);
}

bool EncodedProgram::DefineRel32Label(uint32_t index, uint32_t address)
{
    return DefineLabel(&rel32_rvas_, index, address);
}

void EncodedProgram::EndLabels()
{
    FillUnassigned(&abs32_rvas_);
    FillUnassigned(&rel32_rvas_);
}

bool EncodedProgram::AddOrigin(uint32_t address)
{
    return ops_.Append(OP_ORIGIN) && origins_.Append(address);
}

bool EncodedProgram::AddCopy(const uint8_t *bytes, size_t count)
{
    if (count > UINT32_MAX)
        return false;
    const uint32_t n = static_cast<uint32_t>(count);
    if (!ops_.empty() && ops_[ops_.size() - 1] == OP_COPY1) {
        ops_[ops_.size() - 1] = OP_COPY;
        if (!copy_counts_.Append(1))
            return false;
    }
    if (!ops_.empty() && ops_[ops_.size() - 1] == OP_COPY) {
        uint32_t &last = copy_counts_[copy_counts_.size() - 1];
        if (n > UINT32_MAX - last)
            return false; // a run of 4 GiB cannot occur in an image the engine maps
        last += n;
        return copy_bytes_.Append(bytes, count);
    }
    if (n == 1)
        return ops_.Append(OP_COPY1) && copy_bytes_.Append(bytes[0]);
    return ops_.Append(OP_COPY) && copy_counts_.Append(n) && copy_bytes_.Append(bytes, count);
}

bool EncodedProgram::AddRel32(uint32_t label_index)
{
    return ops_.Append(OP_REL32) && rel32_ix_.Append(label_index);
}

bool EncodedProgram::AddAbs32(uint32_t label_index)
{
    return ops_.Append(OP_ABS32) && abs32_ix_.Append(label_index);
}

bool EncodedProgram::AddArmBranch(uint32_t op, uint32_t label_index)
{
    return ops_.Append(op) && rel32_ix_.Append(label_index);
}

bool EncodedProgram::AddPeRelocTableMarker(bool dir64)
{
    return ops_.Append(dir64 ? OP_PE64_RELOCATION_TABLE : OP_PE_RELOCATION_TABLE);
}

bool EncodedProgram::AddElfRelocTableMarker()
{
    return ops_.Append(OP_ELF_RELOCATION_TABLE);
}

bool EncodedProgram::AddElfArmRelocTableMarker()
{
    return ops_.Append(OP_ELF_ARM_RELOCATION_TABLE);
}

bool EncodedProgram::failed() const
{
    return rel32_rvas_.failed() || abs32_rvas_.failed() || ops_.failed() || origins_.failed() ||
           copy_counts_.failed() || copy_bytes_.failed() || rel32_ix_.failed() || abs32_ix_.failed() ||
           abs32_positions_.failed();
}

// ---- ARM branch codec

namespace {

uint32_t Bit(uint32_t value, int bit)
{
    return (value >> bit) & 1u;
}

// Sign-extends the low `bits` bits of value.
uint32_t SignExtend(uint32_t value, int bits)
{
    const uint32_t sign = 1u << (bits - 1);
    value &= (sign << 1) - 1;
    return (value ^ sign) - sign;
}

} // namespace

uint32_t ArmBranchSize(int type)
{
    switch (type) {
    case ARM_THUMB_BCOND16:
    case ARM_THUMB_B16:
        return 2;
    case ARM_B_BL:
    case ARM_THUMB2_BL:
    case ARM_THUMB2_BCOND:
        return 4;
    default:
        return 0;
    }
}

bool ArmCompress(int type, uint32_t instr, uint32_t address, uint32_t *op, uint32_t *relative)
{
    switch (type) {
    case ARM_THUMB_BCOND16:
        instr &= 0xFFFF;
        *op = 0x1000 | (instr >> 8);
        *relative = SignExtend(instr & 0xFF, 8) * 2 + 4;
        return true;
    case ARM_THUMB_B16:
        instr &= 0xFFFF;
        *op = 0x2000 | (instr >> 11);
        *relative = SignExtend(instr & 0x7FF, 11) * 2 + 4;
        return true;
    case ARM_B_BL:
        *op = 0x3000 | (instr >> 24);
        *relative = SignExtend(instr & 0xFFFFFF, 24) * 4 + 8;
        return true;
    case ARM_THUMB2_BL: {
        const uint32_t s = Bit(instr, 26);
        const uint32_t imm10 = (instr >> 16) & 0x3FF;
        const uint32_t j1 = Bit(instr, 13);
        const uint32_t j2 = Bit(instr, 11);
        const uint32_t imm11 = instr & 0x7FF;
        const uint32_t i1 = (j1 ^ s) ^ 1u;
        const uint32_t i2 = (j2 ^ s) ^ 1u;
        const uint32_t v = SignExtend((s << 24) | (i1 << 23) | (i2 << 22) | (imm10 << 12) | (imm11 << 1), 25);
        // BLX switches to ARM state, whose target is word-aligned relative to Align(pc, 4).
        const bool blx = Bit(instr, 14) == 1 && Bit(instr, 12) == 0;
        const uint32_t a = (blx && address % 4 != 0) ? 2 : 4;
        *relative = v + a;
        *op = 0x4000 | (a << 8) | ((instr >> 24) & 0xF8) | (Bit(instr, 15) << 2) | (Bit(instr, 14) << 1) |
              Bit(instr, 12);
        return true;
    }
    case ARM_THUMB2_BCOND: {
        const uint32_t s = Bit(instr, 26);
        const uint32_t imm6 = (instr >> 16) & 0x3F;
        const uint32_t j1 = Bit(instr, 13);
        const uint32_t j2 = Bit(instr, 11);
        const uint32_t imm11 = instr & 0x7FF;
        const uint32_t v = SignExtend((s << 20) | (j1 << 19) | (j2 << 18) | (imm6 << 12) | (imm11 << 1), 21);
        *relative = v + 4;
        *op = 0x5000 | ((instr >> 22) & 0xF);
        return true;
    }
    default:
        return false;
    }
}

bool ArmDecompress(int type, uint32_t op, uint32_t r, uint32_t *instruction)
{
    switch (type) {
    case ARM_THUMB_BCOND16:
        *instruction = ((op << 8) & 0xFFF00) | (((r + 508) >> 1) & 0xFF);
        return true;
    case ARM_THUMB_B16:
        *instruction = ((op << 11) & 0x7FF800) | (((r + 4092) >> 1) & 0x7FF);
        return true;
    case ARM_B_BL:
        *instruction = (op << 24) | (((r + 0x3FFFFF8) >> 2) & 0xFFFFFF);
        return true;
    case ARM_THUMB2_BL: {
        const uint32_t d = r - ((op >> 8) & 0xF);
        const uint32_t s = Bit(d, 24);
        const uint32_t j1 = (Bit(d, 23) ^ s) ^ 1u;
        const uint32_t j2 = (Bit(d, 22) ^ s) ^ 1u;
        *instruction = (((op >> 3) & 0x1F) << 27) | (s << 26) | (((d >> 12) & 0x3FF) << 16) | (Bit(op, 2) << 15) |
                       (Bit(op, 1) << 14) | (j1 << 13) | (Bit(op, 0) << 12) | (j2 << 11) | ((d >> 1) & 0x7FF);
        return true;
    }
    case ARM_THUMB2_BCOND: {
        const uint32_t d = r - 4;
        *instruction = 0xF0008000u | ((op & 0xF) << 22) | (Bit(d, 20) << 26) | (((d >> 12) & 0x3F) << 16) |
                       (Bit(d, 19) << 13) | (Bit(d, 18) << 11) | ((d >> 1) & 0x7FF);
        return true;
    }
    default:
        return false;
    }
}

} // namespace vtpatch
