// Ensemble patch application on arbitrary decoded bodies: the input's body is wrapped into a
// valid LZMA2 block (stored chunks, no encoder to run) behind a header that matches the old file,
// so mutations reach the stream set, the element list, the element diffs and the final diff
// instead of mostly breaking the compressed data (fuzz_ensemble covers that). Input: a 2-byte
// little-endian old length, the old bytes, then the decoded body. Seeds (fuzz/corpus/fuzz_ensemble_body/, made by make_seeds.sh)
// are the bodies of valid patches with their old files.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "lib/checksum.h"
#include "lib/ensemble.h"
#include "lib/streams.h"

namespace {

// An LZMA2 block of stored chunks: property byte, length, chunks of at most 64 KiB (control 1
// resets the dictionary, 2 keeps it; then the size - 1, big-endian), end marker.
void WriteStoredBlock(const uint8_t *data, size_t length, vtpatch::WriteStream *out)
{
    const uint8_t property = 16; // 1 MiB; the reader caps it at the block's length
    out->Write(&property, 1);
    out->WriteSizeVarint32(length);
    for (size_t done = 0; done < length;) {
        const size_t chunk = length - done < 65536 ? length - done : 65536;
        const uint8_t header[3] = {static_cast<uint8_t>(done == 0 ? 1 : 2), static_cast<uint8_t>((chunk - 1) >> 8),
                                   static_cast<uint8_t>(chunk - 1)};
        out->Write(header, sizeof header);
        out->Write(data + done, chunk);
        done += chunk;
    }
    const uint8_t end = 0;
    out->Write(&end, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SilenceEngineLog();
    OldAndRest input;
    if (!SplitOldAndRest(data, size, &input))
        return 0;
    vtpatch::WriteStream patch;
    patch.WriteVarint32(vtpatch::kEnsembleMagic);
    patch.WriteVarint32(vtpatch::kEnsembleVersion);
    patch.WriteVarint32(vtpatch::PatchChecksum(input.old, input.old_length));
    patch.WriteVarint32(0); // the target checksum: only the last check depends on it
    patch.WriteSizeVarint32(input.old_length + input.rest_length);
    WriteStoredBlock(input.rest, input.rest_length, &patch);

    vtpatch::ReadStream patch_stream(patch);
    vtpatch::WriteStream result;
    vtpatch::ApplyEnsemblePatch(vtpatch::ReadStream(input.old, input.old_length), &patch_stream, &result);
    return 0;
}
