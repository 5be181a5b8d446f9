// ApplyByteDiff on arbitrary patch bytes. Input: one mode byte, then the patch.
//   mode bit 0:    standalone framing ("VTDIFF10" and checksum) expected
//   mode bits 1-7: old length in steps of 64 bytes (0 to 8128) from a fixed pseudo-random text
// With VTPATCH_FUZZ_MAKE_CORPUS=DIR set, the target writes its seed corpus of valid diffs to DIR
// and exits (fuzz/make_corpus.sh).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "create/bytediff_create.h"
#include "fuzz_input.h"
#include "lib/bytediff.h"
#include "lib/checksum.h"
#include "lib/streams.h"

namespace {

constexpr size_t kOldStep = 64;
constexpr size_t kMaxOld = 127 * kOldStep;

// Text-like old bytes with repeats, so that seeds have real matches to work with.
const std::vector<uint8_t> &OldBytes()
{
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> data;
        uint32_t state = 12345;
        static const char *const kWords[] = {
            "patch ",  "stream ", "update ", "\x00\x00\x00\x00", "vantorel ", "\x48\x8b\x05", "\xe8\x10\x00\x00\x00",
            "engine\n"};
        while (data.size() < kMaxOld) {
            state = state * 1103515245u + 12345u;
            const char *word = kWords[(state >> 16) % 8];
            const size_t length = (state >> 16) % 8 == 3 ? 4 : std::char_traits<char>::length(word);
            data.insert(data.end(), word, word + length);
            data.push_back(static_cast<uint8_t>(state >> 24));
        }
        data.resize(kMaxOld);
        return data;
    }();
    return bytes;
}

void MakeCorpus(const std::string &directory)
{
    const std::vector<uint8_t> &old = OldBytes();
    int index = 0;
    for (size_t old_steps : {size_t{0}, size_t{4}, size_t{32}, size_t{127}}) {
        const size_t old_length = old_steps * kOldStep;
        std::vector<std::vector<uint8_t>> versions;
        versions.emplace_back();                                      // empty new
        versions.emplace_back(old.begin(), old.begin() + old_length); // identical
        std::vector<uint8_t> edited(old.begin(), old.begin() + old_length);
        for (size_t i = 7; i < edited.size(); i += 301) {
            edited[i] = static_cast<uint8_t>(edited[i] + 3);
        }
        edited.insert(edited.begin() + static_cast<long>(edited.size() / 2), {'n', 'e', 'w', 0xFF, 0x00});
        versions.push_back(edited);
        for (const auto &version : versions) {
            for (vtpatch::ByteDiffMethod method :
                 {vtpatch::BYTE_DIFF_RAW, vtpatch::BYTE_DIFF_LZMA2_BLOCKS, vtpatch::BYTE_DIFF_LZMA2_PAYLOAD}) {
                for (bool standalone : {false, true}) {
                    vtpatch::ByteDiffOptions options;
                    options.method = method;
                    options.standalone = standalone;
                    options.preset = 1;
                    vtpatch::WriteStream patch;
                    if (!vtpatch::CreateByteDiff(old.data(), old_length, version.data(), version.size(), &patch,
                                                 options)) {
                        std::fprintf(stderr, "could not make a seed\n");
                        std::exit(1);
                    }
                    WriteSeed(directory + "/seed-" + std::to_string(index++),
                              static_cast<uint8_t>((old_steps << 1) | (standalone ? 1 : 0)), patch);
                }
            }
        }
    }
    std::printf("%d seeds written to %s\n", index, directory.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    MakeCorpusIfAsked(MakeCorpus);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const bool standalone = (data[0] & 1) != 0;
    const size_t old_length = (data[0] >> 1) * kOldStep;
    // The old bytes are copied into an exactly sized buffer so that any read past them is seen.
    const std::vector<uint8_t> old(OldBytes().begin(), OldBytes().begin() + static_cast<long>(old_length));

    vtpatch::ReadStream old_stream(old.data(), old.size());
    vtpatch::ReadStream patch(data + 1, size - 1);
    vtpatch::WriteStream output;
    const bool ok = vtpatch::ApplyByteDiff(old_stream, &patch, &output, standalone);
    if (old_stream.Remaining() != old.size()) {
        __builtin_trap(); // the old stream is never advanced
    }
    if (ok && standalone) {
        // Success in the standalone framing means the output carries the stated checksum.
        vtpatch::ReadStream header(data + 1 + 8, size - 1 - 8);
        uint32_t checksum = 0;
        if (!header.ReadVarint32(&checksum) ||
            vtpatch::PatchChecksum(output.Length() > 0 ? output.Data() : nullptr, output.Length()) != checksum) {
            __builtin_trap();
        }
    }
    return 0;
}
