#include "lib/checksum.h"

#include <zlib.h>

namespace vtpatch {

uint32_t PatchChecksum(const uint8_t *data, size_t length)
{
    // zlib's CRC-32 includes the final exclusive-or, which the patch formats leave out;
    // complementing it gives the register as stored. zlib rather than liblzma: an applier
    // checksums the whole old and new file, and zlib's is about twice as fast on large files.
    return ~static_cast<uint32_t>(crc32_z(0, data, length));
}

} // namespace vtpatch
