#ifndef VTPATCH_STREAMS_H
#define VTPATCH_STREAMS_H

// The byte streams every patch format of the engine is read and written through: a read cursor
// over borrowed bytes, an owned growable buffer, bundles of ten of each (stream sets), the
// varint encodings and the LZMA2 block.
//
// Nothing here throws. Operations that can fail return false and leave the object in a defined
// state; a read that fails never moves the read position. Objects are not synchronised: one
// thread uses one object at a time; distinct objects may be used on distinct threads.

#include <cstddef>
#include <cstdint>

#include "lib/checksum.h"

namespace vtpatch {

class WriteStream;

// A cursor over bytes it does not own (a mapped file, a decoded block, a WriteStream's buffer).
// The bytes must stay alive and unchanged while the stream is used; note that writing to a
// viewed WriteStream may move its buffer. Copying a ReadStream copies the view, not the bytes.
class ReadStream {
public:
    // An empty stream, consumed from the start.
    ReadStream() = default;
    ReadStream(const uint8_t *data, size_t length) { Init(data, length); }
    // Views the current contents of `source` (empty if it is failed or empty).
    explicit ReadStream(const WriteStream &source) { Init(source); }

    void Init(const uint8_t *data, size_t length);
    void Init(const WriteStream &source);

    // Copies n bytes to `destination` and advances; fails if fewer than n bytes remain.
    bool Read(void *destination, size_t n);
    // Advances by n; fails if fewer than n bytes remain.
    bool Skip(size_t n);

    // Unsigned varint32: 1 to 5 bytes, seven bits per byte, least significant group first. A
    // fifth byte must have bit 7 clear and contributes its low four bits only.
    bool ReadVarint32(uint32_t *out);
    // Zig-zag mapped varint32: 0, -1, 1, -2 are stored as 0, 1, 2, 3.
    bool ReadVarint32Signed(int32_t *out);

    // Decodes one LZMA2 block (property byte, uncompressed length as varint32, LZMA2 data up
    // to its end marker) and appends the decoded bytes to *out. On success this stream stands
    // right after the last byte the decoder consumed. Writes an ERROR record on failure.
    bool ReadLzma2Block(WriteStream *out);

    size_t Remaining() const { return static_cast<size_t>(m_end - m_position); }
    bool IsConsumed() const { return m_position == m_end; }

    // The viewed range and the read position, for callers that read in place.
    const uint8_t *Start() const { return m_start; }
    const uint8_t *Position() const { return m_position; }
    size_t Length() const { return static_cast<size_t>(m_end - m_start); }

private:
    const uint8_t *m_start = nullptr;
    const uint8_t *m_end = nullptr;
    const uint8_t *m_position = nullptr;
};

// An owned, growable byte buffer. When an allocation fails the stream enters a failed state for
// good: it releases its buffer, reports length 0 and rejects every later write and reservation,
// so a writer may check once at the end. Move-only: a buffer has exactly one owner.
class WriteStream {
public:
    WriteStream() = default;
    ~WriteStream();
    WriteStream(WriteStream &&other) noexcept;
    WriteStream &operator=(WriteStream &&other) noexcept;
    WriteStream(const WriteStream &) = delete;
    WriteStream &operator=(const WriteStream &) = delete;

    // Appends n bytes, growing the buffer by doubling (at least 256 bytes).
    bool Write(const void *bytes, size_t n);
    bool WriteVarint32(uint32_t value);
    bool WriteVarint32Signed(int32_t value);
    // Appends a size as unsigned varint32. A size of 2^32 or more is a programming error: it
    // writes a CRITICAL record, which ends the process.
    bool WriteSizeVarint32(size_t value);

    // Ensures room for n more bytes, allocating exactly what is needed (at least 256 bytes).
    bool Reserve(size_t n);

    // Appends other's bytes and, on success, releases other's buffer. Fails (and leaves both
    // as they were, unless this stream's allocation failed) if either stream is failed.
    bool AppendAndRelease(WriteStream *other);

    // Frees the buffer; length and capacity become 0. The failed state stays.
    void Release();

    // In-place appending for producers such as decoders: after Reserve(n), up to n bytes may be
    // written at FreeSpace(); Commit(k) then adds the first k of them to the stream. Commit
    // fails, changing nothing, if k exceeds Capacity() - Length() or the stream is failed.
    uint8_t *FreeSpace() { return m_data == nullptr ? nullptr : m_data + m_length; }
    bool Commit(size_t n);

    const uint8_t *Data() const { return m_data; }
    // For callers that patch bytes already written (in place, never past Length()).
    uint8_t *MutableData() { return m_data; }
    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_capacity; }
    bool Failed() const { return m_failed; }

private:
    bool Reallocate(size_t capacity);
    void Fail();

    uint8_t *m_data = nullptr;
    size_t m_length = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};

// Ten ReadStreams viewing one linearised stream set (or nested sets read from another set).
class ReadStreamSet {
public:
    static constexpr size_t kMaxStreams = 10;

    // Count 10, ten empty streams.
    ReadStreamSet() = default;

    // Reads a stream-set header (magic 20090218 as a 4- or 5-byte varint32, count 0 to 10,
    // count lengths) and points the streams into `data`, which stays borrowed. The lengths must
    // add up to exactly the bytes after the header. On failure every stream is empty.
    bool Parse(const uint8_t *data, size_t length);
    // Parses the remaining bytes of `source` (which is not advanced).
    bool Parse(const ReadStream &source) { return Parse(source.Position(), source.Remaining()); }

    // Reads a set that was nested into this one with WriteStreamSet::WriteSet: count and lengths
    // from this set's stream 0, then each nested stream i views the next bytes of stream i. The
    // nested set gets count 10, its streams past the nested count empty. On failure this set's
    // streams are left where they were and `nested` is all empty.
    bool ReadSet(ReadStreamSet *nested);

    // True when every stream below Count() is consumed.
    bool IsConsumed() const;
    size_t Count() const { return m_count; }

    // Stream `index`, meaningful for index < Count() (higher ones are empty). An index of 10 or
    // more is a programming error and ends the process through a CRITICAL record.
    ReadStream &stream(size_t index);
    const ReadStream &stream(size_t index) const;

private:
    void Clear(size_t count);

    ReadStream m_streams[kMaxStreams];
    size_t m_count = kMaxStreams;
};

// Ten WriteStreams; the users of a set assign the indices.
class WriteStreamSet {
public:
    static constexpr size_t kStreamCount = 10;

    // Appends the linearised set (header with all ten lengths, then streams 0 to 9) to *out,
    // releasing each stream's buffer once it is copied. Fails if any stream or *out is failed.
    bool CopyTo(WriteStream *out);

    // Nests `nested` into this set: its count (1 + last non-empty index) and lengths go to this
    // set's stream 0, then nested stream i is appended to stream i and released. Sets nested one
    // after another are read back with ReadStreamSet::ReadSet in the same order.
    bool WriteSet(WriteStreamSet *nested);

    // Stream `index`, 0 <= index < 10; a higher index ends the process (CRITICAL record).
    WriteStream &stream(size_t index);
    const WriteStream &stream(size_t index) const;

private:
    WriteStream m_streams[kStreamCount];
};

// Linearised stream-set magic 20090218, stored as EA 9A CA 09.
constexpr uint32_t kStreamSetMagic = 20090218;

} // namespace vtpatch

#endif // VTPATCH_STREAMS_H
