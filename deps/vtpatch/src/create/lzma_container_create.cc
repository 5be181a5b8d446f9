#include "create/lzma_container_create.h"

#include <memory>

#include "create/bytediff_create.h"
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
        std::unique_ptr<EncodedProgram> program;
        int kind = 0;
        if (EncodeExecutable(data, length, &program, &kind) == PATCH_OK) {
            EncodedProgram *programs[] = {program.get()};
            WriteStream candidate;
            if (CreateDisassembledLzmaContainer(data, length, programs, 1, &candidate, preset, nullptr)) {
                if (directive != nullptr)
                    *directive = kDirectiveDisassembled;
                return out->AppendAndRelease(&candidate) || Fail(error, "out of memory");
            }
        }
    }
    if (directive != nullptr)
        *directive = kDirectivePlain;
    return CreatePlainLzmaContainer(data, length, out, preset, error);
}

} // namespace vtpatch
