#include "lib/disassembler.h"

#include "lib/labeled_program.h"

namespace vtpatch {

// Placeholder until the disassemblers exist: nothing is recognised.
PatchStatus ParseDetectedExecutable(const uint8_t *, size_t, std::unique_ptr<LabeledProgram> *)
{
    return PATCH_NOT_EXECUTABLE;
}

} // namespace vtpatch
