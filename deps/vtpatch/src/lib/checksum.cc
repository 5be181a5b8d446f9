#include "lib/checksum.h"

#include <lzma.h>

namespace vtpatch {

uint32_t PatchChecksum(const uint8_t *data, size_t length)
{
    // liblzma's CRC-32 is table driven and includes the final exclusive-or, which the patch
    // formats leave out; complementing it gives the register as stored.
    return ~lzma_crc32(data, length, 0);
}

} // namespace vtpatch
