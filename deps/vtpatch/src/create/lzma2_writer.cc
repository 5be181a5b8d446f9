#include "create/lzma2_writer.h"

#include <lzma.h>

#include "lib/streams.h"

namespace vtpatch {

bool WriteLzma2Block(const uint8_t *data, size_t length, WriteStream *out, const Lzma2WriteOptions &settings)
{
    if (length > 0xFFFFFFFFu || out->Failed()) {
        return false;
    }
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, settings.preset | (settings.extreme ? LZMA_PRESET_EXTREME : 0)) != 0) {
        return false;
    }
    if (settings.literal_context >= 0) {
        options.lc = static_cast<uint32_t>(settings.literal_context);
    }
    if (settings.position_bits >= 0) {
        options.pb = static_cast<uint32_t>(settings.position_bits);
    }
    if (settings.max_dictionary != 0 && options.dict_size > settings.max_dictionary) {
        options.dict_size = settings.max_dictionary;
    }
    if (options.dict_size > length) {
        options.dict_size = length < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : static_cast<uint32_t>(length);
    }
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t property = 0;
    if (lzma_properties_encode(filters, &property) != LZMA_OK) {
        return false;
    }

    // The .xz bound covers a raw LZMA2 stream of the same data with room to spare.
    const size_t bound = lzma_stream_buffer_bound(length);
    if (bound == 0 || !out->Write(&property, 1) || !out->WriteSizeVarint32(length) || !out->Reserve(bound)) {
        return false;
    }
    size_t produced = 0;
    static const uint8_t kNothing = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, length > 0 ? data : &kNothing, length, out->FreeSpace(), &produced,
                               bound) != LZMA_OK) {
        return false;
    }
    return out->Commit(produced);
}

bool WriteLzma2Block(const uint8_t *data, size_t length, WriteStream *out, uint32_t preset)
{
    Lzma2WriteOptions options;
    options.preset = preset;
    return WriteLzma2Block(data, length, out, options);
}

} // namespace vtpatch
