// LZMA container unpacking (directives 1 and 2) on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "lib/lzma_container.h"
#include "lib/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SilenceEngineLog();
    vtpatch::WriteStream output;
    vtpatch::UnpackLzmaContainerBytes(data, size, &output);
    return 0;
}
