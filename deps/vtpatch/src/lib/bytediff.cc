#include "lib/bytediff.h"

#include <cstring>

#include "lib/checksum.h"
#include "lib/logging.h"
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

} // namespace

bool ApplyByteDiff(const ReadStream &old, ReadStream *patch, WriteStream *output, bool expect_header)
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

    // Decoded copies for methods 1 and 2; the block views point into them.
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
    } else {
        if (!patch->ReadLzma2Block(&decoded[0])) {
            return false;
        }
        ReadStream payload(decoded[0]);
        if (!ReadRawBlocks(&payload, &blocks)) {
            return false;
        }
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

    const uint8_t *const old_bytes = old.Position();
    const uint64_t old_length = old.Remaining();
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
            AddBytes(blocks.diff.Position(), old_bytes + old_position, diff_count, output->FreeSpace());
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

    const size_t produced = output->Length() - start_length;
    if (expect_header &&
        PatchChecksum(produced > 0 ? output->Data() + start_length : nullptr, produced) != expected_checksum) {
        Log(LOG_ERROR, "crc mismatch");
        return false;
    }
    return true;
}

} // namespace vtpatch
