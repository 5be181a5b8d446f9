#include "create/ensemble_create.h"

#include <cstring>
#include <memory>

#include "create/bytediff_create.h"
#include "create/element_finder.h"
#include "create/label_alignment.h"
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

// Appends the body as the patch's one LZMA2 block. The final diff (stream 3, last in the body)
// is raw, so the body ends with its diff bytes and extra bytes: they are compressed as sections
// of their own, as a byte diff's are, with everything before them as the head.
bool WriteBody(const WriteStream &body, const WriteStream &final_diff, uint32_t preset, WriteStream *patch)
{
    // The final diff: method byte, new size, the three block lengths, then the blocks.
    ReadStream diff(final_diff);
    uint8_t method = 0;
    uint32_t new_size = 0, control_length = 0, diff_length = 0, extra_length = 0;
    if (!diff.Read(&method, 1) || !diff.ReadVarint32(&new_size) || !diff.ReadVarint32(&control_length) ||
        !diff.ReadVarint32(&diff_length) || !diff.ReadVarint32(&extra_length) ||
        diff.Remaining() != uint64_t{control_length} + diff_length + extra_length)
        return false;
    ByteDiffOptions options;
    options.preset = preset;
    const size_t head_length = body.Length() - diff_length - extra_length;
    return WriteDiffPayloadBlock(body.Data(), head_length, diff_length, extra_length, options, patch);
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

    // Four streams are all an applier reads; listing ten would only add empty lengths.
    WriteStream linear_body;
    const WriteStream *const body_streams[kEnsembleBodyStreams] = {&body.stream(0), &body.stream(1), &body.stream(2),
                                                                   &body.stream(3)};
    if (!WriteStreamSetOfCount(body_streams, kEnsembleBodyStreams, &linear_body))
        return Fail(error, "out of memory for the patch body");
    ok = patch->WriteVarint32(kEnsembleMagic) && patch->WriteVarint32(kEnsembleVersion) &&
         patch->WriteVarint32(PatchChecksum(old_data, old_length)) &&
         patch->WriteVarint32(PatchChecksum(new_data, new_length)) && patch->WriteVarint32(final_input_size) &&
         WriteBody(linear_body, body.stream(3), options.preset, patch);
    return ok || Fail(error, "could not compress the patch body");
}

namespace {

// The elements of one candidate: the old programs are shared by all candidates, the new ones
// are the candidate's own (making a patch assembles them).
struct Candidate {
    std::vector<std::unique_ptr<EncodedProgram>> new_programs;
    std::vector<EnsembleElementPair> elements;
};

// Whether two programs are written as the same bytes.
bool SamePrograms(const std::vector<std::unique_ptr<EncodedProgram>> &a,
                  const std::vector<std::unique_ptr<EncodedProgram>> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        WriteStream x, y;
        if (!WriteLinearEncodedProgram(*a[i], &x) || !WriteLinearEncodedProgram(*b[i], &y) ||
            x.Length() != y.Length() || std::memcmp(x.Data(), y.Data(), x.Length()) != 0)
            return false;
    }
    return true;
}

} // namespace

bool CreateEnsemblePatch(const uint8_t *old_data, size_t old_length, const uint8_t *new_data, size_t new_length,
                         WriteStream *patch, const EnsembleOptions &options, std::string *error,
                         size_t *element_count, EnsembleChoice *choice)
{
    if (old_length > kMaxByteDiffInput || new_length > kMaxByteDiffInput)
        return Fail(error, "file too large for a patch (2 GiB at most)");

    // The elements: pairs of executables of one kind, each encoded on the old side as an applier
    // will, and on the new side in both numberings.
    std::vector<std::unique_ptr<EncodedProgram>> old_programs;
    Candidate plain_numbering, aligned_numbering;
    bool aligned_possible = options.align_labels;
    if (options.find_elements && old_length > 0 && new_length > 0) {
        const std::vector<ExecutableElement> old_found = FindExecutables(old_data, old_length);
        const std::vector<ExecutableElement> new_found = old_found.empty()
                                                             ? std::vector<ExecutableElement>()
                                                             : FindExecutables(new_data, new_length);
        for (const auto &pair : PairElements(old_found, new_found)) {
            const ExecutableElement &o = old_found[pair.first];
            const ExecutableElement &n = new_found[pair.second];
            std::unique_ptr<EncodedProgram> old_program, new_plain, new_aligned;
            int old_kind = 0, plain_kind = 0, aligned_kind = 0;
            // FindExecutables checked every range; a pair that still fails is left to the byte diff.
            if (EncodeExecutable(old_data + o.offset, o.length, &old_program, &old_kind) != PATCH_OK ||
                EncodeExecutable(new_data + n.offset, n.length, &new_plain, &plain_kind) != PATCH_OK ||
                old_kind != o.kind || plain_kind != o.kind)
                continue;
            // Should the aligned numbering fail for one pair, that candidate is dropped as a whole.
            if (aligned_possible &&
                (EncodeAlignedExecutable(old_data + o.offset, o.length, new_data + n.offset, n.length,
                                         &new_aligned, &aligned_kind) != PATCH_OK ||
                 aligned_kind != o.kind))
                aligned_possible = false;
            EnsembleElementPair element;
            element.kind = o.kind;
            element.old_offset = o.offset;
            element.old_length = o.length;
            element.old_program = old_program.get();
            element.new_program = new_plain.get();
            plain_numbering.elements.push_back(element);
            plain_numbering.new_programs.push_back(std::move(new_plain));
            if (aligned_possible) {
                element.new_program = new_aligned.get();
                aligned_numbering.elements.push_back(element);
                aligned_numbering.new_programs.push_back(std::move(new_aligned));
            }
            old_programs.push_back(std::move(old_program));
        }
    }
    if (!aligned_possible || SamePrograms(plain_numbering.new_programs, aligned_numbering.new_programs))
        aligned_numbering = Candidate();

    // Cheapest first; a later candidate replaces the best only when strictly smaller.
    std::vector<std::pair<Candidate *, bool>> candidates; // elements, aligned
    Candidate none;
    if (plain_numbering.elements.empty() || options.keep_smaller)
        candidates.emplace_back(&none, false);
    if (!plain_numbering.elements.empty())
        candidates.emplace_back(&plain_numbering, false);
    if (!aligned_numbering.elements.empty())
        candidates.emplace_back(&aligned_numbering, true);

    WriteStream best;
    EnsembleChoice chosen;
    for (const auto &candidate : candidates) {
        // One progress run over all candidates, each taking an equal share.
        EnsembleOptions candidate_options = options;
        if (options.progress) {
            const uint64_t index = chosen.candidates, count = candidates.size();
            candidate_options.progress = [&options, index, count](uint64_t done, uint64_t total) {
                options.progress(index * total + done, count * total);
            };
        }
        WriteStream attempt;
        if (!CreateEnsemblePatchWithElements(old_data, old_length, new_data, new_length, candidate.first->elements,
                                             &attempt, candidate_options, error))
            return false;
        ++chosen.candidates;
        if (chosen.candidates == 1 || attempt.Length() < best.Length()) {
            best = std::move(attempt);
            chosen.element_count = candidate.first->elements.size();
            chosen.aligned_labels = candidate.second;
        }
    }
    if (element_count != nullptr)
        *element_count = chosen.element_count;
    if (choice != nullptr)
        *choice = chosen;
    return patch->AppendAndRelease(&best) || Fail(error, "out of memory");
}

} // namespace vtpatch
