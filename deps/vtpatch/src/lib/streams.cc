#include "lib/streams.h"

#include <cstring>
#include <limits>
#include <new>
#include <string>

#include <sys/mman.h>

#include "lib/logging.h"

namespace vtpatch {

namespace {

constexpr size_t kMinimumCapacity = 256;
constexpr size_t kMaxVarint32Bytes = 5;

// Index checks of the stream sets guard the fixed arrays; a bad index is a caller's bug.
void CheckIndex(size_t index, size_t limit)
{
    if (index >= limit) {
        Log(LOG_CRITICAL, "deps/vtpatch/src/lib/streams.cc: check failed: index < " + std::to_string(limit) +
                              " (index " + std::to_string(index) + ")");
    }
}

// Large buffers (a new file, a decoded body) are filled once from start to end. In 4 KiB pages
// that is a page fault every 4 KiB, which was a sixth of the time of applying a large patch;
// huge pages where the kernel offers them on request cut the faults 512-fold. Only the whole
// 2 MiB pages inside the buffer are advised; nothing changes when the kernel declines.
void AdviseHugePages(uint8_t *buffer, size_t capacity)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    if (capacity < 4 * kHugePage) {
        return;
    }
    const uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + capacity) & ~(kHugePage - 1);
    if (end > start) {
        ::madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    }
#else
    (void)buffer;
    (void)capacity;
#endif
}

} // namespace

// ---------------------------------------------------------------------------------------------
// ReadStream

void ReadStream::Init(const uint8_t *data, size_t length)
{
    m_start = data;
    m_end = data == nullptr ? data : data + length;
    m_position = data;
}

void ReadStream::Init(const WriteStream &source)
{
    Init(source.Data(), source.Length());
}

bool ReadStream::Read(void *destination, size_t n)
{
    if (Remaining() < n) {
        return false;
    }
    if (n > 0) {
        std::memcpy(destination, m_position, n);
        m_position += n;
    }
    return true;
}

bool ReadStream::Skip(size_t n)
{
    if (Remaining() < n) {
        return false;
    }
    m_position += n;
    return true;
}

bool ReadStream::ReadVarint32(uint32_t *out)
{
    const size_t available = Remaining();
    uint32_t value = 0;
    for (size_t i = 0; i < kMaxVarint32Bytes - 1; ++i) {
        if (i >= available) {
            return false;
        }
        const uint8_t byte = m_position[i];
        value |= static_cast<uint32_t>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) {
            m_position += i + 1;
            *out = value;
            return true;
        }
    }
    if (available < kMaxVarint32Bytes) {
        return false;
    }
    // Only four value bits fit into the fifth byte (its bits 4 to 6 are dropped); a continuation
    // bit there would announce a sixth byte, which no 32-bit value needs.
    const uint8_t last = m_position[kMaxVarint32Bytes - 1];
    if (last & 0x80) {
        return false;
    }
    value |= static_cast<uint32_t>(last & 0x0F) << 28;
    m_position += kMaxVarint32Bytes;
    *out = value;
    return true;
}

bool ReadStream::ReadVarint32Signed(int32_t *out)
{
    uint32_t u = 0;
    if (!ReadVarint32(&u)) {
        return false;
    }
    const uint32_t v = (u >> 1) ^ (0u - (u & 1u));
    *out = static_cast<int32_t>(v);
    return true;
}

// ReadLzma2Block lives in lzma2_block.cc with the decoder.

// ---------------------------------------------------------------------------------------------
// WriteStream

WriteStream::~WriteStream()
{
    Release();
}

WriteStream::WriteStream(WriteStream &&other) noexcept
    : m_data(other.m_data), m_length(other.m_length), m_capacity(other.m_capacity), m_failed(other.m_failed)
{
    other.m_data = nullptr;
    other.m_length = 0;
    other.m_capacity = 0;
    other.m_failed = false;
}

WriteStream &WriteStream::operator=(WriteStream &&other) noexcept
{
    if (this != &other) {
        Release();
        m_data = other.m_data;
        m_length = other.m_length;
        m_capacity = other.m_capacity;
        m_failed = other.m_failed;
        other.m_data = nullptr;
        other.m_length = 0;
        other.m_capacity = 0;
        other.m_failed = false;
    }
    return *this;
}

void WriteStream::Release()
{
    if (m_data != nullptr) {
        ::operator delete[](m_data);
    }
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
}

void WriteStream::Fail()
{
    Release();
    m_failed = true;
}

bool WriteStream::Reallocate(size_t capacity)
{
    // The non-throwing form: running out of memory must become the failed state, never an
    // exception.
    auto *fresh = static_cast<uint8_t *>(::operator new[](capacity, std::nothrow));
    if (fresh == nullptr) {
        Fail();
        return false;
    }
    AdviseHugePages(fresh, capacity);
    if (m_length > 0) {
        std::memcpy(fresh, m_data, m_length);
    }
    if (m_data != nullptr) {
        ::operator delete[](m_data);
    }
    m_data = fresh;
    m_capacity = capacity;
    return true;
}

bool WriteStream::Write(const void *bytes, size_t n)
{
    if (m_failed || n > std::numeric_limits<size_t>::max() - m_length) {
        return false;
    }
    if (n == 0) {
        return true;
    }
    if (m_capacity - m_length < n) {
        const size_t needed = m_length + n;
        size_t capacity = m_capacity == 0 ? kMinimumCapacity : m_capacity;
        while (capacity < needed) {
            if (capacity > std::numeric_limits<size_t>::max() / 2) {
                capacity = std::numeric_limits<size_t>::max(); // its allocation fails
                break;
            }
            capacity *= 2;
        }
        if (!Reallocate(capacity)) {
            return false;
        }
    }
    std::memcpy(m_data + m_length, bytes, n);
    m_length += n;
    return true;
}

bool WriteStream::WriteVarint32(uint32_t value)
{
    uint8_t buffer[kMaxVarint32Bytes];
    size_t size = 0;
    while (value >= 0x80) {
        buffer[size++] = static_cast<uint8_t>(value | 0x80);
        value >>= 7;
    }
    buffer[size++] = static_cast<uint8_t>(value);
    return Write(buffer, size);
}

bool WriteStream::WriteVarint32Signed(int32_t value)
{
    const uint32_t v = static_cast<uint32_t>(value);
    const uint32_t mapped = value < 0 ? 2u * ~v + 1u : 2u * v;
    return WriteVarint32(mapped);
}

bool WriteStream::WriteSizeVarint32(size_t value)
{
    const auto narrowed_value = static_cast<uint32_t>(value);
    if (value != narrowed_value) {
        // The formats store sizes in 32 bits; a larger one means a writer's own bounds failed.
        Log(LOG_CRITICAL, "deps/vtpatch/src/lib/streams.cc:209: check failed: value == narrowed_value");
        return false;
    }
    return WriteVarint32(narrowed_value);
}

bool WriteStream::Reserve(size_t n)
{
    if (m_failed) {
        return false;
    }
    if (n > std::numeric_limits<size_t>::max() - m_length) {
        // More than the address space can hold: no allocation could satisfy it.
        Fail();
        return false;
    }
    const size_t needed = m_length + n;
    if (m_capacity >= needed) {
        return true;
    }
    return Reallocate(needed < kMinimumCapacity ? kMinimumCapacity : needed);
}

bool WriteStream::Commit(size_t n)
{
    if (m_failed || n > m_capacity - m_length) {
        return false;
    }
    m_length += n;
    return true;
}

bool WriteStream::AppendAndRelease(WriteStream *other)
{
    if (m_failed || other->m_failed) {
        return false;
    }
    if (other == this) {
        return false;
    }
    if (m_length == 0 && other->m_capacity >= m_capacity) {
        // Taking over the buffer is the cheapest append, and keeps a single copy of big streams.
        std::swap(m_data, other->m_data);
        std::swap(m_capacity, other->m_capacity);
        m_length = other->m_length;
        other->m_length = 0;
        other->Release();
        return true;
    }
    if (!Write(other->m_data, other->m_length)) {
        return false;
    }
    other->Release();
    return true;
}

// ---------------------------------------------------------------------------------------------
// ReadStreamSet

void ReadStreamSet::Clear(size_t count)
{
    for (auto &stream : m_streams) {
        stream = ReadStream();
    }
    m_count = count;
}

bool ReadStreamSet::Parse(const uint8_t *data, size_t length)
{
    Clear(kMaxStreams);
    ReadStream header(data, length);

    const size_t magic_start = header.Remaining();
    uint32_t magic = 0;
    if (!header.ReadVarint32(&magic) || magic != kStreamSetMagic) {
        return false;
    }
    // The first three bytes of the magic carry the continuation bit in any encoding of it that
    // is accepted, so it takes four or five bytes.
    const size_t magic_bytes = magic_start - header.Remaining();
    if (magic_bytes < 4) {
        return false;
    }

    uint32_t count = 0;
    if (!header.ReadVarint32(&count) || count > kMaxStreams) {
        return false;
    }
    uint32_t lengths[kMaxStreams] = {};
    uint64_t total = 0; // at most ten 32-bit lengths: no wrap-around
    for (uint32_t i = 0; i < count; ++i) {
        if (!header.ReadVarint32(&lengths[i])) {
            return false;
        }
        total += lengths[i];
    }
    if (total != header.Remaining()) {
        return false;
    }

    const uint8_t *position = header.Position();
    for (uint32_t i = 0; i < count; ++i) {
        m_streams[i].Init(position, lengths[i]);
        position += lengths[i];
    }
    m_count = count;
    return true;
}

bool ReadStreamSet::ReadSet(ReadStreamSet *nested)
{
    nested->Clear(kMaxStreams);
    if (m_count == 0) {
        return false;
    }
    ReadStream saved[kMaxStreams];
    for (size_t i = 0; i < kMaxStreams; ++i) {
        saved[i] = m_streams[i];
    }
    auto fail = [&]() {
        for (size_t i = 0; i < kMaxStreams; ++i) {
            m_streams[i] = saved[i];
        }
        nested->Clear(kMaxStreams);
        return false;
    };

    uint32_t count = 0;
    if (!m_streams[0].ReadVarint32(&count) || count > kMaxStreams || count > m_count) {
        return fail();
    }
    uint32_t lengths[kMaxStreams] = {};
    for (uint32_t i = 0; i < count; ++i) {
        if (!m_streams[0].ReadVarint32(&lengths[i])) {
            return fail();
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        ReadStream &source = m_streams[i];
        if (source.Remaining() < lengths[i]) {
            return fail();
        }
        nested->m_streams[i].Init(source.Position(), lengths[i]);
        source.Skip(lengths[i]);
    }
    return true;
}

bool ReadStreamSet::IsConsumed() const
{
    for (size_t i = 0; i < m_count; ++i) {
        if (!m_streams[i].IsConsumed()) {
            return false;
        }
    }
    return true;
}

ReadStream &ReadStreamSet::stream(size_t index)
{
    CheckIndex(index, kMaxStreams);
    return m_streams[index];
}

const ReadStream &ReadStreamSet::stream(size_t index) const
{
    CheckIndex(index, kMaxStreams);
    return m_streams[index];
}

// ---------------------------------------------------------------------------------------------
// WriteStreamSet

bool WriteStreamSet::CopyTo(WriteStream *out)
{
    // A failed stream reports length 0; copying it would silently drop its contents.
    for (const auto &stream : m_streams) {
        if (stream.Failed()) {
            return false;
        }
    }
    WriteStream header;
    static const uint8_t kMagicBytes[] = {0xEA, 0x9A, 0xCA, 0x09};
    bool ok = header.Write(kMagicBytes, sizeof kMagicBytes) && header.WriteSizeVarint32(kStreamCount);
    size_t total = 0;
    for (const auto &stream : m_streams) {
        ok = ok && header.WriteSizeVarint32(stream.Length());
        total += stream.Length(); // each below 2^32, checked just above: no wrap on 64-bit sizes
    }
    if (!ok || total > std::numeric_limits<size_t>::max() - header.Length()) {
        return false;
    }
    if (!out->Reserve(header.Length() + total) || !out->Write(header.Data(), header.Length())) {
        return false;
    }
    for (auto &stream : m_streams) {
        if (!out->Write(stream.Data(), stream.Length())) {
            return false;
        }
        stream.Release();
    }
    return true;
}

bool WriteStreamSet::WriteSet(WriteStreamSet *nested)
{
    size_t count = 0;
    for (size_t i = 0; i < kStreamCount; ++i) {
        if (nested->m_streams[i].Failed()) {
            return false;
        }
        if (nested->m_streams[i].Length() > 0) {
            count = i + 1;
        }
    }
    WriteStream &first = m_streams[0];
    if (!first.WriteSizeVarint32(count)) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!first.WriteSizeVarint32(nested->m_streams[i].Length())) {
            return false;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        WriteStream &source = nested->m_streams[i];
        if (!m_streams[i].Write(source.Data(), source.Length())) {
            return false;
        }
        source.Release();
    }
    return true;
}

WriteStream &WriteStreamSet::stream(size_t index)
{
    CheckIndex(index, kStreamCount);
    return m_streams[index];
}

const WriteStream &WriteStreamSet::stream(size_t index) const
{
    CheckIndex(index, kStreamCount);
    return m_streams[index];
}

} // namespace vtpatch
