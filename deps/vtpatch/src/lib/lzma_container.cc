#include "lib/lzma_container.h"

#include <memory>

#include "lib/bytediff.h"
#include "lib/checksum.h"
#include "lib/encoded_program.h"
#include "lib/logging.h"
#include "lib/mapped_file.h"
#include "lib/streams.h"
#include "lib/vtpatch.h"

namespace vtpatch {

namespace {

bool Failure(const char *text)
{
    Log(LOG_ERROR, text);
    return false;
}

// Assembles the encoded programs of streams 0 to n-2 one after another into *assembly, then
// applies the byte diff of stream n-1 to them.
bool UnpackDisassembled(ReadStream *container, WriteStream *output)
{
    WriteStream payload;
    if (!container->ReadLzma2Block(&payload))
        return Failure("could not decompress file");
    ReadStreamSet parts;
    if (!parts.Parse(payload.Data(), payload.Length()))
        return Failure("could not init dif_and_dis set");
    if (parts.Count() < 2)
        return Failure("dis_and_diff too small");
    WriteStream assembly;
    for (size_t i = 0; i + 1 < parts.Count(); ++i) {
        ReadStreamSet program_streams;
        if (!program_streams.Parse(parts.stream(i)))
            return Failure("could not init program_source set");
        std::unique_ptr<EncodedProgram> program;
        if (ReadEncodedProgram(&program_streams, &program) != PATCH_OK)
            return Failure("could not read encoded program");
        if (AssembleEncodedProgram(program.get(), &assembly) != PATCH_OK)
            return Failure("could not assemble program");
    }
    if (!ApplyByteDiff(ReadStream(assembly), &parts.stream(parts.Count() - 1), output, false))
        return Failure("could not apply diff");
    return true;
}

} // namespace

bool UnpackLzmaContainerBytes(const uint8_t *data, size_t length, WriteStream *output)
{
    ReadStream container(data, length);
    uint32_t magic = 0, checksum = 0, directive = 0;
    if (!container.ReadVarint32(&magic) || !container.ReadVarint32(&checksum) || !container.ReadVarint32(&directive))
        return Failure("could not read lzma header");
    if (magic != kLzmaContainerMagic)
        return Failure("not lzma file");
    if (directive == kDirectivePlain) {
        if (!container.ReadLzma2Block(output))
            return Failure("could not decompress file");
    } else if (directive == kDirectiveDisassembled) {
        if (!UnpackDisassembled(&container, output))
            return false;
    } else {
        return Failure("Unknown preprocessing dirrective");
    }
    if (PatchChecksum(output->Data(), output->Length()) != checksum)
        return Failure("crc mismatch");
    return true;
}

bool UnpackLzmaContainer(const std::string &input_path, const std::string &output_path)
{
    WriteStream output;
    {
        MappedFile input(input_path);
        if (!input.valid())
            return Failure("could not open lzma file");
        if (!UnpackLzmaContainerBytes(input.data(), input.length(), &output))
            return false;
    }
    if (!WriteWholeFile(output_path, output.Data(), output.Length()))
        return Failure("could not write output file");
    return true;
}

} // namespace vtpatch
