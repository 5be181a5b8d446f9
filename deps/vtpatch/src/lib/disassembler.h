#ifndef VTPATCH_DISASSEMBLER_H
#define VTPATCH_DISASSEMBLER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "lib/patch_status.h"

namespace vtpatch {

class LabeledProgram;

// Detects which executable [start, start + length) is and disassembles it into *output, with
// its labels numbered. Returns PATCH_OK, PATCH_NOT_EXECUTABLE (no disassembler accepts the
// bytes) or PATCH_DISASSEMBLY_ERROR. The bytes must outlive the program, which points into them.
PatchStatus ParseDetectedExecutable(const uint8_t *start, size_t length, std::unique_ptr<LabeledProgram> *output);

// Which disassembler accepts the bytes, as an executable type code (0 when none does). For
// tools and the patch creator; `reason`, when given, receives the last rejection's text.
int DetectExecutableType(const uint8_t *start, size_t length, const char **reason = nullptr);

// As DetectExecutableType, and *image_length receives the length of the image by its headers:
// what the disassembler works on, without trailing bytes that no section or segment covers.
int DetectExecutable(const uint8_t *start, size_t length, size_t *image_length);

// Base of the executable disassemblers. One object reads one image: ParseImageHeader checks
// the headers (recording why it rejects them), then DisassembleInto fills a program. Nothing
// is ever read outside [start, start + length at construction), whatever the headers claim: a
// read that would leave the bytes fails the disassembly. The bytes are borrowed.
class Disassembler {
public:
    Disassembler(const uint8_t *start, size_t length);
    virtual ~Disassembler();
    Disassembler(const Disassembler &) = delete;
    Disassembler &operator=(const Disassembler &) = delete;

    virtual int ImageKind() const { return 0; }
    virtual bool ParseImageHeader() = 0;
    virtual bool DisassembleInto(LabeledProgram *program) = 0;

    // Null while the header is accepted; otherwise why it was not ("uninitialized" before the
    // check ran).
    const char *failure_reason() const { return failure_reason_; }
    size_t length() const { return length_; }
    const uint8_t *start() const { return start_; }

protected:
    const uint8_t *OffsetToPointer(uint64_t offset) const { return start_ + offset; }
    bool Good()
    {
        failure_reason_ = nullptr;
        return true;
    }
    bool Bad(const char *reason)
    {
        failure_reason_ = reason;
        return false;
    }
    bool header_accepted() const { return failure_reason_ == nullptr; }
    void ReduceLength(uint64_t length)
    {
        if (length < length_)
            length_ = static_cast<size_t>(length);
    }

    // True when [offset, offset + size) lies inside the bytes given at construction.
    bool InBounds(uint64_t offset, uint64_t size) const { return offset <= size_ && size <= size_ - offset; }
    // Little-endian reads; false (and *out untouched) when the value lies outside the bytes.
    bool Read8(uint64_t offset, uint8_t *out) const;
    bool Read16(uint64_t offset, uint16_t *out) const;
    bool Read32(uint64_t offset, uint32_t *out) const;
    bool Read64(uint64_t offset, uint64_t *out) const;

    // Unchecked little-endian reads for places already checked.
    static uint16_t Get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
    static uint32_t Get32(const uint8_t *p)
    {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
               (static_cast<uint32_t>(p[3]) << 24);
    }
    static uint64_t Get64(const uint8_t *p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

private:
    const char *failure_reason_ = "uninitialized";
    size_t length_;
    const uint8_t *start_;
    size_t size_; // the length at construction: the bounds of every read
};

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_H
