#include "create/ensemble_create.h"

#include <memory>

#include "create/bytediff_create.h"
#include "create/lzma2_writer.h"
#include "create/program_writer.h"
#include "lib/checksum.h"
#include "lib/encoded_program.h"
#include "lib/ensemble.h"
#include "lib/streams.h"

namespace vtpatch {

namespace {

bool Fail(std::string *error, const char *text)
{
    if (error != nullptr)
        *error = text;
    return false;
}

// Byte diffs inside the body stay uncompressed: the whole body is one LZMA2 block.
bool RawDiff(const WriteStream &from, const WriteStream &to, WriteStream *out, const EnsembleOptions &options,
             std::string *error, bool with_progress)
{
    ByteDiffOptions diff_options;
    diff_options.method = BYTE_DIFF_RAW;
    if (with_progress)
        diff_options.progress = options.progress;
    return CreateByteDiff(from.Data(), from.Length(), to.Data(), to.Length(), out, diff_options, error);
}

} // namespace

bool CreateEnsemblePatchWithElements(const uint8_t *old_data, size_t old_length, const uint8_t *new_data,
                                     size_t new_length, const std::vector<EnsembleElementPair> &elements,
                                     WriteStream *patch, const EnsembleOptions &options, std::string *error)
{
    if (old_length > kMaxByteDiffInput || new_length > kMaxByteDiffInput)
        return Fail(error, "file too large for a patch (2 GiB at most)");
    if (elements.size() > UINT32_MAX)
        return Fail(error, "too many elements");

    WriteStreamSet body;
    // Stream 0: the element list, all kinds first, then the ranges.
    WriteStream &list = body.stream(0);
    bool ok = list.WriteSizeVarint32(elements.size());
    for (const EnsembleElementPair &element : elements)
        ok = ok && list.WriteVarint32(static_cast<uint32_t>(element.kind));
    for (const EnsembleElementPair &element : elements) {
        if (element.kind < 1 || element.kind > 7 || element.old_program == nullptr || element.new_program == nullptr)
            return Fail(error, "invalid element");
        if (element.old_offset > old_length || element.old_length > old_length - element.old_offset)
            return Fail(error, "element outside the old file");
        ok = ok && list.WriteVarint32(element.old_offset) && list.WriteVarint32(element.old_length);
    }
    if (!ok)
        return Fail(error, "out of memory for the element list");

    // Stream 1: no transformation takes parameters, so predicted and corrected are the same.
    {
        WriteStreamSet parameters;
        for (size_t i = 0; i < elements.size(); ++i) {
            WriteStreamSet none;
            if (!parameters.WriteSet(&none))
                return Fail(error, "out of memory for the parameters");
        }
        WriteStream linear;
        if (!parameters.CopyTo(&linear) || !RawDiff(linear, linear, &body.stream(1), options, error, false))
            return Fail(error, "out of memory for the parameters");
    }

    // Stream 2: old encoded programs -> new encoded programs. Stream 3's old input is built on
    // the way: the old file, then each new program assembled.
    WriteStream final_input;
    if (!final_input.Reserve(old_length) || !final_input.Write(old_data, old_length))
        return Fail(error, "out of memory for the final input");
    {
        WriteStreamSet old_side, new_side;
        for (const EnsembleElementPair &element : elements) {
            WriteStreamSet old_streams, new_streams;
            if (WriteEncodedProgram(*element.old_program, &old_streams) != PATCH_OK ||
                WriteEncodedProgram(*element.new_program, &new_streams) != PATCH_OK ||
                !old_side.WriteSet(&old_streams) || !new_side.WriteSet(&new_streams))
                return Fail(error, "out of memory for the encoded programs");
            if (AssembleEncodedProgram(element.new_program, &final_input) != PATCH_OK)
                return Fail(error, "a new element's program does not assemble");
        }
        WriteStream old_linear, new_linear;
        if (!old_side.CopyTo(&old_linear) || !new_side.CopyTo(&new_linear))
            return Fail(error, "out of memory for the encoded programs");
        if (!RawDiff(old_linear, new_linear, &body.stream(2), options, error, false))
            return false;
    }
    if (final_input.Length() > UINT32_MAX)
        return Fail(error, "old file and new elements too large for a patch");

    // Stream 3: final input -> new file.
    {
        ByteDiffOptions diff_options;
        diff_options.method = BYTE_DIFF_RAW;
        diff_options.progress = options.progress;
        if (!CreateByteDiff(final_input.Data(), final_input.Length(), new_data, new_length, &body.stream(3),
                            diff_options, error))
            return false;
    }
    const uint32_t final_input_size = static_cast<uint32_t>(final_input.Length());
    final_input.Release();

    WriteStream linear_body;
    if (!body.CopyTo(&linear_body))
        return Fail(error, "out of memory for the patch body");
    ok = patch->WriteVarint32(kEnsembleMagic) && patch->WriteVarint32(kEnsembleVersion) &&
         patch->WriteVarint32(PatchChecksum(old_data, old_length)) &&
         patch->WriteVarint32(PatchChecksum(new_data, new_length)) && patch->WriteVarint32(final_input_size) &&
         WriteLzma2Block(linear_body.Data(), linear_body.Length(), patch, options.preset);
    return ok || Fail(error, "could not compress the patch body");
}

bool CreateEnsemblePatch(const uint8_t *old_data, size_t old_length, const uint8_t *new_data, size_t new_length,
                         WriteStream *patch, const EnsembleOptions &options, std::string *error,
                         size_t *element_count)
{
    std::vector<EnsembleElementPair> elements;
    std::unique_ptr<EncodedProgram> old_program, new_program;
    if (options.find_elements && old_length > 0 && new_length > 0 && old_length <= UINT32_MAX) {
        int old_kind = 0, new_kind = 0;
        if (EncodeExecutable(old_data, old_length, &old_program, &old_kind) == PATCH_OK &&
            EncodeExecutable(new_data, new_length, &new_program, &new_kind) == PATCH_OK && old_kind == new_kind) {
            EnsembleElementPair pair;
            pair.kind = old_kind;
            pair.old_offset = 0;
            pair.old_length = static_cast<uint32_t>(old_length);
            pair.old_program = old_program.get();
            pair.new_program = new_program.get();
            elements.push_back(pair);
        }
    }
    if (!elements.empty() && options.keep_smaller) {
        WriteStream with_elements, plain;
        if (!CreateEnsemblePatchWithElements(old_data, old_length, new_data, new_length, elements, &with_elements,
                                             options, error) ||
            !CreateEnsemblePatchWithElements(old_data, old_length, new_data, new_length, {}, &plain, options, error))
            return false;
        const bool use_elements = with_elements.Length() < plain.Length();
        if (element_count != nullptr)
            *element_count = use_elements ? elements.size() : 0;
        return patch->AppendAndRelease(use_elements ? &with_elements : &plain) || Fail(error, "out of memory");
    }
    if (element_count != nullptr)
        *element_count = elements.size();
    return CreateEnsemblePatchWithElements(old_data, old_length, new_data, new_length, elements, patch, options,
                                           error);
}

} // namespace vtpatch
