#ifndef VTPATCH_ENCODED_PROGRAM_H
#define VTPATCH_ENCODED_PROGRAM_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lib/flat_vector.h"
#include "lib/patch_status.h"

namespace vtpatch {

class ReadStreamSet;
class WriteStream;
class WriteStreamSet;

using U32Vector = FlatVector<uint32_t, 64>;
using ByteVector = FlatVector<uint8_t, 256>;

// The diff-friendly form of one executable image: a list of operations (copy bytes, emit a
// pointer or a relative branch to a numbered label, set the address, place a relocation table)
// and the tables that map label numbers to addresses. Ensemble patches diff the written form of
// these programs and LZMA containers store it, so the written bytes and the assembled image are
// part of the patch formats: nothing here may change a byte of either.
//
// Life cycle: created empty, filled either by encoding a disassembled program (through the
// adders below, in image order) or by ReadEncodedProgram, then used once (written or
// assembled) and destroyed by its owner. Every fill operation returns false on allocation
// failure and leaves the table it touched in its failed state; the caller then drops the program.
//
// Not thread-safe; one program belongs to one thread at a time.
class EncodedProgram {
public:
    // Operation codes of `ops`. ARM branches are the values 0x1000 to 0x5FFF (see ArmDecompress).
    enum Op : uint32_t {
        OP_ORIGIN = 0,                     // current address := next origin
        OP_COPY = 1,                       // next copy count n, then n copy bytes
        OP_COPY1 = 2,                      // one copy byte
        OP_REL32 = 3,                      // 32-bit relative branch to rel32 label next rel32_ix
        OP_ABS32 = 4,                      // 32-bit pointer to abs32 label next abs32_ix
        OP_PE_RELOCATION_TABLE = 5,        // PE base relocations, entry type 3 (HIGHLOW)
        OP_ELF_RELOCATION_TABLE = 6,       // Elf32_Rel entries of type 8 (R_386_RELATIVE)
        OP_ELF_ARM_RELOCATION_TABLE = 7,   // Elf32_Rel entries of type 23 (R_ARM_RELATIVE)
        OP_PE64_RELOCATION_TABLE = 8,      // PE base relocations, entry type 10 (DIR64)
        OP_ARM_BRANCH_FIRST = 0x1000,
        OP_ARM_BRANCH_LAST = 0x5FFF,
    };

    // Value of an rvas entry that no label defined; EndLabels replaces it.
    static constexpr uint32_t kUnassignedRva = 0xFFFFFFFFu;

    EncodedProgram();
    ~EncodedProgram();
    EncodedProgram(const EncodedProgram &) = delete; // tables are large and copies could fail
    EncodedProgram &operator=(const EncodedProgram &) = delete;

    // ---- Filling by encoding. Labels first (DefineXxxLabel for each, then EndLabels once), then
    // the instructions in image order. All return false only on allocation failure.

    // Only the low 32 bits are written and used.
    void set_image_base(uint64_t image_base) { image_base_ = image_base; }

    // rvas[index] := address, growing the table with kUnassignedRva as needed.
    bool DefineAbs32Label(uint32_t index, uint32_t address);
    bool DefineRel32Label(uint32_t index, uint32_t address);
    // Replaces each kUnassignedRva entry by the entry before it (0 for the first), so that the
    // gaps left by unused label numbers cost nothing in the delta-coded tables. An address that
    // happens to be 0xFFFFFFFF is treated the same way, as the patch creator does.
    void EndLabels();

    bool AddOrigin(uint32_t address);
    // Appends bytes to be copied to the image. Consecutive copies merge: after a lone byte
    // (op 2) or a run (op 1) the new bytes extend that operation; otherwise one byte becomes
    // op 2 and a run of n != 1 bytes op 1 with count n (n = 0 included).
    bool AddCopy(const uint8_t *bytes, size_t count);
    bool AddByte(uint8_t value) { return AddCopy(&value, 1); }
    bool AddRel32(uint32_t label_index);
    bool AddAbs32(uint32_t label_index);
    // `op` is the compressed ARM branch (0x1000 to 0x5FFF), from ArmCompress.
    bool AddArmBranch(uint32_t op, uint32_t label_index);
    // op 8 when `dir64`, op 5 otherwise (the caller decides by the program's kind).
    bool AddPeRelocTableMarker(bool dir64);
    bool AddElfRelocTableMarker();
    bool AddElfArmRelocTableMarker();

    // ---- The tables, in the written order of their fields. For tests and tools.
    uint64_t image_base() const { return image_base_; }
    const U32Vector &rel32_rvas() const { return rel32_rvas_; }
    const U32Vector &abs32_rvas() const { return abs32_rvas_; }
    const U32Vector &ops() const { return ops_; }
    const U32Vector &origins() const { return origins_; }
    const U32Vector &copy_counts() const { return copy_counts_; }
    const ByteVector &copy_bytes() const { return copy_bytes_; }
    const U32Vector &rel32_ix() const { return rel32_ix_; }
    const U32Vector &abs32_ix() const { return abs32_ix_; }
    // Filled by AssembleEncodedProgram: where each pointer of op 4 was written, in op order.
    const U32Vector &abs32_positions() const { return abs32_positions_; }

    // True when any table ran out of memory while being filled.
    bool failed() const;

private:
    friend PatchStatus ReadEncodedProgram(ReadStreamSet *streams, std::unique_ptr<EncodedProgram> *output);
    friend PatchStatus AssembleEncodedProgram(EncodedProgram *program, WriteStream *output);

    uint64_t image_base_ = 0;
    U32Vector rel32_rvas_;
    U32Vector abs32_rvas_;
    U32Vector ops_;
    U32Vector origins_;
    U32Vector copy_counts_;
    ByteVector copy_bytes_;
    U32Vector rel32_ix_;
    U32Vector abs32_ix_;
    U32Vector abs32_positions_;
};

// Number of streams of a written program that are read back (0 to 8; stream 8 stays empty).
constexpr size_t kEncodedProgramStreams = 9;

// Writes the program into streams 0 to 8 of `streams` (appending to whatever they hold):
//   0: image base (low 32 bits), then origins    5: abs32 rvas as a delta vector
//   1: ops                                       6: rel32 rvas as a delta vector
//   2: copy bytes (count, then the raw bytes)    7: copy counts
//   3: abs32_ix      4: rel32_ix                 8: nothing
// A vector is its count followed by one varint32 per value; a delta vector stores each value
// minus the one before (modulo 2^32). Returns PATCH_OK, or PATCH_STREAM_ERROR if a write failed.
PatchStatus WriteEncodedProgram(const EncodedProgram &program, WriteStreamSet *streams);

// Reads a program written by WriteEncodedProgram. The set needs at least nine streams, and
// streams 0 to 8 must be read exactly to their ends. Returns PATCH_OK with *output set, or
// PATCH_READ_PROGRAM_ERROR with *output untouched. Announced counts are checked against the
// bytes left before anything is allocated, so a hostile count cannot cause a large allocation.
// The streams are advanced; their bytes are copied, so the program does not borrow them.
PatchStatus ReadEncodedProgram(ReadStreamSet *streams, std::unique_ptr<EncodedProgram> *output);

// Assembles the image and appends it to *output. Relocation tables requested by ops 5 to 8
// (at most one PE and one ELF table per program) are generated from the positions of the
// pointers written, and the bytes after the marker follow the table (main part, PE table, side
// part, ELF table when both occur). Fails with PATCH_ASSEMBLY_ERROR on an unknown op, an
// operand table that runs out, a label number outside its table, a second table of one kind,
// operands left unused, or an output that cannot grow; *output may then hold partial bytes.
PatchStatus AssembleEncodedProgram(EncodedProgram *program, WriteStream *output);

// ---- ARM branch codec. A branch is stored as a 16-bit op (type + 1 in bits 12 to 15, the
// instruction's non-address bits below) and its relative target r = target - instruction
// address (two's complement). Instructions are given as: the halfword for types 0 and 1, the
// 32-bit word for type 2, (first halfword << 16) | second halfword for types 3 and 4.
enum ArmBranchType : int {
    ARM_THUMB_BCOND16 = 0, // Thumb conditional branch, 16-bit
    ARM_THUMB_B16 = 1,     // Thumb unconditional branch, 16-bit
    ARM_B_BL = 2,          // ARM B/BL, 32-bit
    ARM_THUMB2_BL = 3,     // Thumb-2 BL/BLX, 32-bit
    ARM_THUMB2_BCOND = 4,  // Thumb-2 conditional branch, 32-bit
};

// Splits an instruction at `address` into op and relative target. False for a type outside 0..4.
bool ArmCompress(int type, uint32_t instruction, uint32_t address, uint32_t *op, uint32_t *relative);
// Rebuilds the instruction from op and relative target. False for a type outside 0..4.
bool ArmDecompress(int type, uint32_t op, uint32_t relative, uint32_t *instruction);
// Size in bytes of a branch of this type: 2 for types 0 and 1, 4 for 2 to 4, 0 otherwise.
uint32_t ArmBranchSize(int type);

} // namespace vtpatch

#endif // VTPATCH_ENCODED_PROGRAM_H
