// Reading and assembling encoded programs from an arbitrary linearised stream set; a program that
// reads is also written again, which must give the same streams.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/encoded_program.h"
#include "lib/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vtpatch::ReadStreamSet streams;
    if (!streams.Parse(data, size))
        return 0;
    std::unique_ptr<vtpatch::EncodedProgram> program;
    if (vtpatch::ReadEncodedProgram(&streams, &program) != vtpatch::PATCH_OK)
        return 0;
    vtpatch::WriteStreamSet written;
    if (vtpatch::WriteEncodedProgram(*program, &written) != vtpatch::PATCH_OK)
        std::abort();
    vtpatch::WriteStream image;
    vtpatch::AssembleEncodedProgram(program.get(), &image);
    return 0;
}
