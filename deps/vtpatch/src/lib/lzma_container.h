#ifndef VTPATCH_LZMA_CONTAINER_H
#define VTPATCH_LZMA_CONTAINER_H

// LZMA containers: a file compressed as one LZMA2 block, either plainly (directive 1) or with its
// executables stored as encoded programs plus a byte diff that restores the rest (directive 2).
//
// Layout: magic 132781929 (stored as E9 AE A8 3F), PatchChecksum of the unpacked output,
// directive (unsigned varint32 each), then the LZMA2 block. Under directive 2 the block decodes
// to a stream set of n >= 2 streams: streams 0 to n-2 each hold one linearised encoded program,
// stream n-1 a byte diff (embedded framing) from the concatenated assembled programs to the
// output. Bytes after the block are ignored.

#include <cstddef>
#include <cstdint>

namespace vtpatch {

class WriteStream;

constexpr uint32_t kLzmaContainerMagic = 132781929;
constexpr uint32_t kDirectivePlain = 1;
constexpr uint32_t kDirectiveDisassembled = 2;

// Unpacks the container held in [data, data + length) into *output, which must be empty, and
// verifies its checksum. On failure returns false with one ERROR record naming the cause; the
// output then holds partial bytes to be discarded. Any thread.
bool UnpackLzmaContainerBytes(const uint8_t *data, size_t length, WriteStream *output);

} // namespace vtpatch

#endif // VTPATCH_LZMA_CONTAINER_H
