#ifndef VTPATCH_VTPATCH_H
#define VTPATCH_VTPATCH_H

// The patch engine's two entry points. Both work on whole files named by path (narrow strings,
// passed to the operating system as they are), are synchronous, keep nothing between calls and
// may run on any thread. Inputs are mapped read-only and never modified. The output is built in
// memory, verified, and only then written, under a temporary name beside the output path that
// is renamed into place: on any failure nothing is written and an existing output file is left
// as it was.

#include <string>

#include "lib/patch_status.h"

namespace vtpatch {

// Applies the ensemble patch at `patch_path` to `old_path` and writes the result to `new_path`.
// Returns a PatchStatus number: PATCH_OK (1) when the new file was written, otherwise the reason
// (3: patch unreadable or empty; 4: old file unreadable or empty, or the new file not written;
// 5 to 28: see PatchStatus). The patch header is checked before the old file is opened.
int ApplyEnsemblePatchToFiles(const std::string &old_path, const std::string &patch_path, const std::string &new_path);

// Unpacks the LZMA container at `input_path` into `output_path`. On failure returns false and
// writes one ERROR record naming the cause to the engine log (besides the records of the byte
// diff and stream layers).
bool UnpackLzmaContainer(const std::string &input_path, const std::string &output_path);

} // namespace vtpatch

#endif // VTPATCH_VTPATCH_H
