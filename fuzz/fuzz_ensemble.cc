// Ensemble patch application on arbitrary patches. Input: a 2-byte little-endian old length,
// the old bytes, then the patch. Seeds (fuzz/corpus/fuzz_ensemble/, made by make_seeds.sh) are
// valid patches with their old files, so mutations reach past the checksum into the body.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "lib/ensemble.h"
#include "lib/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SilenceEngineLog();
    OldAndRest input;
    if (!SplitOldAndRest(data, size, &input))
        return 0;
    const vtpatch::ReadStream old(input.old, input.old_length);
    vtpatch::ReadStream patch(input.rest, input.rest_length);
    vtpatch::WriteStream result;
    vtpatch::ApplyEnsemblePatch(old, &patch, &result);
    return 0;
}
