#ifndef FUZZ_FUZZ_INPUT_H
#define FUZZ_FUZZ_INPUT_H

// What the fuzz targets share: a silent engine log (records cost time and say nothing to a
// fuzzer), and the input layout of the targets that need an old file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/logging.h"

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

#endif // FUZZ_FUZZ_INPUT_H
