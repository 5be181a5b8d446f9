#include "create/bytediff_create.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

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

// The length of the common prefix of a and b, known to be at least `from`, at most `limit`.
// Compares blocks, then eight bytes at a time: on long runs of equal bytes (zeros, padding)
// the matcher spends nearly all its time here, and a byte loop made it several times slower.
int64_t CommonPrefix(const uint8_t *a, const uint8_t *b, int64_t from, int64_t limit)
{
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the word compare below assumes little-endian loads");
    int64_t k = from;
    // Long equal runs are skipped in blocks by the library's vectorised memcmp.
    constexpr int64_t kBlock = 256;
    while (k + kBlock <= limit && std::memcmp(a + k, b + k, kBlock) == 0) {
        k += kBlock;
    }
    while (k + 8 <= limit) {
        uint64_t x = 0;
        uint64_t y = 0;
        std::memcpy(&x, a + k, 8);
        std::memcpy(&y, b + k, 8);
        if (x != y) {
            // Little-endian loads: the lowest differing byte is the first one in memory.
            return k + (__builtin_ctzll(x ^ y) >> 3);
        }
        k += 8;
    }
    while (k < limit && a[k] == b[k]) {
        ++k;
    }
    return k;
}

// Finds the longest prefix of target that some suffix of old starts with, by binary search in
// the suffix array. The common prefix with both ends of the search range is carried along, so
// the bytes every suffix in between shares with target are never compared twice.
int64_t LongestMatch(const saidx_t *suffixes, const uint8_t *old_data, int64_t old_length, const uint8_t *target,
                     int64_t target_length, int64_t *match_position)
{
    auto common = [&](int64_t suffix, int64_t from) {
        return CommonPrefix(old_data + suffix, target, from, std::min(old_length - suffix, target_length));
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
        // Plain lexicographic order: a suffix that is a proper prefix of target sorts before it.
        // (Treating it as sorting after, as a comparison over the shorter length does, sends
        // the search to the wrong end when target is a run that old holds longer, say the last
        // zeros of a file: the match found was then 2 bytes long instead of the whole run, and
        // the matcher crawled through the run two bytes per search.)
        const bool below = k < limit ? old_data[suffix + k] < target[k] : old_length - suffix < target_length;
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

bool WriteTriple(DiffBlocks *blocks, int64_t x, int64_t y, int64_t z)
{
    return blocks->control.WriteVarint32Signed(static_cast<int32_t>(x)) &&
           blocks->control.WriteVarint32Signed(static_cast<int32_t>(y)) &&
           blocks->control.WriteVarint32Signed(static_cast<int32_t>(z));
}

// Appends new - old, byte by byte, for count bytes.
bool WriteDiffBytes(WriteStream *diff, const uint8_t *new_bytes, const uint8_t *old_bytes, int64_t count)
{
    uint8_t buffer[4096];
    for (int64_t done = 0; done < count;) {
        const int64_t chunk = std::min<int64_t>(count - done, sizeof buffer);
        for (int64_t i = 0; i < chunk; ++i) {
            buffer[i] = static_cast<uint8_t>(new_bytes[done + i] - old_bytes[done + i]);
        }
        if (!diff->Write(buffer, static_cast<size_t>(chunk))) {
            return false;
        }
        done += chunk;
    }
    return true;
}

// Isolated changes inside a long approximate match (a byte edited here and there in a large
// file) are cheap for bzip2 but dear for LZMA: a non-zero byte in a long run of zeros costs a
// rare literal and a broken-off match length. Cut out of the run as a triple of its own, the
// changed bytes go to the extra block and the diff block stays one unbroken run of zeros; that
// made a 32 MB text with 2000 scattered edits 3% smaller. Only isolated groups are cut: where
// changes are dense (code whose addresses moved) the diff bytes form patterns LZMA models well,
// and cutting at a distance of 64 bytes made such patches 13% larger.
constexpr int64_t kSplitGroupGap = 8;    // mismatches this close belong to one group
constexpr int64_t kSplitMaxGroup = 4;    // longest group that is cut out
constexpr int64_t kSplitIsolation = 256; // unchanged bytes needed on both sides of a group

// Finds the next group of mismatching bytes at or after `from`: [*start, *end).
bool NextMismatchGroup(const uint8_t *new_bytes, const uint8_t *old_bytes, int64_t from, int64_t count, int64_t *start,
                       int64_t *end)
{
    while (from < count && new_bytes[from] == old_bytes[from]) {
        ++from;
    }
    if (from == count) {
        return false;
    }
    int64_t last = from;
    for (int64_t k = from + 1; k < count && k <= last + kSplitGroupGap; ++k) {
        if (new_bytes[k] != old_bytes[k]) {
            last = k;
        }
    }
    *start = from;
    *end = last + 1;
    return true;
}

// Emits the triple (forward, extra_length, adjustment) whose diff part covers `forward` bytes
// from new_bytes/old_bytes, cutting isolated changes out of it as described above.
bool EmitTriple(DiffBlocks *blocks, const uint8_t *new_bytes, const uint8_t *old_bytes, int64_t forward,
                const uint8_t *extra, int64_t extra_length, int64_t adjustment)
{
    int64_t emitted = 0;
    int64_t previous_end = 0;
    int64_t start = 0;
    int64_t end = 0;
    bool have = NextMismatchGroup(new_bytes, old_bytes, 0, forward, &start, &end);
    while (have) {
        int64_t next_start = forward;
        int64_t next_end = forward;
        const bool next = NextMismatchGroup(new_bytes, old_bytes, end, forward, &next_start, &next_end);
        if (end - start <= kSplitMaxGroup && start - previous_end >= kSplitIsolation &&
            next_start - end >= kSplitIsolation) {
            if (!WriteTriple(blocks, start - emitted, end - start, end - start) ||
                !WriteDiffBytes(&blocks->diff, new_bytes + emitted, old_bytes + emitted, start - emitted) ||
                !blocks->extra.Write(new_bytes + start, static_cast<size_t>(end - start))) {
                return false;
            }
            emitted = end;
        }
        previous_end = end;
        start = next_start;
        end = next_end;
        have = next;
    }
    return WriteTriple(blocks, forward - emitted, extra_length, adjustment) &&
           WriteDiffBytes(&blocks->diff, new_bytes + emitted, old_bytes + emitted, forward - emitted) &&
           blocks->extra.Write(extra, static_cast<size_t>(extra_length));
}

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
        if (!EmitTriple(blocks, new_data + last_scan, old_data + last_position, forward, new_data + extra_start,
                        extra_length, adjustment)) {
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

// Payloads up to this size are also compressed as one stream, and the smallest block is kept:
// when the extra bytes are few, their sharing a dictionary with the diff bytes can win, and
// compressing a small payload again costs little.
constexpr size_t kTryOneStreamLimit = 8u << 20;
// Up to this size the one stream is tried with several literal codings: on small patches the
// fixed costs dominate, and a few tries take milliseconds there.
constexpr size_t kTryCodingsLimit = 1u << 20;

} // namespace

bool WriteDiffPayloadBlock(const uint8_t *payload, size_t head_length, size_t diff_length, size_t extra_length,
                           const ByteDiffOptions &options, WriteStream *patch)
{
    Lzma2Section sections[3];
    sections[0].data = payload;
    sections[0].length = head_length;
    sections[1].data = payload + head_length;
    sections[1].length = diff_length;
    sections[2].data = payload + head_length + diff_length;
    sections[2].length = extra_length;
    for (Lzma2Section &section : sections) {
        section.options = BlockOptions(options, false);
    }
    // Varints and near-zero diff bytes: a little literal context; new bytes (text, code): the
    // usual context.
    sections[2].options.literal_context = 3;
    // Diff bytes repeat what is near (the same address shifted the same way); a small
    // dictionary keeps appliers small at no visible cost.
    sections[1].options.max_dictionary = 1u << 20;
    WriteStream best;
    if (!WriteLzma2BlockSections(sections, 3, &best)) {
        return false;
    }

    const size_t length = head_length + diff_length + extra_length;
    std::vector<Lzma2WriteOptions> whole;
    if (length <= kTryCodingsLimit) {
        // The preset's coding (lc 3, pb 2) suits text; diff bytes and machine code often do
        // better with lc 0 or 1 and pb 0.
        static const struct {
            int lc, pb;
        } kLiteralCodings[] = {{-1, -1}, {0, 0}, {1, 0}, {3, 0}, {0, 2}};
        for (const auto &coding : kLiteralCodings) {
            Lzma2WriteOptions settings = BlockOptions(options, false);
            settings.literal_context = coding.lc;
            settings.position_bits = coding.pb;
            whole.push_back(settings);
        }
    } else if (length <= kTryOneStreamLimit) {
        whole.push_back(BlockOptions(options, extra_length > diff_length));
    }
    const Lzma2WriteOptions *best_whole = nullptr;
    for (const Lzma2WriteOptions &settings : whole) {
        WriteStream attempt;
        if (!WriteLzma2Block(payload, length, &attempt, settings)) {
            return false;
        }
        if (attempt.Length() < best.Length()) {
            best = std::move(attempt);
            best_whole = &settings;
        }
    }
    if (best_whole != nullptr && length <= kTryCodingsLimit) {
        // The winning coding once more with the search depth liblzma derives itself: on long
        // runs of zeros with a few changes it found a few percent less than the preset's deeper
        // search, elsewhere it rarely wins; one try is cheap at this size.
        Lzma2WriteOptions settings = *best_whole;
        settings.search_depth = 0;
        WriteStream attempt;
        if (!WriteLzma2Block(payload, length, &attempt, settings)) {
            return false;
        }
        if (attempt.Length() < best.Length()) {
            best = std::move(attempt);
        }
    }
    return patch->AppendAndRelease(&best);
}

namespace {

// Method 2: the raw layout in one LZMA2 block (see WriteDiffPayloadBlock).
bool WritePayloadBlock(DiffBlocks *blocks, const ByteDiffOptions &options, WriteStream *patch)
{
    WriteStream payload;
    if (!payload.WriteSizeVarint32(blocks->control.Length()) || !payload.WriteSizeVarint32(blocks->diff.Length()) ||
        !payload.WriteSizeVarint32(blocks->extra.Length())) {
        return false;
    }
    const size_t head_length = payload.Length() + blocks->control.Length();
    const size_t diff_length = blocks->diff.Length();
    const size_t extra_length = blocks->extra.Length();
    return payload.Reserve(blocks->control.Length() + diff_length + extra_length) &&
           payload.AppendAndRelease(&blocks->control) && payload.AppendAndRelease(&blocks->diff) &&
           payload.AppendAndRelease(&blocks->extra) &&
           WriteDiffPayloadBlock(payload.Data(), head_length, diff_length, extra_length, options, patch);
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
    case BYTE_DIFF_LZMA2_PAYLOAD:
        ok = WritePayloadBlock(&blocks, options, patch);
        break;
    }
    if (!ok) {
        SetError(error, "compressing the diff failed (out of memory?)");
        return false;
    }
    return true;
}

} // namespace vtpatch
