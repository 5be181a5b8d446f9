#include "lib/bytediff.h"

#include <cstring>

#include <algorithm>

#include "lib/checksum.h"
#include "lib/logging.h"
#include "lib/lzma2_block.h"
#include "lib/streams.h"

namespace vtpatch {

namespace {

// Views of the three blocks, read in place from the patch or from decoded copies.
struct Blocks {
    ReadStream control;
    ReadStream diff;
    ReadStream extra;
};

// The raw layout: three lengths, then the three blocks back to back. `source` is advanced past
// all of it.
bool ReadRawBlocks(ReadStream *source, Blocks *blocks)
{
    uint32_t control_length = 0;
    uint32_t diff_length = 0;
    uint32_t extra_length = 0;
    if (!source->ReadVarint32(&control_length) || !source->ReadVarint32(&diff_length) ||
        !source->ReadVarint32(&extra_length)) {
        return false;
    }
    // Summed in 64 bits: three 32-bit lengths must not wrap around into a small number.
    const uint64_t total = uint64_t{control_length} + diff_length + extra_length;
    if (total > source->Remaining()) {
        return false;
    }
    const uint8_t *position = source->Position();
    blocks->control.Init(position, control_length);
    blocks->diff.Init(position + control_length, diff_length);
    blocks->extra.Init(position + control_length + diff_length, extra_length);
    return source->Skip(static_cast<size_t>(total));
}

// sum[i] = (a[i] + b[i]) mod 256. Eight bytes at a time in a 64-bit word, without carries
// between them: the low seven bits of each byte are added, the top bit is added without carry.
// This loop is most of the work of applying a large diff.
void AddBytes(const uint8_t *a, const uint8_t *b, size_t count, uint8_t *sum)
{
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t x = 0;
        uint64_t y = 0;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        const uint64_t z = ((x & ~kHigh) + (y & ~kHigh)) ^ ((x ^ y) & kHigh);
        std::memcpy(sum + i, &z, 8);
    }
    for (; i < count; ++i) {
        sum[i] = static_cast<uint8_t>(a[i] + b[i]);
    }
}

// sum[i] = (diff[i] + old byte at position + i) mod 256 over the two pieces of the old bytes;
// the range [position, position + count) must lie inside them (the callers check it first).
void AddOld(const ByteDiffOld &old, uint64_t position, const uint8_t *diff, size_t count, uint8_t *sum)
{
    size_t done = 0;
    if (position < old.first_length) {
        done = static_cast<size_t>(std::min<uint64_t>(count, old.first_length - position));
        AddBytes(diff, old.first + position, done, sum);
    }
    if (done < count) {
        AddBytes(diff + done, old.second + (position + done - old.first_length), count - done, sum + done);
    }
}

// The outcome of walking a control block without its data, in the apply loop's terms: the
// first check that fails, or kWalkOk when the triples produce the output completely.
enum Walk { kWalkOk, kWalkSilent, kWalkCorruptControl, kWalkCorrupt };

// Runs the apply loop over the triples with everything but the bytes: the sizes against N, the
// diff and extra lengths and the old ranges, in the loop's order, so that the verdict and the
// record are the loop's. `length` is the output's length at the start (the checks use absolute
// lengths).
Walk CheckControl(ReadStream control, uint64_t length, uint32_t new_size, uint64_t diff_length, uint64_t extra_length,
                  uint64_t old_length)
{
    int32_t old_position = 0;
    while (length < new_size) {
        int32_t x = 0;
        int32_t y = 0;
        int32_t z = 0;
        if (!control.ReadVarint32Signed(&x) || !control.ReadVarint32Signed(&y) || !control.ReadVarint32Signed(&z)) {
            return kWalkCorruptControl;
        }
        if (x < 0 || length + static_cast<uint32_t>(x) > new_size) {
            return kWalkCorrupt;
        }
        if (diff_length < static_cast<uint32_t>(x)) {
            return kWalkSilent;
        }
        if (old_position < 0 || static_cast<uint64_t>(old_position) + static_cast<uint32_t>(x) > old_length) {
            return kWalkSilent;
        }
        length += static_cast<uint32_t>(x);
        diff_length -= static_cast<uint32_t>(x);
        if (y < 0 || length + static_cast<uint32_t>(y) > new_size) {
            return kWalkCorrupt;
        }
        if (extra_length < static_cast<uint32_t>(y)) {
            return kWalkSilent;
        }
        length += static_cast<uint32_t>(y);
        extra_length -= static_cast<uint32_t>(y);
        old_position = static_cast<int32_t>(static_cast<uint32_t>(old_position) + static_cast<uint32_t>(x) +
                                            static_cast<uint32_t>(z));
    }
    return kWalkOk;
}

// Calls visit(output offset, old position, x, y) for each triple of a control block that
// CheckControl accepted, until `total` output bytes are covered.
template <typename Visit> void ForEachTriple(ReadStream control, uint64_t total, Visit visit)
{
    uint64_t offset = 0;
    int32_t old_position = 0;
    while (offset < total) {
        int32_t x = 0;
        int32_t y = 0;
        int32_t z = 0;
        control.ReadVarint32Signed(&x);
        control.ReadVarint32Signed(&y);
        control.ReadVarint32Signed(&z);
        visit(offset, old_position, static_cast<uint32_t>(x), static_cast<uint32_t>(y));
        offset += static_cast<uint32_t>(x) + uint64_t{static_cast<uint32_t>(y)};
        old_position = static_cast<int32_t>(static_cast<uint32_t>(old_position) + static_cast<uint32_t>(x) +
                                            static_cast<uint32_t>(z));
    }
}

// The standalone framing's check of the bytes appended since start_length.
bool VerifyChecksum(const WriteStream &output, size_t start_length, uint32_t expected)
{
    const size_t produced = output.Length() - start_length;
    if (PatchChecksum(produced > 0 ? output.Data() + start_length : nullptr, produced) != expected) {
        Log(LOG_ERROR, "crc mismatch");
        return false;
    }
    return true;
}

// The records of a bad control block, written once the block's data is known to be sound.
void LogWalk(Walk verdict)
{
    if (verdict == kWalkCorruptControl) {
        Log(LOG_ERROR, "Corrupt patch reading control");
    } else if (verdict == kWalkCorrupt) {
        Log(LOG_ERROR, "Corrupt patch");
    }
}

// Method 2: the payload is applied while its one block is decoded (StreamedPayload). The
// verdict and the records are those of decoding the whole block first: any failure of the LZMA2
// data wins over a bad control block, which is why the block is always decoded to its end before
// a control failure is reported.
bool ApplyPayloadBlock(const ByteDiffOld &old, ReadStream *patch, WriteStream *output, uint32_t new_size)
{
    Lzma2BlockReader reader;
    if (!reader.Begin(*patch)) {
        return false;
    }
    Lzma2BlockRange payload(&reader, reader.Length());
    StreamedPayload streamed;
    streamed.Decode(&payload, &old, output, new_size);
    // Decodes whatever is left (the rest of the extra block, bytes after it) and checks the end.
    if (!reader.Finish(patch)) {
        return false;
    }
    return streamed.Complete(old, output);
}

} // namespace

void StreamedPayload::Decode(Lzma2BlockRange *source, const ByteDiffOld *old, WriteStream *output, uint32_t new_size)
{
    m_start = output->Length();
    m_new_size = new_size;
    uint32_t control_length = 0;
    if (!source->ReadVarint32(&control_length) || !source->ReadVarint32(&m_diff_length) ||
        !source->ReadVarint32(&m_extra_length)) {
        return;
    }
    if (uint64_t{control_length} + m_diff_length + m_extra_length > source->Remaining() ||
        !source->ReadInto(control_length, &m_control)) {
        return;
    }
    m_lengths = true;
    // Without the old bytes their length is not known yet: the bytes are placed if the triples
    // fit N and the blocks, and Complete checks the old ranges.
    const ReadStream control(m_control);
    const uint64_t old_length = old != nullptr ? old->length() : UINT64_MAX;
    if (CheckControl(control, m_start, new_size, m_diff_length, m_extra_length, old_length) != kWalkOk) {
        return;
    }
    // Every output byte is decoded from the block, so an output beyond what its chunks
    // announce cannot be filled: such a block fails in any case, and is not reserved for.
    const uint64_t total = new_size > m_start ? new_size - m_start : 0;
    Lzma2BlockReader *const reader = source->reader();
    if (total > reader->Announced() - std::min(reader->Announced(), reader->Delivered()) ||
        !output->Reserve(static_cast<size_t>(total))) {
        return;
    }

    uint8_t *const out = output->FreeSpace();
    uint64_t diff_used = 0;
    bool ok = true;
    ForEachTriple(control, total, [&](uint64_t offset, int32_t old_position, uint32_t x, uint32_t) {
        constexpr uint32_t kPiece = 1 << 16;
        for (uint32_t done = 0; ok && done < x;) {
            const uint32_t piece = std::min(x - done, kPiece);
            uint8_t *const target = out + offset + done;
            ok = source->Read(target, piece);
            if (ok && old != nullptr) {
                AddOld(*old, uint64_t{static_cast<uint32_t>(old_position)} + done, target, piece, target);
            }
            done += piece;
        }
        diff_used += x;
    });
    ok = ok && source->Skip(m_diff_length - diff_used);
    ForEachTriple(control, total, [&](uint64_t offset, int32_t, uint32_t x, uint32_t y) {
        ok = ok && source->Read(out + offset + x, y);
    });
    m_placed = ok;
    m_added = ok && old != nullptr;
}

bool StreamedPayload::Complete(const ByteDiffOld &old, WriteStream *output)
{
    if (!m_lengths) {
        return false;
    }
    const ReadStream control(m_control);
    const Walk verdict = CheckControl(control, m_start, m_new_size, m_diff_length, m_extra_length, old.length());
    LogWalk(verdict);
    if (verdict != kWalkOk || !m_placed) {
        return false;
    }
    const uint64_t total = m_new_size > m_start ? m_new_size - m_start : 0;
    if (!m_added) {
        uint8_t *const out = output->FreeSpace();
        ForEachTriple(control, total, [&](uint64_t offset, int32_t old_position, uint32_t x, uint32_t) {
            AddOld(old, static_cast<uint32_t>(old_position), out + offset, x, out + offset);
        });
        m_added = true;
    }
    return output->Commit(static_cast<size_t>(total));
}

bool ApplyByteDiff(const ReadStream &old, ReadStream *patch, WriteStream *output, bool expect_header)
{
    return ApplyByteDiff(ByteDiffOld(old.Position(), old.Remaining()), patch, output, expect_header);
}

bool ApplyByteDiff(const ByteDiffOld &old, ReadStream *patch, WriteStream *output, bool expect_header)
{
    uint32_t expected_checksum = 0;
    if (expect_header) {
        char magic[kByteDiffMagicLength];
        if (!patch->Read(magic, sizeof magic)) {
            return false;
        }
        if (std::memcmp(magic, kByteDiffMagic, kByteDiffMagicLength) != 0) {
            Log(LOG_ERROR, "Corrupt patch header");
            return false;
        }
        if (!patch->ReadVarint32(&expected_checksum)) {
            Log(LOG_ERROR, "Could not read crc");
            return false;
        }
    }

    uint8_t method = 0;
    if (!patch->Read(&method, 1)) {
        return false;
    }
    if (method > BYTE_DIFF_LZMA2_PAYLOAD) {
        Log(LOG_ERROR, "Invalid compression method");
        return false;
    }
    uint32_t new_size = 0;
    if (!patch->ReadVarint32(&new_size)) {
        return false;
    }

    if (method == BYTE_DIFF_LZMA2_PAYLOAD) {
        const size_t start_length = output->Length();
        if (!ApplyPayloadBlock(old, patch, output, new_size)) {
            return false;
        }
        return !expect_header || VerifyChecksum(*output, start_length, expected_checksum);
    }

    // Decoded copies for method 1; the block views point into them.
    WriteStream decoded[3];
    Blocks blocks;
    if (method == BYTE_DIFF_RAW) {
        if (!ReadRawBlocks(patch, &blocks)) {
            return false;
        }
    } else if (method == BYTE_DIFF_LZMA2_BLOCKS) {
        for (auto &block : decoded) {
            if (!patch->ReadLzma2Block(&block)) {
                return false;
            }
        }
        blocks.control.Init(decoded[0]);
        blocks.diff.Init(decoded[1]);
        blocks.extra.Init(decoded[2]);
    }

    // Every output byte comes from the diff or the extra block, so a stated size beyond both is
    // never reached: reserving it would only let a few patch bytes claim gigabytes. The loop
    // below fails such a patch at the same point and with the same record either way.
    const uint64_t fillable = uint64_t{blocks.diff.Remaining()} + blocks.extra.Remaining();
    const size_t start_length = output->Length();
    const uint64_t reservation = new_size < fillable ? new_size : fillable;
    if (!output->Reserve(static_cast<size_t>(reservation))) {
        return false;
    }

    const uint64_t old_length = old.length();
    int32_t old_position = 0;
    while (output->Length() < new_size) {
        int32_t x = 0;
        int32_t y = 0;
        int32_t z = 0;
        if (!blocks.control.ReadVarint32Signed(&x) || !blocks.control.ReadVarint32Signed(&y) ||
            !blocks.control.ReadVarint32Signed(&z)) {
            Log(LOG_ERROR, "Corrupt patch reading control");
            return false;
        }

        if (x < 0 || uint64_t{output->Length()} + static_cast<uint32_t>(x) > new_size) {
            Log(LOG_ERROR, "Corrupt patch");
            return false;
        }
        const auto diff_count = static_cast<size_t>(x);
        if (blocks.diff.Remaining() < diff_count) {
            return false;
        }
        // Checked for every triple, also when x is 0, so that the old position never wanders
        // off the old bytes unnoticed.
        if (old_position < 0 || static_cast<uint64_t>(old_position) + diff_count > old_length) {
            return false;
        }
        if (diff_count > 0) {
            // Sums go straight into the output's free space: one pass, no copy first.
            if (!output->Reserve(diff_count)) {
                return false;
            }
            AddOld(old, static_cast<uint32_t>(old_position), blocks.diff.Position(), diff_count, output->FreeSpace());
            output->Commit(diff_count);
            blocks.diff.Skip(diff_count);
        }

        if (y < 0 || uint64_t{output->Length()} + static_cast<uint32_t>(y) > new_size) {
            Log(LOG_ERROR, "Corrupt patch");
            return false;
        }
        const auto extra_count = static_cast<size_t>(y);
        if (blocks.extra.Remaining() < extra_count) {
            return false;
        }
        if (!output->Write(blocks.extra.Position(), extra_count)) {
            return false;
        }
        blocks.extra.Skip(extra_count);

        // The old position is a 32-bit value that wraps; the range check above catches it.
        old_position = static_cast<int32_t>(static_cast<uint32_t>(old_position) + static_cast<uint32_t>(x) +
                                            static_cast<uint32_t>(z));
    }

    return !expect_header || VerifyChecksum(*output, start_length, expected_checksum);
}

} // namespace vtpatch
