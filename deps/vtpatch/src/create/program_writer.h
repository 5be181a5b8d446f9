#ifndef VTPATCH_CREATE_PROGRAM_WRITER_H
#define VTPATCH_CREATE_PROGRAM_WRITER_H

// The publisher's side of encoded programs: encoding an executable exactly as an applier does,
// and writing a program as a linearised stream set (the form stored in LZMA containers and
// shown by `vtpatch encode`).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lib/patch_status.h"

namespace vtpatch {

class EncodedProgram;
class WriteStream;

// Detects, disassembles, trims and encodes the executable [data, data + length), the steps an
// applier runs on an old element. Returns PATCH_OK with *program and *kind (1 to 7) set, or the
// status of the step that failed (24, 25, 28 or 2).
PatchStatus EncodeExecutable(const uint8_t *data, size_t length, std::unique_ptr<EncodedProgram> *program,
                             int *kind);

// Appends the program as one linearised stream set (ten streams) to *out. False when a write
// fails (out of memory) or a table is too large for the format.
bool WriteLinearEncodedProgram(const EncodedProgram &program, WriteStream *out);

// Appends a linearised stream set of exactly `count` streams (0 to 10) to *out. Unlike
// WriteStreamSet::CopyTo, which always lists ten, the count is the caller's: a preprocessed
// container lists one stream per program plus one for its diff. The streams are not released.
bool WriteStreamSetOfCount(const WriteStream *const *streams, size_t count, WriteStream *out);

} // namespace vtpatch

#endif // VTPATCH_CREATE_PROGRAM_WRITER_H
