#ifndef VTPATCH_LZMA2_BLOCK_H
#define VTPATCH_LZMA2_BLOCK_H

// Helpers around the LZMA2 block layout (property byte, uncompressed length as varint32, raw
// LZMA2 data with its end marker). Reading is ReadStream::ReadLzma2Block (lib/streams.h);
// writing is create/lzma2_writer.h.

#include <cstddef>
#include <cstdint>

namespace vtpatch {

// The highest valid LZMA2 dictionary property byte (4 GiB - 1).
constexpr uint8_t kMaxLzma2Property = 40;

// The dictionary size a property byte announces, or 0 for a byte above 40.
uint32_t Lzma2DictionarySize(uint8_t property);

// The total uncompressed size announced by the chunk headers of raw LZMA2 data, counted up to
// the end marker, an invalid control byte or the end of the bytes (a chunk whose header is
// complete counts even if its data is cut short). No decoder can produce more from these bytes.
uint64_t Lzma2AnnouncedSize(const uint8_t *data, size_t length);

} // namespace vtpatch

#endif // VTPATCH_LZMA2_BLOCK_H
