#ifndef VTPATCH_CREATE_LZMA_CONTAINER_CREATE_H
#define VTPATCH_CREATE_LZMA_CONTAINER_CREATE_H

// Making LZMA containers: directive 1 (the bytes compressed as they are) and directive 2 (the
// executables inside stored as encoded programs, plus a byte diff from their assembled images
// to the file), which compresses machine code better.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtpatch {

class EncodedProgram;
class WriteStream;

// Appends a directive 1 container of [data, data + length) to *out. False with a sentence in
// *error on inputs of 4 GiB or more, or when memory runs out.
bool CreatePlainLzmaContainer(const uint8_t *data, size_t length, WriteStream *out, uint32_t preset = 9,
                              std::string *error = nullptr);

// Appends a directive 2 container of [data, data + length) to *out, storing the given programs
// (1 to 9, each assembled while the container is made, hence not const) and a byte diff from
// their concatenated images to the data.
bool CreateDisassembledLzmaContainer(const uint8_t *data, size_t length, EncodedProgram *const *programs,
                                     size_t program_count, WriteStream *out, uint32_t preset = 9,
                                     std::string *error = nullptr);

// The most programs a directive 2 container holds (its payload is a stream set of at most ten
// streams, one of them the byte diff).
constexpr size_t kMaxContainerPrograms = 9;

// Directive 2 when the input holds executables the engine recognises (the whole file, or images
// embedded where an ELF, PE or Mach-O header starts; one program each, the nine largest when
// there are more) and `allow_programs`; directive 1 otherwise. *directive (when given) receives
// the one used.
bool CreateLzmaContainer(const uint8_t *data, size_t length, bool allow_programs, WriteStream *out,
                         uint32_t *directive = nullptr, uint32_t preset = 9, std::string *error = nullptr);

} // namespace vtpatch

#endif // VTPATCH_CREATE_LZMA_CONTAINER_CREATE_H
