#include "create/lzma2_writer.h"

#include <lzma.h>

#include <algorithm>

#include "lib/streams.h"

namespace vtpatch {

namespace {

// The encoder options for `length` bytes; false if the preset is invalid.
bool EncoderOptions(const Lzma2WriteOptions &settings, size_t length, lzma_options_lzma *options)
{
    if (lzma_lzma_preset(options, settings.preset | (settings.extreme ? LZMA_PRESET_EXTREME : 0)) != 0) {
        return false;
    }
    if (settings.literal_context >= 0) {
        options->lc = static_cast<uint32_t>(settings.literal_context);
    }
    if (settings.position_bits >= 0) {
        options->pb = static_cast<uint32_t>(settings.position_bits);
    }
    if (settings.search_depth >= 0) {
        options->depth = static_cast<uint32_t>(settings.search_depth);
    }
    if (settings.max_dictionary != 0 && options->dict_size > settings.max_dictionary) {
        options->dict_size = settings.max_dictionary;
    }
    if (options->dict_size > length) {
        options->dict_size = length < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : static_cast<uint32_t>(length);
    }
    return true;
}

// Appends the raw LZMA2 stream of the bytes, end marker included.
bool EncodeRaw(const uint8_t *data, size_t length, lzma_options_lzma *options, WriteStream *out)
{
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, options}, {LZMA_VLI_UNKNOWN, nullptr}};
    // The .xz bound covers a raw LZMA2 stream of the same data with room to spare.
    const size_t bound = lzma_stream_buffer_bound(length);
    if (bound == 0 || !out->Reserve(bound)) {
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

bool WriteHeader(uint32_t dictionary, size_t length, WriteStream *out)
{
    lzma_options_lzma options{};
    options.dict_size = dictionary;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint8_t property = 0;
    return lzma_properties_encode(filters, &property) == LZMA_OK && out->Write(&property, 1) &&
           out->WriteSizeVarint32(length);
}

} // namespace

bool WriteLzma2Block(const uint8_t *data, size_t length, WriteStream *out, const Lzma2WriteOptions &settings)
{
    Lzma2Section section;
    section.data = data;
    section.length = length;
    section.options = settings;
    return WriteLzma2BlockSections(&section, 1, out);
}

bool WriteLzma2BlockSections(const Lzma2Section *sections, size_t count, WriteStream *out)
{
    if (out->Failed()) {
        return false;
    }
    uint64_t total = 0;
    uint32_t dictionary = LZMA_DICT_SIZE_MIN;
    for (size_t i = 0; i < count; ++i) {
        lzma_options_lzma options;
        if (!EncoderOptions(sections[i].options, sections[i].length, &options)) {
            return false;
        }
        total += sections[i].length;
        dictionary = std::max(dictionary, options.dict_size);
    }
    if (total > 0xFFFFFFFFu || !WriteHeader(dictionary, static_cast<size_t>(total), out)) {
        return false;
    }
    // Each stream liblzma writes starts with a chunk that resets the dictionary and sets new
    // properties, so the streams can be joined by dropping all end markers but the last.
    bool wrote = false;
    WriteStream pending; // the last stream so far, end marker included
    for (size_t i = 0; i < count; ++i) {
        if (sections[i].length == 0) {
            continue; // an empty stream is only an end marker
        }
        lzma_options_lzma options;
        if (!EncoderOptions(sections[i].options, sections[i].length, &options)) {
            return false;
        }
        if (wrote && (pending.Length() == 0 || pending.Data()[pending.Length() - 1] != 0 ||
                      !out->Write(pending.Data(), pending.Length() - 1))) {
            return false;
        }
        pending.Release();
        if (!EncodeRaw(sections[i].data, sections[i].length, &options, &pending)) {
            return false;
        }
        wrote = true;
    }
    if (wrote) {
        return out->Write(pending.Data(), pending.Length());
    }
    const uint8_t end_marker = 0;
    return out->Write(&end_marker, 1);
}

bool WriteLzma2Block(const uint8_t *data, size_t length, WriteStream *out, uint32_t preset)
{
    Lzma2WriteOptions options;
    options.preset = preset;
    return WriteLzma2Block(data, length, out, options);
}

} // namespace vtpatch
