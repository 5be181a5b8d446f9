#ifndef VTPATCH_BYTEDIFF_H
#define VTPATCH_BYTEDIFF_H

// The byte diff: rebuilds new bytes from old bytes and three blocks (control triples, diff bytes
// added to old bytes, extra bytes copied as they are), framed with varints and optionally
// compressed as LZMA2 blocks.
//
// Embedded framing: method byte (0 raw, 1 three LZMA2 blocks, 2 one LZMA2 block holding the raw
// layout), new size N (varint32), payload. Standalone framing: "VTDIFF10" and the PatchChecksum
// of the new bytes (varint32) in front of it.

#include <cstddef>
#include <cstdint>

#include "lib/streams.h"

namespace vtpatch {

class Lzma2BlockRange;

// The standalone magic, 8 bytes without terminator.
constexpr char kByteDiffMagic[] = "VTDIFF10";
constexpr unsigned kByteDiffMagicLength = 8;

enum ByteDiffMethod : uint8_t {
    BYTE_DIFF_RAW = 0,          // lengths and blocks uncompressed
    BYTE_DIFF_LZMA2_BLOCKS = 1, // control, diff and extra block as three LZMA2 blocks
    BYTE_DIFF_LZMA2_PAYLOAD = 2 // the raw payload inside one LZMA2 block
};

// The old bytes of a byte diff as one or two pieces, read in place: offsets past the end of the
// first piece continue in the second. An ensemble patch's final diff reads the old file followed
// by the assembled new elements this way, so the old file is never copied next to them. Borrows
// both pieces.
struct ByteDiffOld {
    ByteDiffOld() = default;
    ByteDiffOld(const uint8_t *bytes, size_t length) : first(bytes), first_length(length) {}
    ByteDiffOld(const uint8_t *bytes, size_t length, const uint8_t *more, size_t more_length)
        : first(bytes), first_length(length), second(more), second_length(more_length)
    {
    }
    uint64_t length() const { return uint64_t{first_length} + second_length; }

    const uint8_t *first = nullptr;
    size_t first_length = 0;
    const uint8_t *second = nullptr;
    size_t second_length = 0;
};

// Applies the byte diff at patch's position to the bytes of `old` from its position to its end
// (old is not advanced) and appends exactly N bytes to `output`, which must be empty.
// `expect_header` selects the standalone framing, whose checksum is then verified.
// On success patch stands right after the diff (after the blocks of method 0, the three LZMA2
// blocks of method 1 or the one of method 2). On failure the output holds a partial result to
// be discarded, and an ERROR record names the cause where the format defines one.
// Memory: the output is reserved once. Method 0 reads its blocks in place. Method 2 never holds
// its decoded payload: the control block is decoded into memory, the diff and extra bytes
// straight into the output, so it needs the output, the control block and an LZMA2 dictionary
// of at most the payload's length (what the block's property byte announces, if less). Method 1
// holds its three decoded blocks. A stated N beyond what the blocks can fill is never reserved.
bool ApplyByteDiff(const ReadStream &old, ReadStream *patch, WriteStream *output, bool expect_header);
// The same on old bytes in one or two pieces.
bool ApplyByteDiff(const ByteDiffOld &old, ReadStream *patch, WriteStream *output, bool expect_header);

// A raw-layout payload (three lengths, then the control, diff and extra blocks) applied while it
// is decoded from an LZMA2 block, without holding it: the control block is decoded into memory,
// the diff block straight into the output at the places the triples give it, the extra block
// into the gaps. Method 2 diffs use it for their one block; ensemble patches for their final
// diff, which is one stream of their body block.
//
// Decode never writes a record and Complete writes the records of a bad control block, so a
// caller that finishes the block in between reports a failure of the LZMA2 data first (and
// alone), as if the block had been decoded whole before the diff was looked at.
//
// Memory: the output (reserved once at N, when the control block is sound) and the control
// block. Not copyable: it owns the decoded control block.
class StreamedPayload {
public:
    StreamedPayload() = default;
    StreamedPayload(const StreamedPayload &) = delete;
    StreamedPayload &operator=(const StreamedPayload &) = delete;

    // Decodes the payload from `source` into the free space of `output` (its length at the call
    // is where the N bytes begin, as ApplyByteDiff counts it). With `old`, each piece of the diff
    // block is added to the old bytes as it arrives, while both are in cache; without (the old
    // bytes are not known yet), the decoded diff bytes wait in the output for Complete. Stops at
    // the first fault; bytes of `source` after the payload are left unread.
    void Decode(Lzma2BlockRange *source, const ByteDiffOld *old, WriteStream *output, uint32_t new_size);

    // After the block has been finished without fault: checks the control block against `old`
    // (which must be the old bytes given to Decode, if any), adds the old bytes if Decode could
    // not, and commits the N bytes to the output. On failure writes the apply loop's record for
    // a bad control block, if the fault has one, and returns false.
    bool Complete(const ByteDiffOld &old, WriteStream *output);

private:
    WriteStream m_control;
    size_t m_start = 0;
    uint32_t m_new_size = 0;
    uint32_t m_diff_length = 0;
    uint32_t m_extra_length = 0;
    bool m_lengths = false; // the three lengths were sound and the control block is here
    bool m_placed = false;  // the diff and extra bytes are in the output
    bool m_added = false;   // ... and the diff bytes were added to the old bytes
};

} // namespace vtpatch

#endif // VTPATCH_BYTEDIFF_H
