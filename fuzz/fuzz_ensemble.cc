// Ensemble patch application on arbitrary patches. Input: a 2-byte little-endian old length,
// the old bytes, then the patch. Seeds (fuzz/corpus/fuzz_ensemble/, made by make_seeds.sh) are
// valid patches with their old files, so mutations reach past the checksum into the body.
#include <cstddef>
#include <cstdint>

#include "lib/ensemble.h"
#include "lib/logging.h"
#include "lib/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (vtpatch::SetLogSink([](vtpatch::LogLevel, const std::string &) {}), true);
    (void)quiet;
    if (size < 2)
        return 0;
    const size_t old_length = data[0] | (size_t{data[1]} << 8);
    if (old_length > size - 2)
        return 0;
    const vtpatch::ReadStream old(data + 2, old_length);
    vtpatch::ReadStream patch(data + 2 + old_length, size - 2 - old_length);
    vtpatch::WriteStream result;
    vtpatch::ApplyEnsemblePatch(old, &patch, &result);
    return 0;
}
