#ifndef VTPATCH_CHECKSUM_H
#define VTPATCH_CHECKSUM_H

#include <cstddef>
#include <cstdint>

namespace vtpatch {

// The checksum every patch format of the engine stores: the bitwise complement of the standard
// CRC-32 (zlib, IEEE 802.3), i.e. the CRC register after the last byte without the final
// exclusive-or. "abc" gives 0xCADBBE3D, an empty range 0xFFFFFFFF. Any thread may call it.
uint32_t PatchChecksum(const uint8_t *data, size_t length);

} // namespace vtpatch

#endif // VTPATCH_CHECKSUM_H
