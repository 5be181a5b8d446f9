// Assembly: turning an encoded program back into image bytes.
#include "lib/encoded_program.h"

#include <algorithm>

#include "lib/streams.h"

namespace vtpatch {

namespace {

bool WriteU32(WriteStream *out, uint32_t value)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return out->Write(bytes, sizeof bytes);
}

bool WriteU16(WriteStream *out, uint32_t value)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return out->Write(bytes, sizeof bytes);
}

void SortPositions(U32Vector *positions)
{
    std::sort(positions->data(), positions->data() + positions->size());
}

// Base relocation blocks, one per 4 KiB page that holds pointers, each padded to a multiple of
// four bytes with a zero entry. No terminating block.
bool WritePeRelocationTable(U32Vector *positions, uint32_t entry_type, WriteStream *out)
{
    SortPositions(positions);
    size_t i = 0;
    while (i < positions->size()) {
        const uint32_t page = (*positions)[i] & ~0xFFFu;
        size_t end = i;
        while (end < positions->size() && ((*positions)[end] & ~0xFFFu) == page)
            ++end;
        const size_t entries = end - i;
        // A page holds at most 4096 distinct positions; more means duplicates, which a block
        // size field of 32 bits still holds.
        uint64_t size = 8 + 2 * static_cast<uint64_t>(entries);
        const bool pad = size % 4 != 0;
        if (pad)
            size += 2;
        if (size > UINT32_MAX || !WriteU32(out, page) || !WriteU32(out, static_cast<uint32_t>(size)))
            return false;
        for (; i < end; ++i) {
            if (!WriteU16(out, (entry_type << 12) | ((*positions)[i] & 0xFFFu)))
                return false;
        }
        if (pad && !WriteU16(out, 0))
            return false;
    }
    return true;
}

// Elf32_Rel entries (offset, type), sorted by offset.
bool WriteElfRelocationTable(U32Vector *positions, uint32_t relocation_type, WriteStream *out)
{
    SortPositions(positions);
    for (size_t i = 0; i < positions->size(); ++i) {
        if (!WriteU32(out, (*positions)[i]) || !WriteU32(out, relocation_type))
            return false;
    }
    return true;
}

} // namespace

PatchStatus AssembleEncodedProgram(EncodedProgram *program, WriteStream *output)
{
    const U32Vector &ops = program->ops_;
    const U32Vector &origins = program->origins_;
    const U32Vector &copy_counts = program->copy_counts_;
    const ByteVector &copy_bytes = program->copy_bytes_;
    const U32Vector &rel32_ix = program->rel32_ix_;
    const U32Vector &abs32_ix = program->abs32_ix_;
    const U32Vector &rel32_rvas = program->rel32_rvas_;
    const U32Vector &abs32_rvas = program->abs32_rvas_;
    U32Vector &positions = program->abs32_positions_;
    positions.Clear();
    if (program->failed())
        return PATCH_ASSEMBLY_ERROR;

    const uint32_t image_base = static_cast<uint32_t>(program->image_base_);
    uint32_t address = 0;
    size_t next_origin = 0, next_count = 0, next_byte = 0, next_rel32 = 0, next_abs32 = 0;
    WriteStream side;
    WriteStream *target = output;
    uint32_t pe_entry_type = 0;  // 0: no PE table requested
    uint32_t elf_reloc_type = 0; // 0: no ELF table requested

    for (size_t i = 0; i < ops.size(); ++i) {
        const uint32_t op = ops[i];
        switch (op) {
        case EncodedProgram::OP_ORIGIN:
            if (next_origin >= origins.size())
                return PATCH_ASSEMBLY_ERROR;
            address = origins[next_origin++];
            break;
        case EncodedProgram::OP_COPY: {
            if (next_count >= copy_counts.size())
                return PATCH_ASSEMBLY_ERROR;
            const uint32_t count = copy_counts[next_count++];
            if (count > copy_bytes.size() - next_byte || !target->Write(copy_bytes.data() + next_byte, count))
                return PATCH_ASSEMBLY_ERROR;
            next_byte += count;
            address += count;
            break;
        }
        case EncodedProgram::OP_COPY1:
            if (next_byte >= copy_bytes.size() || !target->Write(copy_bytes.data() + next_byte, 1))
                return PATCH_ASSEMBLY_ERROR;
            ++next_byte;
            address += 1;
            break;
        case EncodedProgram::OP_REL32: {
            if (next_rel32 >= rel32_ix.size())
                return PATCH_ASSEMBLY_ERROR;
            const uint32_t label = rel32_ix[next_rel32++];
            if (label >= rel32_rvas.size() || !WriteU32(target, rel32_rvas[label] - (address + 4)))
                return PATCH_ASSEMBLY_ERROR;
            address += 4;
            break;
        }
        case EncodedProgram::OP_ABS32: {
            if (next_abs32 >= abs32_ix.size())
                return PATCH_ASSEMBLY_ERROR;
            const uint32_t label = abs32_ix[next_abs32++];
            if (label >= abs32_rvas.size() || !WriteU32(target, abs32_rvas[label] + image_base) ||
                !positions.Append(address))
                return PATCH_ASSEMBLY_ERROR;
            address += 4;
            break;
        }
        case EncodedProgram::OP_PE_RELOCATION_TABLE:
        case EncodedProgram::OP_PE64_RELOCATION_TABLE:
            if (pe_entry_type != 0)
                return PATCH_ASSEMBLY_ERROR;
            pe_entry_type = op == EncodedProgram::OP_PE_RELOCATION_TABLE ? 3 : 10;
            target = &side;
            break;
        case EncodedProgram::OP_ELF_RELOCATION_TABLE:
        case EncodedProgram::OP_ELF_ARM_RELOCATION_TABLE:
            if (elf_reloc_type != 0)
                return PATCH_ASSEMBLY_ERROR;
            elf_reloc_type = op == EncodedProgram::OP_ELF_RELOCATION_TABLE ? 8 : 23;
            target = &side;
            break;
        default: {
            if (op < EncodedProgram::OP_ARM_BRANCH_FIRST || op > EncodedProgram::OP_ARM_BRANCH_LAST)
                return PATCH_ASSEMBLY_ERROR;
            const int type = static_cast<int>(op >> 12) - 1;
            if (next_rel32 >= rel32_ix.size())
                return PATCH_ASSEMBLY_ERROR;
            const uint32_t label = rel32_ix[next_rel32++];
            uint32_t instruction = 0;
            if (label >= rel32_rvas.size() || !ArmDecompress(type, op, rel32_rvas[label] - address, &instruction))
                return PATCH_ASSEMBLY_ERROR;
            const uint32_t size = ArmBranchSize(type);
            bool written = false;
            if (type == ARM_THUMB_BCOND16 || type == ARM_THUMB_B16)
                written = WriteU16(target, instruction);
            else if (type == ARM_B_BL)
                written = WriteU32(target, instruction);
            else // Thumb-2: the first halfword, held in the high half, comes first
                written = WriteU16(target, instruction >> 16) && WriteU16(target, instruction);
            if (!written)
                return PATCH_ASSEMBLY_ERROR;
            address += size;
            break;
        }
        }
    }

    if (next_count != copy_counts.size() || next_byte != copy_bytes.size() || next_rel32 != rel32_ix.size() ||
        next_abs32 != abs32_ix.size())
        return PATCH_ASSEMBLY_ERROR;

    if (pe_entry_type != 0) {
        if (!WritePeRelocationTable(&positions, pe_entry_type, output) || !output->AppendAndRelease(&side))
            return PATCH_ASSEMBLY_ERROR;
    }
    if (elf_reloc_type != 0) {
        if (!WriteElfRelocationTable(&positions, elf_reloc_type, output) || !output->AppendAndRelease(&side))
            return PATCH_ASSEMBLY_ERROR;
    }
    return output->Failed() ? PATCH_ASSEMBLY_ERROR : PATCH_OK;
}

} // namespace vtpatch
