#include "create/bytediff_create.h"

#include <divsufsort.h>

#include <algorithm>
#include <memory>
#include <new>

#include "create/lzma2_writer.h"
#include "lib/checksum.h"
#include "lib/streams.h"

namespace vtpatch {

namespace {

void SetError(std::string *error, const char *text)
{
    if (error != nullptr) {
        *error = text;
    }
}

// Finds the longest prefix of target that some suffix of old starts with, by binary search in
// the suffix array. The common prefix with both ends of the search range is carried along, so
// the bytes every suffix in between shares with target are never compared twice.
int64_t LongestMatch(const saidx_t *suffixes, const uint8_t *old_data, int64_t old_length, const uint8_t *target,
                     int64_t target_length, int64_t *match_position)
{
    auto common = [&](int64_t suffix, int64_t from) {
        const int64_t limit = std::min(old_length - suffix, target_length);
        int64_t k = from;
        while (k < limit && old_data[suffix + k] == target[k]) {
            ++k;
        }
        return k;
    };
    int64_t low = 0;
    int64_t high = old_length - 1;
    int64_t low_common = common(suffixes[low], 0);
    int64_t high_common = common(suffixes[high], 0);
    while (high - low >= 2) {
        const int64_t middle = low + (high - low) / 2;
        const int64_t suffix = suffixes[middle];
        const int64_t k = common(suffix, std::min(low_common, high_common));
        const int64_t limit = std::min(old_length - suffix, target_length);
        // A suffix that is a prefix of target (or equal to it) sorts at or after it here, as a
        // plain comparison over the shorter length would have it.
        const bool below = k < limit && old_data[suffix + k] < target[k];
        if (below) {
            low = middle;
            low_common = k;
        } else {
            high = middle;
            high_common = k;
        }
    }
    if (low_common > high_common) {
        *match_position = suffixes[low];
        return low_common;
    }
    *match_position = suffixes[high];
    return high_common;
}

// The three blocks of a diff under construction.
struct DiffBlocks {
    WriteStream control;
    WriteStream diff;
    WriteStream extra;
};

bool Match(const uint8_t *old_data, int64_t old_length, const uint8_t *new_data, int64_t new_length,
           const saidx_t *suffixes, DiffBlocks *blocks, const ByteDiffOptions &options)
{
    int64_t scan = 0;
    int64_t length = 0;
    int64_t position = 0;
    int64_t last_scan = 0;
    int64_t last_position = 0;
    int64_t last_offset = 0;
    int64_t next_progress = 0;
    constexpr int64_t kProgressStep = 1 << 20;

    while (scan < new_length) {
        // Look for the next stretch where the best old match beats simply continuing with the
        // current alignment (last_offset) by more than a few bytes.
        int64_t old_score = 0;
        int64_t scored = scan += length;
        for (; scan < new_length; ++scan) {
            length = old_length > 0
                         ? LongestMatch(suffixes, old_data, old_length, new_data + scan, new_length - scan, &position)
                         : 0;
            for (; scored < scan + length; ++scored) {
                const int64_t aligned = scored + last_offset;
                if (aligned >= 0 && aligned < old_length && old_data[aligned] == new_data[scored]) {
                    ++old_score;
                }
            }
            if ((length == old_score && length != 0) || length > old_score + 8) {
                break;
            }
            const int64_t aligned = scan + last_offset;
            if (aligned >= 0 && aligned < old_length && old_data[aligned] == new_data[scan]) {
                --old_score;
            }
        }
        if (options.progress && scan >= next_progress) {
            options.progress(static_cast<uint64_t>(scan), static_cast<uint64_t>(new_length));
            next_progress = scan + kProgressStep;
        }
        if (length == old_score && scan != new_length) {
            continue;
        }

        // Extend the previous match forward and the new one backward as long as at least half
        // of the bytes agree; those bytes become diff bytes, mostly zeros.
        int64_t forward = 0;
        {
            int64_t agree = 0;
            int64_t best = 0;
            for (int64_t i = 0; last_scan + i < scan && last_position + i < old_length;) {
                if (old_data[last_position + i] == new_data[last_scan + i]) {
                    ++agree;
                }
                ++i;
                if (agree * 2 - i > best * 2 - forward) {
                    best = agree;
                    forward = i;
                }
            }
        }
        int64_t backward = 0;
        if (scan < new_length) {
            int64_t agree = 0;
            int64_t best = 0;
            for (int64_t i = 1; scan >= last_scan + i && position >= i; ++i) {
                if (old_data[position - i] == new_data[scan - i]) {
                    ++agree;
                }
                if (agree * 2 - i > best * 2 - backward) {
                    best = agree;
                    backward = i;
                }
            }
        }
        if (last_scan + forward > scan - backward) {
            // The two extensions overlap: split the overlap where the most bytes agree.
            const int64_t overlap = (last_scan + forward) - (scan - backward);
            int64_t agree = 0;
            int64_t best = 0;
            int64_t split = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                if (new_data[last_scan + forward - overlap + i] == old_data[last_position + forward - overlap + i]) {
                    ++agree;
                }
                if (new_data[scan - backward + i] == old_data[position - backward + i]) {
                    --agree;
                }
                if (agree > best) {
                    best = agree;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        const int64_t extra_start = last_scan + forward;
        const int64_t extra_length = (scan - backward) - extra_start;
        const int64_t adjustment = (position - backward) - (last_position + forward);
        bool ok = blocks->control.WriteVarint32Signed(static_cast<int32_t>(forward)) &&
                  blocks->control.WriteVarint32Signed(static_cast<int32_t>(extra_length)) &&
                  blocks->control.WriteVarint32Signed(static_cast<int32_t>(adjustment));
        uint8_t buffer[4096];
        for (int64_t done = 0; ok && done < forward;) {
            const int64_t chunk = std::min<int64_t>(forward - done, sizeof buffer);
            for (int64_t i = 0; i < chunk; ++i) {
                buffer[i] = static_cast<uint8_t>(new_data[last_scan + done + i] - old_data[last_position + done + i]);
            }
            ok = blocks->diff.Write(buffer, static_cast<size_t>(chunk));
            done += chunk;
        }
        ok = ok && blocks->extra.Write(new_data + extra_start, static_cast<size_t>(extra_length));
        if (!ok) {
            return false;
        }

        last_scan = scan - backward;
        last_position = position - backward;
        last_offset = position - scan;
    }
    if (options.progress) {
        options.progress(static_cast<uint64_t>(new_length), static_cast<uint64_t>(new_length));
    }
    return true;
}

// LZMA2 settings for diff data. Diff blocks are mostly zeros with sparse small values, which
// compress best with little literal context and no position context; extra bytes are new
// content (text, code), where the usual literal context pays. The dictionary is capped so that
// applying a big diff does not need a dictionary as big as the file: diff data rarely repeats
// from further back.
Lzma2WriteOptions BlockOptions(const ByteDiffOptions &options, bool mostly_extra)
{
    Lzma2WriteOptions settings;
    settings.preset = options.preset;
    settings.extreme = options.extreme;
    settings.literal_context = mostly_extra ? 3 : 1;
    settings.position_bits = 0;
    settings.max_dictionary = 8u << 20;
    return settings;
}

// The raw layout: the three lengths, then the blocks. Releases the blocks as it copies them.
bool WriteRawPayload(DiffBlocks *blocks, WriteStream *out)
{
    const size_t total = blocks->control.Length() + blocks->diff.Length() + blocks->extra.Length();
    return out->WriteSizeVarint32(blocks->control.Length()) && out->WriteSizeVarint32(blocks->diff.Length()) &&
           out->WriteSizeVarint32(blocks->extra.Length()) && out->Reserve(total) &&
           out->AppendAndRelease(&blocks->control) && out->AppendAndRelease(&blocks->diff) &&
           out->AppendAndRelease(&blocks->extra);
}

} // namespace

bool CreateByteDiff(const uint8_t *old_data, size_t old_length, const uint8_t *new_data, size_t new_length,
                    WriteStream *patch, const ByteDiffOptions &options, std::string *error)
{
    if (old_length > kMaxByteDiffInput || new_length > kMaxByteDiffInput) {
        SetError(error, "input too large for a byte diff (2 GiB at most)");
        return false;
    }
    if (options.method > BYTE_DIFF_LZMA2_PAYLOAD) {
        SetError(error, "unknown byte diff method");
        return false;
    }

    std::unique_ptr<saidx_t[]> suffixes;
    if (old_length > 0) {
        suffixes.reset(new (std::nothrow) saidx_t[old_length]);
        if (!suffixes) {
            SetError(error, "out of memory for the suffix array");
            return false;
        }
        if (divsufsort(old_data, suffixes.get(), static_cast<saidx_t>(old_length)) != 0) {
            SetError(error, "suffix sorting failed");
            return false;
        }
    }

    DiffBlocks blocks;
    if (!Match(old_data, static_cast<int64_t>(old_length), new_data, static_cast<int64_t>(new_length), suffixes.get(),
               &blocks, options)) {
        SetError(error, "out of memory for the diff blocks");
        return false;
    }
    suffixes.reset();

    bool ok = true;
    if (options.standalone) {
        ok = patch->Write(kByteDiffMagic, kByteDiffMagicLength) &&
             patch->WriteVarint32(PatchChecksum(new_length > 0 ? new_data : nullptr, new_length));
    }
    const auto method = static_cast<uint8_t>(options.method);
    ok = ok && patch->Write(&method, 1) && patch->WriteSizeVarint32(new_length);
    if (!ok) {
        SetError(error, "out of memory for the patch");
        return false;
    }

    switch (options.method) {
    case BYTE_DIFF_RAW:
        ok = WriteRawPayload(&blocks, patch);
        break;
    case BYTE_DIFF_LZMA2_BLOCKS:
        ok = WriteLzma2Block(blocks.control.Data(), blocks.control.Length(), patch, BlockOptions(options, false)) &&
             WriteLzma2Block(blocks.diff.Data(), blocks.diff.Length(), patch, BlockOptions(options, false)) &&
             WriteLzma2Block(blocks.extra.Data(), blocks.extra.Length(), patch, BlockOptions(options, true));
        break;
    case BYTE_DIFF_LZMA2_PAYLOAD: {
        const bool mostly_extra = blocks.extra.Length() > blocks.diff.Length();
        WriteStream payload;
        ok = WriteRawPayload(&blocks, &payload) &&
             WriteLzma2Block(payload.Data(), payload.Length(), patch, BlockOptions(options, mostly_extra));
        break;
    }
    }
    if (!ok) {
        SetError(error, "compressing the diff failed (out of memory?)");
        return false;
    }
    return true;
}

} // namespace vtpatch
