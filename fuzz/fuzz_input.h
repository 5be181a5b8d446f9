#ifndef FUZZ_FUZZ_INPUT_H
#define FUZZ_FUZZ_INPUT_H

// What the fuzz targets share: a silent engine log (records cost time and say nothing to a
// fuzzer), the input layout of the targets that need an old file, and the making of seed corpora
// by the targets themselves (fuzz/make_corpus.sh).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/logging.h"
#include "lib/streams.h"

inline void SilenceEngineLog()
{
    static const bool quiet = (vtpatch::SetLogSink([](vtpatch::LogLevel, const std::string &) {}), true);
    (void)quiet;
}

// An input of a 2-byte little-endian old length, the old bytes, then the rest (a patch, a body).
struct OldAndRest {
    const uint8_t *old = nullptr;
    size_t old_length = 0;
    const uint8_t *rest = nullptr;
    size_t rest_length = 0;
};

// False when the input is too short for the length it states.
inline bool SplitOldAndRest(const uint8_t *data, size_t size, OldAndRest *input)
{
    if (size < 2)
        return false;
    input->old_length = data[0] | (size_t{data[1]} << 8);
    if (input->old_length > size - 2)
        return false;
    input->old = data + 2;
    input->rest = input->old + input->old_length;
    input->rest_length = size - 2 - input->old_length;
    return true;
}

// For LLVMFuzzerInitialize: with VTPATCH_FUZZ_MAKE_CORPUS=DIR set, make(DIR) writes the target's
// seed corpus and the process ends.
inline void MakeCorpusIfAsked(void (*make)(const std::string &directory))
{
    if (const char *directory = std::getenv("VTPATCH_FUZZ_MAKE_CORPUS")) {
        make(directory);
        std::exit(0);
    }
}

// Writes one seed to `path`: the mode byte, then the bytes. Ends the process if it cannot.
inline void WriteSeed(const std::string &path, uint8_t mode, const vtpatch::WriteStream &bytes)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fwrite(&mode, 1, 1, file);
    std::fwrite(bytes.Data(), 1, bytes.Length(), file);
    std::fclose(file);
}

#endif // FUZZ_FUZZ_INPUT_H
