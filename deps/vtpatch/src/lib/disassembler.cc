#include "lib/disassembler.h"

#include <new>

#include "lib/disassembler_elf32_arm.h"
#include "lib/disassembler_elf32_x86.h"
#include "lib/disassembler_elf64_x64.h"
#include "lib/disassembler_macho.h"
#include "lib/disassembler_win32.h"
#include "lib/labeled_program.h"

namespace vtpatch {

Disassembler::Disassembler(const uint8_t *start, size_t length) : length_(length), start_(start), size_(length) {}

Disassembler::~Disassembler() = default;

bool Disassembler::Read8(uint64_t offset, uint8_t *out) const
{
    if (!InBounds(offset, 1))
        return false;
    *out = start_[offset];
    return true;
}

bool Disassembler::Read16(uint64_t offset, uint16_t *out) const
{
    if (!InBounds(offset, 2))
        return false;
    *out = Get16(start_ + offset);
    return true;
}

bool Disassembler::Read32(uint64_t offset, uint32_t *out) const
{
    if (!InBounds(offset, 4))
        return false;
    *out = Get32(start_ + offset);
    return true;
}

bool Disassembler::Read64(uint64_t offset, uint64_t *out) const
{
    if (!InBounds(offset, 8))
        return false;
    *out = Get64(start_ + offset);
    return true;
}

namespace {

// The candidates in the order detection tries them; the first whose header check passes wins.
std::unique_ptr<Disassembler> MakeCandidate(int position, const uint8_t *start, size_t length)
{
    switch (position) {
    case 0:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerWin32X86(start, length));
    case 1:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerWin32X64(start, length));
    case 2:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerElf32X86(start, length));
    case 3:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerElf64X64(start, length));
    case 4:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerElf32ARM(start, length));
    case 5:
        return std::unique_ptr<Disassembler>(new (std::nothrow) DisassemblerMacho(start, length));
    default:
        return nullptr;
    }
}
constexpr int kCandidateCount = 6;

std::unique_ptr<Disassembler> Detect(const uint8_t *start, size_t length, const char **reason)
{
    for (int i = 0; i < kCandidateCount; ++i) {
        std::unique_ptr<Disassembler> candidate = MakeCandidate(i, start, length);
        if (!candidate)
            return nullptr;
        if (candidate->ParseImageHeader())
            return candidate;
        if (reason != nullptr)
            *reason = candidate->failure_reason();
    }
    return nullptr;
}

} // namespace

int DetectExecutableType(const uint8_t *start, size_t length, const char **reason)
{
    std::unique_ptr<Disassembler> disassembler = Detect(start, length, reason);
    return disassembler ? disassembler->ImageKind() : UNKNOWN;
}

int DetectExecutable(const uint8_t *start, size_t length, size_t *image_length)
{
    std::unique_ptr<Disassembler> disassembler = Detect(start, length, nullptr);
    *image_length = disassembler ? disassembler->length() : 0;
    return disassembler ? disassembler->ImageKind() : UNKNOWN;
}

PatchStatus ParseDetectedExecutable(const uint8_t *start, size_t length, std::unique_ptr<LabeledProgram> *output)
{
    std::unique_ptr<Disassembler> disassembler = Detect(start, length, nullptr);
    if (!disassembler)
        return PATCH_NOT_EXECUTABLE;
    std::unique_ptr<LabeledProgram> program(new (std::nothrow) LabeledProgram(disassembler->ImageKind()));
    if (!program || !disassembler->DisassembleInto(program.get()))
        return PATCH_DISASSEMBLY_ERROR;
    *output = std::move(program);
    return PATCH_OK;
}

} // namespace vtpatch
