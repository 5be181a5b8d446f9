#ifndef VTPATCH_CREATE_BYTEDIFF_CREATE_H
#define VTPATCH_CREATE_BYTEDIFF_CREATE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "lib/bytediff.h"

namespace vtpatch {

class WriteStream;

struct ByteDiffOptions {
    // How the blocks are stored; LZMA2 over the whole payload makes the smallest patches.
    ByteDiffMethod method = BYTE_DIFF_LZMA2_PAYLOAD;
    // True: the standalone framing ("VTDIFF10" and the new bytes' checksum in front).
    bool standalone = false;
    // liblzma preset 0 to 9 for methods 1 and 2, and its slower "extreme" variant.
    uint32_t preset = 9;
    bool extreme = true;
    // Called now and then while matching with the new bytes covered so far and their total.
    std::function<void(uint64_t done, uint64_t total)> progress;
};

// The largest old or new length a byte diff can describe: the applier's old position and the
// triple lengths are signed 32-bit values.
constexpr size_t kMaxByteDiffInput = 0x7FFFFFFF;

// Appends a byte diff that turns old into new to *patch, in the framing and method `options`
// name; ApplyByteDiff reads it back. Matching follows the suffix-array method of bsdiff: the
// old bytes are suffix sorted (libdivsufsort), each stretch of new bytes is matched against its
// longest old match, and approximate matches become diff bytes (mostly zeros) while what old
// does not hold becomes extra bytes. Small isolated changes inside a long match are cut out
// into extra bytes, which LZMA stores for less than a lone non-zero diff byte. Method 2
// compresses the payload with WriteDiffPayloadBlock.
// Memory: old + new + 4 x old for the suffix array + the blocks (at most new) + the
// compressor's (about 11 x min(section, 8 MiB)). Appliers of method 2 need old + new + the
// control block + a dictionary of 1 MiB (up to 8 MiB when there are more extra bytes). Time:
// suffix sorting is O(old log old), matching typically O(new log old).
// On failure returns false with a sentence in *error (when given); *patch may then end in a
// partial diff, to be discarded. Any thread.
bool CreateByteDiff(const uint8_t *old_data, size_t old_length, const uint8_t *new_data, size_t new_length,
                    WriteStream *patch, const ByteDiffOptions &options = ByteDiffOptions(),
                    std::string *error = nullptr);

// Appends one LZMA2 block holding a raw diff payload that lies in one buffer: `head_length` bytes
// that end with the control block (the lengths, and for an ensemble body everything before its
// final diff's blocks), then the diff bytes, then the extra bytes. The three parts are compressed
// as sections with settings that suit each; payloads up to 8 MiB are also compressed as one
// stream (small ones with several literal codings), and the smallest block is kept. Readers
// decode any of them alike. Fails (false) only when liblzma or memory fails.
bool WriteDiffPayloadBlock(const uint8_t *payload, size_t head_length, size_t diff_length, size_t extra_length,
                           const ByteDiffOptions &options, WriteStream *patch);

} // namespace vtpatch

#endif // VTPATCH_CREATE_BYTEDIFF_CREATE_H
