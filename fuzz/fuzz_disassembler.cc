// Executable detection, disassembly, label trimming, encoding and assembly of arbitrary bytes:
// whatever the headers claim, nothing may be read outside the input, and every outcome must be
// a status. Seeds: the executable fixtures of every supported format.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "lib/disassembler.h"
#include "lib/encoded_program.h"
#include "lib/labeled_program.h"
#include "lib/streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::unique_ptr<vtpatch::LabeledProgram> program;
    if (vtpatch::ParseDetectedExecutable(data, size, &program) != vtpatch::PATCH_OK)
        return 0;
    if (!program->TrimLabels())
        return 0;
    std::unique_ptr<vtpatch::EncodedProgram> encoded;
    if (!program->Encode(&encoded))
        return 0;
    program.reset();
    vtpatch::WriteStreamSet set;
    vtpatch::WriteStream linear;
    if (vtpatch::WriteEncodedProgram(*encoded, &set) != vtpatch::PATCH_OK || !set.CopyTo(&linear))
        return 0;
    vtpatch::WriteStream image;
    vtpatch::AssembleEncodedProgram(encoded.get(), &image);
    return 0;
}
