#include "lib/ensemble.h"

#include <memory>
#include <new>

#include "lib/bytediff.h"
#include "lib/checksum.h"
#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/flat_vector.h"
#include "lib/labeled_program.h"
#include "lib/lzma2_block.h"
#include "lib/mapped_file.h"
#include "lib/streams.h"
#include "lib/vtpatch.h"

namespace vtpatch {

namespace {

constexpr uint32_t kFirstKind = 1;
constexpr uint32_t kLastKind = 7;

// The patchers of one application, in element order. Owns them.
class PatcherList {
public:
    PatcherList() = default;
    ~PatcherList()
    {
        for (size_t i = 0; i < patchers_.size(); ++i)
            delete patchers_[i];
    }
    PatcherList(const PatcherList &) = delete;
    PatcherList &operator=(const PatcherList &) = delete;

    bool Reserve(size_t count) { return patchers_.Reserve(count); }
    bool Add(TransformationPatcher *patcher)
    {
        if (patcher == nullptr)
            return false;
        if (!patchers_.Append(patcher)) {
            delete patcher;
            return false;
        }
        return true;
    }
    size_t size() const { return patchers_.size(); }
    TransformationPatcher *operator[](size_t index) const { return patchers_[index]; }

private:
    FlatVector<TransformationPatcher *, 16> patchers_;
};

// Applies the byte diff at *diff to the linearised `source` set, giving the corrected bytes in
// *storage and a set viewing them in *corrected. Used for the parameters and for the elements.
PatchStatus CorrectSet(WriteStreamSet *source, ReadStream *diff, WriteStream *storage, ReadStreamSet *corrected)
{
    WriteStream linear;
    if (!source->CopyTo(&linear))
        return PATCH_STREAM_ERROR;
    if (!ApplyByteDiff(ReadStream(linear), diff, storage, false))
        return PATCH_DIFF_FAILED;
    linear.Release();
    if (!corrected->Parse(storage->Data(), storage->Length()))
        return PATCH_STREAM_ERROR;
    return PATCH_OK;
}

// The assembled new elements follow the old file in the final input. The header predicts the
// final input's size, but a hostile patch could predict 4 GiB from a few bytes; the reservation
// is limited to what the corrected elements could assemble to (an op byte yields at most 4 image
// bytes plus 8 table bytes), and anything beyond grows the buffer as usual.
size_t ElementsReservation(uint32_t predicted, size_t old_length, size_t elements_length)
{
    const size_t limit = elements_length > (SIZE_MAX - 4096) / 16 ? SIZE_MAX : 16 * elements_length + 4096;
    const size_t wanted = predicted > old_length ? predicted - old_length : 0;
    return wanted < limit ? wanted : limit;
}

// The decoded body, as far as it is kept: streams 0 to 2 (element list and the two small diffs)
// in buffers, and the final diff either applied while it was decoded (`streamed`) or, when it
// is not a plain raw-layout diff, the stream's bytes for ApplyByteDiff (`buffered`).
struct Body {
    WriteStream streams[3];
    bool streamed = false;
    StreamedPayload final_diff;
    WriteStream buffered;
};

// Reads a linearised stream set from the block with ReadStreamSet::Parse's rules and keeps what
// the application needs (Body). The final diff goes straight into *new_bytes; when the old file
// is the whole final input (no elements) its bytes are added at once, otherwise later. Writes no
// record: the caller finishes the block first, so that a fault of the LZMA2 data is reported
// before anything else. Returns PATCH_BAD_HEADER for a set that does not parse or has fewer than
// four streams (as an unparsed set, whose empty element list has no count), PATCH_STREAM_ERROR
// when a buffer cannot be allocated, else PATCH_OK (also when the block data fails).
PatchStatus ReadBody(Lzma2BlockReader *reader, const uint8_t *old_start, size_t old_length, Body *body,
                     WriteStream *new_bytes)
{
    Lzma2BlockRange set(reader, reader->Length());
    uint32_t magic = 0;
    size_t magic_bytes = 0;
    uint32_t count = 0;
    // The first three bytes of the magic carry the continuation bit in any accepted encoding.
    if (!set.ReadVarint32(&magic, &magic_bytes) || magic != kStreamSetMagic || magic_bytes < 4 ||
        !set.ReadVarint32(&count) || count > ReadStreamSet::kMaxStreams) {
        return PATCH_BAD_HEADER;
    }
    uint32_t lengths[ReadStreamSet::kMaxStreams] = {};
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!set.ReadVarint32(&lengths[i]))
            return PATCH_BAD_HEADER;
        total += lengths[i];
    }
    if (total != set.Remaining() || count < kEnsembleBodyStreams)
        return PATCH_BAD_HEADER;

    for (size_t i = 0; i < 3; ++i) {
        if (!set.ReadInto(lengths[i], &body->streams[i]))
            return body->streams[i].Failed() ? PATCH_STREAM_ERROR : PATCH_OK;
    }

    // The final diff. Its old input is the old file alone when the element list starts with a
    // count of 0; any other list either fails or appends elements, which are assembled later.
    Lzma2BlockRange final_diff(reader, lengths[3]);
    uint8_t method = 0;
    uint32_t new_size = 0;
    if (!final_diff.Read(&method, 1))
        return PATCH_OK; // an empty buffered stream: the diff fails for want of a method
    if (method == BYTE_DIFF_RAW && final_diff.ReadVarint32(&new_size)) {
        ReadStream element_list(body->streams[0]);
        uint32_t elements = 0;
        const bool old_alone = element_list.ReadVarint32(&elements) && elements == 0;
        const ByteDiffOld old(old_start, old_length);
        body->streamed = true;
        body->final_diff.Decode(&final_diff, old_alone ? &old : nullptr, new_bytes, new_size);
        return PATCH_OK;
    }
    // Methods 1 and 2 hold nested LZMA2 blocks, which ApplyByteDiff decodes itself. An unknown
    // method, or a raw diff whose new size does not parse, fails in ApplyByteDiff's words from
    // the method byte alone.
    if (!body->buffered.Write(&method, 1))
        return PATCH_STREAM_ERROR;
    if (method == BYTE_DIFF_LZMA2_BLOCKS || method == BYTE_DIFF_LZMA2_PAYLOAD) {
        if (!final_diff.ReadInto(final_diff.Remaining(), &body->buffered))
            return body->buffered.Failed() ? PATCH_STREAM_ERROR : PATCH_OK;
    }
    return PATCH_OK;
}

} // namespace

PatchStatus ReadEnsembleHeader(ReadStream *patch, EnsembleHeader *header)
{
    uint32_t value = 0;
    if (!patch->ReadVarint32(&value) || value != kEnsembleMagic)
        return PATCH_BAD_MAGIC;
    if (!patch->ReadVarint32(&value) || value != kEnsembleVersion)
        return PATCH_BAD_VERSION;
    if (!patch->ReadVarint32(&header->source_checksum) || !patch->ReadVarint32(&header->target_checksum) ||
        !patch->ReadVarint32(&header->final_input_size))
        return PATCH_BAD_HEADER;
    return PATCH_OK;
}

PatchStatus ApplyEnsemblePatch(const ReadStream &old, ReadStream *patch, WriteStream *new_bytes)
{
    EnsembleHeader header;
    PatchStatus status = ReadEnsembleHeader(patch, &header);
    if (status != PATCH_OK)
        return status;
    const uint8_t *old_start = old.Position();
    const size_t old_length = old.Remaining();
    if (PatchChecksum(old_start, old_length) != header.source_checksum)
        return PATCH_CRC_MISMATCH;

    // The body is decoded once, from start to end, before any of it is used: the streams the
    // elements need are kept, the final diff goes straight into the new bytes, the rest is
    // dropped. Only then is the first record written, so a fault anywhere in the LZMA2 data is
    // reported alone (status 20), as if the body had been decoded whole first.
    Body body;
    {
        Lzma2BlockReader reader;
        if (!reader.Begin(*patch))
            return PATCH_STREAM_ERROR;
        status = ReadBody(&reader, old_start, old_length, &body, new_bytes);
        if (!reader.Finish(patch))
            return PATCH_STREAM_ERROR;
        if (status != PATCH_OK)
            return status;
    }

    // Element list.
    ReadStream element_list(body.streams[0]);
    uint32_t count = 0;
    if (!element_list.ReadVarint32(&count) || count > element_list.Remaining())
        return PATCH_BAD_HEADER;
    PatcherList patchers;
    if (!patchers.Reserve(count))
        return PATCH_STREAM_ERROR;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!element_list.ReadVarint32(&kind) || kind < kFirstKind || kind > kLastKind)
            return PATCH_BAD_HEADER;
        if (!patchers.Add(new (std::nothrow) PatcherX86_32(old_start, old_length)))
            return PATCH_STREAM_ERROR;
    }
    for (size_t i = 0; i < patchers.size(); ++i) {
        status = patchers[i]->ReadElementRange(&element_list);
        if (status != PATCH_OK)
            return status;
    }
    if (!element_list.IsConsumed())
        return PATCH_BAD_HEADER;

    // Parameters: predicted, then corrected by body stream 1.
    WriteStream parameter_storage;
    ReadStreamSet parameters;
    {
        WriteStreamSet predicted;
        for (size_t i = 0; i < patchers.size(); ++i) {
            WriteStreamSet element_parameters;
            status = patchers[i]->PredictParameters(&element_parameters);
            if (status != PATCH_OK)
                return status;
            if (!predicted.WriteSet(&element_parameters))
                return PATCH_STREAM_ERROR;
        }
        ReadStream diff(body.streams[1]);
        status = CorrectSet(&predicted, &diff, &parameter_storage, &parameters);
        if (status != PATCH_OK)
            return status;
    }

    // Elements: transformed down, then corrected by body stream 2.
    WriteStream element_storage;
    ReadStreamSet elements;
    {
        WriteStreamSet transformed;
        for (size_t i = 0; i < patchers.size(); ++i) {
            ReadStreamSet element_parameters;
            if (!parameters.ReadSet(&element_parameters))
                return PATCH_STREAM_ERROR;
            WriteStreamSet element_transformed;
            status = patchers[i]->TransformElement(&element_parameters, &element_transformed);
            if (status != PATCH_OK)
                return status;
            if (!element_parameters.IsConsumed())
                return PATCH_STREAM_NOT_CONSUMED;
            if (!transformed.WriteSet(&element_transformed))
                return PATCH_STREAM_ERROR;
        }
        if (!parameters.IsConsumed())
            return PATCH_STREAM_NOT_CONSUMED;
        ReadStream diff(body.streams[2]);
        status = CorrectSet(&transformed, &diff, &element_storage, &elements);
        if (status != PATCH_OK)
            return status;
    }

    // Final input: the old file, read in place, followed by each element reformed from its
    // corrected encoded form. Without elements it is the old file alone.
    WriteStream assembled;
    if (patchers.size() > 0 &&
        !assembled.Reserve(ElementsReservation(header.final_input_size, old_length, element_storage.Length())))
        return PATCH_STREAM_ERROR;
    for (size_t i = 0; i < patchers.size(); ++i) {
        ReadStreamSet element;
        if (!elements.ReadSet(&element))
            return PATCH_STREAM_ERROR;
        status = patchers[i]->ReformElement(&element, &assembled);
        if (status != PATCH_OK)
            return status;
        if (!element.IsConsumed())
            return PATCH_STREAM_NOT_CONSUMED;
    }
    if (!elements.IsConsumed())
        return PATCH_STREAM_NOT_CONSUMED;
    elements = ReadStreamSet();
    element_storage.Release();

    const ByteDiffOld final_old(old_start, old_length, assembled.Data(), assembled.Length());
    bool applied = false;
    if (body.streamed) {
        applied = body.final_diff.Complete(final_old, new_bytes);
    } else {
        ReadStream diff(body.buffered);
        applied = ApplyByteDiff(final_old, &diff, new_bytes, false);
    }
    if (!applied)
        return PATCH_DIFF_FAILED;
    if (PatchChecksum(new_bytes->Data(), new_bytes->Length()) != header.target_checksum)
        return PATCH_CRC_MISMATCH;
    return PATCH_OK;
}

PatchStatus PatcherX86_32::ReadElementRange(ReadStream *element_list)
{
    if (!element_list->ReadVarint32(&element_offset_) || !element_list->ReadVarint32(&element_length_))
        return PATCH_BAD_ELEMENT;
    if (element_offset_ > old_length_ || element_length_ > old_length_ - element_offset_)
        return PATCH_BAD_ELEMENT;
    return PATCH_OK;
}

PatchStatus PatcherX86_32::PredictParameters(WriteStreamSet *)
{
    return PATCH_OK;
}

PatchStatus PatcherX86_32::TransformElement(ReadStreamSet *parameters, WriteStreamSet *transformed)
{
    if (!parameters->IsConsumed())
        return PATCH_DIFF_FAILED; // this transformation takes no parameters
    std::unique_ptr<EncodedProgram> encoded;
    {
        std::unique_ptr<LabeledProgram> program;
        const PatchStatus status = ParseDetectedExecutable(old_start_ + element_offset_, element_length_, &program);
        if (status != PATCH_OK)
            return status;
        if (!program)
            return PATCH_DISASSEMBLY_ERROR;
        if (!program->TrimLabels())
            return PATCH_TRIM_ERROR;
        if (!program->Encode(&encoded) || !encoded)
            return PATCH_DIFF_FAILED;
    }
    return WriteEncodedProgram(*encoded, transformed);
}

PatchStatus PatcherX86_32::ReformElement(ReadStreamSet *element, WriteStream *final_input)
{
    std::unique_ptr<EncodedProgram> program;
    const PatchStatus status = ReadEncodedProgram(element, &program);
    if (status != PATCH_OK)
        return status;
    return AssembleEncodedProgram(program.get(), final_input);
}

int ApplyEnsemblePatchToFiles(const std::string &old_path, const std::string &patch_path, const std::string &new_path)
{
    WriteStream new_bytes;
    {
        MappedFile patch_file(patch_path);
        if (!patch_file.valid())
            return PATCH_READ_ERROR;
        ReadStream patch(patch_file.data(), patch_file.length());
        EnsembleHeader header;
        const PatchStatus status = ReadEnsembleHeader(&patch, &header);
        if (status != PATCH_OK)
            return status;
        MappedFile old_file(old_path);
        if (!old_file.valid())
            return PATCH_OLD_FILE_ERROR;
        patch.Init(patch_file.data(), patch_file.length());
        const PatchStatus applied =
            ApplyEnsemblePatch(ReadStream(old_file.data(), old_file.length()), &patch, &new_bytes);
        if (applied != PATCH_OK)
            return applied;
    } // both mappings are closed before the new file is written
    if (!WriteWholeFile(new_path, new_bytes.Data(), new_bytes.Length()))
        return PATCH_OLD_FILE_ERROR;
    return PATCH_OK;
}

} // namespace vtpatch
