#include "create/lzma_container_create.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "create/bytediff_create.h"
#include "create/element_finder.h"
#include "create/lzma2_writer.h"
#include "create/program_writer.h"
#include "lib/checksum.h"
#include "lib/encoded_program.h"
#include "lib/lzma_container.h"
#include "lib/streams.h"

namespace vtpatch {

namespace {

bool Fail(std::string *error, const char *text)
{
    if (error != nullptr)
        *error = text;
    return false;
}

bool WriteHeader(const uint8_t *data, size_t length, uint32_t directive, WriteStream *out)
{
    return out->WriteVarint32(kLzmaContainerMagic) && out->WriteVarint32(PatchChecksum(data, length)) &&
           out->WriteVarint32(directive);
}

} // namespace

bool CreatePlainLzmaContainer(const uint8_t *data, size_t length, WriteStream *out, uint32_t preset,
                              std::string *error)
{
    if (length > UINT32_MAX)
        return Fail(error, "file too large for a container (4 GiB at most)");
    if (!WriteHeader(data, length, kDirectivePlain, out) || !WriteLzma2Block(data, length, out, preset))
        return Fail(error, "could not compress the file (out of memory)");
    return true;
}

bool CreateDisassembledLzmaContainer(const uint8_t *data, size_t length, EncodedProgram *const *programs,
                                     size_t program_count, WriteStream *out, uint32_t preset, std::string *error)
{
    if (program_count < 1 || program_count + 1 > ReadStreamSet::kMaxStreams)
        return Fail(error, "a container holds 1 to 9 programs");
    if (length > kMaxByteDiffInput)
        return Fail(error, "file too large for a preprocessed container (2 GiB at most)");
    WriteStream parts[ReadStreamSet::kMaxStreams];
    WriteStream assembly;
    for (size_t i = 0; i < program_count; ++i) {
        if (!WriteLinearEncodedProgram(*programs[i], &parts[i]))
            return Fail(error, "could not write an encoded program (out of memory)");
        if (AssembleEncodedProgram(programs[i], &assembly) != PATCH_OK)
            return Fail(error, "an encoded program does not assemble");
    }
    ByteDiffOptions diff_options;
    diff_options.method = BYTE_DIFF_RAW; // the payload is compressed as a whole
    if (!CreateByteDiff(assembly.Data(), assembly.Length(), data, length, &parts[program_count], diff_options, error))
        return false;
    assembly.Release();
    const WriteStream *streams[ReadStreamSet::kMaxStreams];
    for (size_t i = 0; i <= program_count; ++i)
        streams[i] = &parts[i];
    WriteStream payload;
    if (!WriteStreamSetOfCount(streams, program_count + 1, &payload))
        return Fail(error, "could not build the payload (out of memory)");
    if (!WriteHeader(data, length, kDirectiveDisassembled, out) ||
        !WriteLzma2Block(payload.Data(), payload.Length(), out, preset))
        return Fail(error, "could not compress the payload (out of memory)");
    return true;
}

bool CreateLzmaContainer(const uint8_t *data, size_t length, bool allow_programs, WriteStream *out,
                         uint32_t *directive, uint32_t preset, std::string *error)
{
    if (allow_programs && length > 0 && length <= kMaxByteDiffInput) {
        std::vector<ExecutableElement> found = FindExecutables(data, length);
        // A container has room for nine programs: keep the largest, which save the most.
        if (found.size() > kMaxContainerPrograms) {
            std::stable_sort(found.begin(), found.end(), [](const ExecutableElement &a, const ExecutableElement &b) {
                return a.length > b.length;
            });
            found.resize(kMaxContainerPrograms);
            std::sort(found.begin(), found.end(),
                      [](const ExecutableElement &a, const ExecutableElement &b) { return a.offset < b.offset; });
        }
        std::vector<std::unique_ptr<EncodedProgram>> owned;
        std::vector<EncodedProgram *> programs;
        for (const ExecutableElement &element : found) {
            std::unique_ptr<EncodedProgram> program;
            int kind = 0;
            // FindExecutables checked every range; one that still fails is left to the byte diff.
            if (EncodeExecutable(data + element.offset, element.length, &program, &kind) != PATCH_OK)
                continue;
            programs.push_back(program.get());
            owned.push_back(std::move(program));
        }
        WriteStream candidate;
        if (!programs.empty() &&
            CreateDisassembledLzmaContainer(data, length, programs.data(), programs.size(), &candidate, preset,
                                            nullptr)) {
            if (directive != nullptr)
                *directive = kDirectiveDisassembled;
            return out->AppendAndRelease(&candidate) || Fail(error, "out of memory");
        }
    }
    if (directive != nullptr)
        *directive = kDirectivePlain;
    return CreatePlainLzmaContainer(data, length, out, preset, error);
}

} // namespace vtpatch
