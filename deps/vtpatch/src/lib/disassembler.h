#ifndef VTPATCH_DISASSEMBLER_H
#define VTPATCH_DISASSEMBLER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lib/patch_status.h"

namespace vtpatch {

class LabeledProgram;

// Detects which executable [start, start + length) is and disassembles it into *output, with
// its labels numbered. Returns PATCH_OK, PATCH_NOT_EXECUTABLE (no disassembler accepts the
// bytes) or PATCH_DISASSEMBLY_ERROR. The bytes must outlive the program, which points into them.
PatchStatus ParseDetectedExecutable(const uint8_t *start, size_t length, std::unique_ptr<LabeledProgram> *output);

} // namespace vtpatch

#endif // VTPATCH_DISASSEMBLER_H
