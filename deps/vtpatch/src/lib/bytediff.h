#ifndef VTPATCH_BYTEDIFF_H
#define VTPATCH_BYTEDIFF_H

// The byte diff: rebuilds new bytes from old bytes and three blocks (control triples, diff bytes
// added to old bytes, extra bytes copied as they are), framed with varints and optionally
// compressed as LZMA2 blocks.
//
// Embedded framing: method byte (0 raw, 1 three LZMA2 blocks, 2 one LZMA2 block holding the raw
// layout), new size N (varint32), payload. Standalone framing: "VTDIFF10" and the PatchChecksum
// of the new bytes (varint32) in front of it.

#include <cstdint>

namespace vtpatch {

class ReadStream;
class WriteStream;

// The standalone magic, 8 bytes without terminator.
constexpr char kByteDiffMagic[] = "VTDIFF10";
constexpr unsigned kByteDiffMagicLength = 8;

enum ByteDiffMethod : uint8_t {
    BYTE_DIFF_RAW = 0,          // lengths and blocks uncompressed
    BYTE_DIFF_LZMA2_BLOCKS = 1, // control, diff and extra block as three LZMA2 blocks
    BYTE_DIFF_LZMA2_PAYLOAD = 2 // the raw payload inside one LZMA2 block
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

} // namespace vtpatch

#endif // VTPATCH_BYTEDIFF_H
