// Reading of LZMA2 blocks: property byte, uncompressed length (varint32), raw LZMA2 data.

#include <lzma.h>

#include <algorithm>
#include <string>

#include "lib/lzma2_block.h"
#include "lib/logging.h"
#include "lib/streams.h"

namespace vtpatch {

uint32_t Lzma2DictionarySize(uint8_t property)
{
    if (property > kMaxLzma2Property) {
        return 0;
    }
    if (property == kMaxLzma2Property) {
        return 0xFFFFFFFFu;
    }
    return (2u | (property & 1u)) << (property / 2 + 11);
}

uint64_t Lzma2AnnouncedSize(const uint8_t *data, size_t length)
{
    // Chunk headers: control 0 ends the stream; 1 and 2 are stored chunks (2-byte size - 1);
    // 0x80 to 0xFF are LZMA chunks (5 bits of control + 2 bytes: size - 1; 2 bytes: packed
    // size - 1; a property byte from 0xC0 on). Anything else is invalid and ends the walk.
    uint64_t total = 0;
    size_t position = 0;
    while (position < length) {
        const uint8_t control = data[position];
        const size_t left = length - position;
        if (control == 1 || control == 2) {
            if (left < 3) {
                break;
            }
            const size_t size = ((size_t{data[position + 1]} << 8) | data[position + 2]) + 1;
            total += size;
            if (left - 3 < size) {
                break;
            }
            position += 3 + size;
        } else if (control >= 0x80) {
            if (left < 5) {
                break;
            }
            const size_t size =
                ((size_t{control & 0x1Fu} << 16) | (size_t{data[position + 1]} << 8) | data[position + 2]) + 1;
            const size_t packed = ((size_t{data[position + 3]} << 8) | data[position + 4]) + 1;
            const size_t header = control >= 0xC0 ? 6 : 5;
            total += size;
            if (left < header || left - header < packed) {
                break;
            }
            position += header + packed;
        } else {
            break; // end marker or an invalid control byte: the decoder stops here
        }
    }
    return total;
}

bool ReadStream::ReadLzma2Block(WriteStream *out)
{
    ReadStream block = *this;
    uint8_t property = 0;
    if (!block.Read(&property, 1)) {
        Log(LOG_ERROR, "Error read LZMA2 properties");
        return false;
    }
    uint32_t size = 0;
    if (!block.ReadVarint32(&size)) {
        Log(LOG_ERROR, "Error read LZMA2 unpack size");
        return false;
    }

    // The decoder can produce no more than the chunk headers announce, so a block that claims
    // gigabytes with a few bytes of data gets no more room than those bytes can fill. The result
    // is the same as with the stored length: a shorter output fails below either way.
    const uint64_t announced = Lzma2AnnouncedSize(block.Position(), block.Remaining());
    const size_t room = announced < size ? static_cast<size_t>(announced) : size;
    if (out->Failed() || !out->Reserve(room)) {
        Log(LOG_ERROR, "unable to allocate sink space");
        return false;
    }

    lzma_ret result = LZMA_OPTIONS_ERROR;
    size_t consumed = 0;
    size_t produced = 0;
    const uint32_t announced_dictionary = Lzma2DictionarySize(property);
    if (announced_dictionary != 0) {
        // liblzma allocates the dictionary the property byte announces (up to 4 GiB); a decoder
        // never looks further back than the output it made, so the output's size is enough.
        lzma_options_lzma options{};
        options.dict_size = announced_dictionary < room ? announced_dictionary : static_cast<uint32_t>(room);
        if (options.dict_size < LZMA_DICT_SIZE_MIN) {
            options.dict_size = LZMA_DICT_SIZE_MIN;
        }
        const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        uint8_t empty_output = 0;
        uint8_t *output = room > 0 ? out->FreeSpace() : &empty_output;
        result = lzma_raw_buffer_decode(filters, nullptr, block.Position(), &consumed, block.Remaining(), output,
                                        &produced, room);
    }

    if (result == LZMA_OK && produced == size) {
        block.Skip(consumed);
        out->Commit(produced);
        *this = block;
        return true;
    }
    if (result == LZMA_BUF_ERROR && room < size) {
        // The output was cut to what the chunk headers announce, so liblzma stopped at a full
        // buffer where the stated length would have let it go on to the real fault (a truncated
        // or damaged chunk, or an early end). The piecewise reader decodes with the stated
        // length and writes the record that names it.
        Lzma2BlockReader reader;
        ReadStream source = *this;
        if (reader.Begin(source) && !reader.Finish(&source)) {
            return false;
        }
    }
    Log(LOG_ERROR, "Error uncompressing data " + std::to_string(result == LZMA_OK ? 0 : static_cast<int>(result)));
    return false;
}

struct Lzma2BlockReader::State {
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_options_lzma options{};
    bool initialized = false;
};

Lzma2BlockReader::Lzma2BlockReader() : m_state(new State) {}

Lzma2BlockReader::~Lzma2BlockReader()
{
    if (m_state->initialized) {
        lzma_end(&m_state->stream);
    }
}

bool Lzma2BlockReader::Begin(const ReadStream &source)
{
    ReadStream block = source;
    uint8_t property = 0;
    if (!block.Read(&property, 1)) {
        Log(LOG_ERROR, "Error read LZMA2 properties");
        return false;
    }
    if (!block.ReadVarint32(&m_length)) {
        Log(LOG_ERROR, "Error read LZMA2 unpack size");
        return false;
    }
    m_header_length = source.Remaining() - block.Remaining();
    m_announced = Lzma2AnnouncedSize(block.Position(), block.Remaining());
    m_delivered = 0;
    m_ended = false;
    m_error = -1;

    const uint32_t announced_dictionary = Lzma2DictionarySize(property);
    if (announced_dictionary == 0) {
        m_error = LZMA_OPTIONS_ERROR; // what the one-call reader reports for such a byte
        return true;
    }
    // The decoder never looks further back than what it produced, so the output it can make
    // is enough dictionary, whatever the property byte announces: the stated length, or what
    // the chunk headers announce when that is less (a few bytes may state 4 GiB).
    State &state = *m_state;
    const uint64_t output_bound = std::min<uint64_t>(m_length, m_announced);
    state.options.dict_size = static_cast<uint32_t>(
        std::max<uint64_t>(std::min<uint64_t>(announced_dictionary, output_bound), LZMA_DICT_SIZE_MIN));
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &state.options}, {LZMA_VLI_UNKNOWN, nullptr}};
    const lzma_ret result = lzma_raw_decoder(&state.stream, filters);
    state.initialized = true; // lzma_end is safe after a failed initialisation too
    if (result != LZMA_OK) {
        m_error = result;
        return true;
    }
    state.stream.next_in = block.Position();
    state.stream.avail_in = block.Remaining();
    return true;
}

uint32_t Lzma2BlockReader::DictionarySize() const
{
    return m_state->initialized ? m_state->options.dict_size : 0;
}

bool Lzma2BlockReader::Decode(uint8_t *destination, size_t n)
{
    if (m_error >= 0 || n > m_length - m_delivered) {
        return false;
    }
    lzma_stream &stream = m_state->stream;
    stream.next_out = destination;
    stream.avail_out = n;
    while (stream.avail_out > 0) {
        if (m_ended) {
            m_error = 0; // the data ends before the stated length
            return false;
        }
        const size_t room = stream.avail_out;
        const lzma_ret result = lzma_code(&stream, LZMA_RUN);
        if (result == LZMA_STREAM_END) {
            m_ended = true;
        } else if (result != LZMA_OK) {
            m_error = result;
            return false;
        } else if (stream.avail_out == room && stream.avail_in == 0) {
            m_error = LZMA_DATA_ERROR; // the input ran out inside the data: truncated
            return false;
        }
    }
    m_delivered += n;
    return true;
}

bool Lzma2BlockReader::Read(uint8_t *destination, size_t n)
{
    return n == 0 || Decode(destination, n);
}

bool Lzma2BlockReader::Skip(size_t n)
{
    uint8_t scratch[16384];
    while (n > 0) {
        const size_t chunk = std::min(n, sizeof scratch);
        if (!Decode(scratch, chunk)) {
            return false;
        }
        n -= chunk;
    }
    return true;
}

bool Lzma2BlockReader::Finish(ReadStream *source)
{
    Skip(m_length - m_delivered);
    if (m_error < 0 && !m_ended) {
        // The stated length is complete; the LZMA2 data must end right here. A further byte
        // means the length is too short; no end marker means the data is cut or damaged.
        lzma_stream &stream = m_state->stream;
        const size_t input_left = stream.avail_in;
        uint8_t probe = 0;
        stream.next_out = &probe;
        stream.avail_out = 1;
        const lzma_ret result = lzma_code(&stream, LZMA_RUN);
        if (result == LZMA_STREAM_END && stream.avail_out == 1) {
            m_ended = true;
        } else {
            m_error = stream.avail_out == 0 || input_left > 0 ? LZMA_BUF_ERROR : LZMA_DATA_ERROR;
        }
    }
    if (m_error >= 0) {
        Log(LOG_ERROR, "Error uncompressing data " + std::to_string(m_error));
        return false;
    }
    return source->Skip(m_header_length + static_cast<size_t>(m_state->stream.total_in));
}

Lzma2BlockRange::Lzma2BlockRange(Lzma2BlockReader *reader, uint64_t length)
    : m_reader(reader), m_end(reader->Delivered() + length)
{
}

uint64_t Lzma2BlockRange::Remaining() const
{
    return m_end - m_reader->Delivered();
}

bool Lzma2BlockRange::Read(uint8_t *destination, size_t n)
{
    return n <= Remaining() && m_reader->Read(destination, n);
}

bool Lzma2BlockRange::Skip(uint64_t n)
{
    return n <= Remaining() && m_reader->Skip(static_cast<size_t>(n));
}

bool Lzma2BlockRange::ReadVarint32(uint32_t *value, size_t *length)
{
    uint8_t bytes[5];
    size_t count = 0;
    do {
        if (count == sizeof bytes || !Read(&bytes[count], 1)) {
            return false;
        }
    } while ((bytes[count++] & 0x80) != 0);
    ReadStream encoded(bytes, count);
    if (!encoded.ReadVarint32(value)) {
        return false;
    }
    if (length != nullptr) {
        *length = count;
    }
    return true;
}

bool Lzma2BlockRange::ReadInto(uint64_t n, WriteStream *out)
{
    if (n > Remaining()) {
        return false;
    }
    // The buffer doubles (Reserve alone allocates exactly, which would copy a large stream over
    // and over), but never past the bytes still to come: at most twice what really arrived.
    constexpr uint64_t kStep = 1 << 16;
    while (n > 0) {
        if (out->Capacity() == out->Length()) {
            const uint64_t grow = std::min<uint64_t>(n, std::max<uint64_t>(kStep, out->Length()));
            if (!out->Reserve(static_cast<size_t>(grow))) {
                return false;
            }
        }
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, out->Capacity() - out->Length()));
        if (!m_reader->Read(out->FreeSpace(), chunk) || !out->Commit(chunk)) {
            return false;
        }
        n -= chunk;
    }
    return true;
}

} // namespace vtpatch
