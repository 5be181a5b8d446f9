#ifndef VTPATCH_LZMA2_BLOCK_H
#define VTPATCH_LZMA2_BLOCK_H

// Helpers around the LZMA2 block layout (property byte, uncompressed length as varint32, raw
// LZMA2 data with its end marker). Reading is ReadStream::ReadLzma2Block (lib/streams.h);
// writing is create/lzma2_writer.h.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vtpatch {

class ReadStream;
class WriteStream;

// The highest valid LZMA2 dictionary property byte (4 GiB - 1).
constexpr uint8_t kMaxLzma2Property = 40;

// The dictionary size a property byte announces, or 0 for a byte above 40.
uint32_t Lzma2DictionarySize(uint8_t property);

// The total uncompressed size announced by the chunk headers of raw LZMA2 data, counted up to
// the end marker, an invalid control byte or the end of the bytes (a chunk whose header is
// complete counts even if its data is cut short). No decoder can produce more from these bytes.
uint64_t Lzma2AnnouncedSize(const uint8_t *data, size_t length);

// Decodes one LZMA2 block piece by piece, so that a reader can put the bytes where they belong
// (or drop them) instead of holding the whole block. Reading it all with Read/Skip and then
// Finish gives the same verdict and the same ERROR records as ReadStream::ReadLzma2Block: the
// same checks of the property byte, the length, the data and the end marker, and the same
// result codes. Memory: a dictionary of at most the block's length (4 KiB at least, never more
// than the property byte announces) plus liblzma's small state; nothing of the size of the
// block. Not thread safe; one reader per thread.
class Lzma2BlockReader {
public:
    Lzma2BlockReader();
    ~Lzma2BlockReader();
    // Owns a liblzma decoder state.
    Lzma2BlockReader(const Lzma2BlockReader &) = delete;
    Lzma2BlockReader &operator=(const Lzma2BlockReader &) = delete;

    // Reads the block header at source's position and prepares the decoder; source itself is
    // not advanced (Finish does that). Fails with the record ReadLzma2Block would write for a
    // missing property byte or length. The source bytes must outlive the reader.
    bool Begin(const ReadStream &source);

    // The uncompressed length the block states, and how much of it was delivered so far.
    uint32_t Length() const { return m_length; }
    uint64_t Delivered() const { return m_delivered; }
    // What the block's chunk headers announce (Lzma2AnnouncedSize): more than this can never be
    // delivered, however large the stated length, so callers size their buffers by it.
    uint64_t Announced() const { return m_announced; }
    // The dictionary the decoder allocated: at most the output the block can produce.
    uint32_t DictionarySize() const;

    // Delivers the next n decoded bytes to destination. Fails when they cannot be decoded
    // (damaged data, the block or its stated length ends first); the failure is kept and
    // reported by Finish, so nothing is logged here.
    bool Read(uint8_t *destination, size_t n);
    // Decodes and drops the next n bytes; fails as Read does.
    bool Skip(size_t n);

    // Decodes and drops what is left of the stated length, then checks that the LZMA2 data ends
    // right there. On success advances *source past the block's last consumed byte; on failure
    // writes the ERROR record of ReadLzma2Block ("Error uncompressing data " and the code) and
    // leaves *source alone. `source` must be the stream given to Begin.
    bool Finish(ReadStream *source);

private:
    bool Decode(uint8_t *destination, size_t n);

    struct State;
    std::unique_ptr<State> m_state;
    uint32_t m_length = 0;
    uint64_t m_delivered = 0;
    uint64_t m_announced = 0;
    size_t m_header_length = 0;
    int m_error = -1; // the result code of a failed decode, -1 while none
    bool m_ended = false;
};

// The next `length` decoded bytes of a block (one stream of a stream set, or the whole block),
// read in order through the block's reader. Ranges over the same reader share its position, so a
// range for one stream may be cut out of a range for the whole block. Reads never go past the
// range's end; a read that fails because the block data is bad leaves the failure in the reader,
// for its Finish to report. Borrows the reader.
class Lzma2BlockRange {
public:
    Lzma2BlockRange(Lzma2BlockReader *reader, uint64_t length);

    uint64_t Remaining() const;
    Lzma2BlockReader *reader() const { return m_reader; }

    bool Read(uint8_t *destination, size_t n);
    bool Skip(uint64_t n);
    // An unsigned varint32 with ReadStream's rules; *length gets the number of bytes it took.
    bool ReadVarint32(uint32_t *value, size_t *length = nullptr);
    // Decodes n bytes onto the end of *out, growing it only as bytes really arrive (to at most
    // twice what arrived), so a stream that states a huge length cannot make us allocate it.
    bool ReadInto(uint64_t n, WriteStream *out);

private:
    Lzma2BlockReader *m_reader;
    uint64_t m_end; // the reader's delivered count at the range's end
};

} // namespace vtpatch

#endif // VTPATCH_LZMA2_BLOCK_H
