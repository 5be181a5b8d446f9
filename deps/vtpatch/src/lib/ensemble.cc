#include "lib/ensemble.h"

#include <memory>
#include <new>

#include "lib/bytediff.h"
#include "lib/checksum.h"
#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/flat_vector.h"
#include "lib/labeled_program.h"
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

// The final input holds the old file and the assembled new elements. The header predicts its
// size, but a hostile patch could predict 4 GiB from a few bytes; the reservation is limited to
// what the corrected elements could assemble to (an op byte yields at most 4 image bytes plus 8
// table bytes), and anything beyond grows the buffer as usual.
size_t FinalInputReservation(uint32_t predicted, size_t old_length, size_t elements_length)
{
    const size_t limit_elements = elements_length > (SIZE_MAX - old_length - 4096) / 16
                                      ? SIZE_MAX - old_length
                                      : 16 * elements_length + 4096;
    const size_t limit = old_length + limit_elements;
    return predicted < limit ? predicted : limit;
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

    WriteStream body;
    if (!patch->ReadLzma2Block(&body))
        return PATCH_STREAM_ERROR;
    ReadStreamSet body_set;
    // A body that does not parse leaves every stream empty, so reading the count fails below.
    if (body_set.Parse(body.Data(), body.Length()) && body_set.Count() < kEnsembleBodyStreams)
        return PATCH_BAD_HEADER;

    // Element list.
    ReadStream &element_list = body_set.stream(0);
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
        status = CorrectSet(&predicted, &body_set.stream(1), &parameter_storage, &parameters);
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
        status = CorrectSet(&transformed, &body_set.stream(2), &element_storage, &elements);
        if (status != PATCH_OK)
            return status;
    }

    // Final input: the old file, then each element reformed from its corrected encoded form.
    // Without elements it is the old file itself, which is then read in place rather than
    // copied: the same bytes, without a second old-sized buffer.
    WriteStream final_input;
    if (patchers.size() > 0) {
        if (!final_input.Reserve(
                FinalInputReservation(header.final_input_size, old_length, element_storage.Length())) ||
            !final_input.Write(old_start, old_length))
            return PATCH_STREAM_ERROR;
    }
    for (size_t i = 0; i < patchers.size(); ++i) {
        ReadStreamSet element;
        if (!elements.ReadSet(&element))
            return PATCH_STREAM_ERROR;
        status = patchers[i]->ReformElement(&element, &final_input);
        if (status != PATCH_OK)
            return status;
        if (!element.IsConsumed())
            return PATCH_STREAM_NOT_CONSUMED;
    }
    if (!elements.IsConsumed())
        return PATCH_STREAM_NOT_CONSUMED;
    elements = ReadStreamSet();
    element_storage.Release();

    const ReadStream final_old = patchers.size() > 0 ? ReadStream(final_input) : ReadStream(old_start, old_length);
    if (!ApplyByteDiff(final_old, &body_set.stream(3), new_bytes, false))
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
