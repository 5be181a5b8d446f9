#ifndef VTPATCH_ENSEMBLE_H
#define VTPATCH_ENSEMBLE_H

// Ensemble patches: a byte diff over whole files in which executables found in the old file
// ("elements") are first disassembled and encoded, corrected by diffs of their encoded forms and
// assembled again, so that a change of addresses costs few patch bytes.
//
// Patch layout: magic, version, source checksum, target checksum, final-input size (unsigned
// varint32 each), then one LZMA2 block holding a linearised stream set:
//   stream 0  element list: count, count kinds (1 to 7), then offset and length of each element
//   stream 1  byte diff: predicted parameters -> corrected parameters
//   stream 2  byte diff: transformed old elements -> transformed new elements
//   stream 3  byte diff: old file + assembled new elements -> new file
// Bytes after the LZMA2 block and streams after the fourth are ignored.
//
// Everything here is synchronous and keeps no state between calls; any thread may call it.

#include <cstddef>
#include <cstdint>

#include "lib/patch_status.h"

namespace vtpatch {

class ReadStream;
class ReadStreamSet;
class WriteStream;
class WriteStreamSet;

constexpr uint32_t kEnsembleMagic = 7696195;     // stored as C3 DE D5 03
constexpr uint32_t kEnsembleVersion = 20110216;  // stored as 88 B7 CB 09
constexpr size_t kEnsembleBodyStreams = 4;

struct EnsembleHeader {
    uint32_t source_checksum = 0;  // PatchChecksum of the whole old file
    uint32_t target_checksum = 0;  // PatchChecksum of the whole new file
    uint32_t final_input_size = 0; // old length + assembled new elements; only sizes a buffer
};

// Reads the header fields from the start of *patch and advances past them. Returns PATCH_OK,
// PATCH_BAD_MAGIC, PATCH_BAD_VERSION or PATCH_BAD_HEADER (fields missing after the version).
PatchStatus ReadEnsembleHeader(ReadStream *patch, EnsembleHeader *header);

// Applies the ensemble patch that *patch views from its start to the old bytes that *old views
// (the old stream is not advanced), appending the new file to *new_bytes, which must be empty.
// Returns PATCH_OK, or the status of the first step that failed; *new_bytes then holds partial
// bytes that the caller discards. A fault of the body's LZMA2 data is reported (status 20) before
// any other failure of the body, as if the body had been decoded whole first.
// Memory: the old and patch bytes are read in place and the decoded body is never held whole:
// the element list and the two element diffs are kept (they are small), the final diff is
// decoded straight into *new_bytes, and the final diff reads the old file in place followed by
// the assembled new elements in a buffer of their own. So: the new file, the work on the
// elements, and an LZMA2 dictionary of at most the decoded body's length.
PatchStatus ApplyEnsemblePatch(const ReadStream &old, ReadStream *patch, WriteStream *new_bytes);

// Per-element work of an ensemble patch. One patcher per element, created from its kind.
class TransformationPatcher {
public:
    virtual ~TransformationPatcher() = default;
    // Reads the element's offset and length; PATCH_OK or PATCH_BAD_ELEMENT if missing or not
    // inside the old file.
    virtual PatchStatus ReadElementRange(ReadStream *element_list) = 0;
    // Parameters the element's transformation expects before correction.
    virtual PatchStatus PredictParameters(WriteStreamSet *parameters) = 0;
    // The element's transformed (encoded) form from its corrected parameters.
    virtual PatchStatus TransformElement(ReadStreamSet *parameters, WriteStreamSet *transformed) = 0;
    // Appends the element rebuilt from its corrected transformed form to the final input.
    virtual PatchStatus ReformElement(ReadStreamSet *element, WriteStream *final_input) = 0;
};

// The one patcher, used for every kind: detection decides how the element's bytes are
// disassembled, the kind only has to be valid. Borrows the old file's bytes.
class PatcherX86_32 : public TransformationPatcher {
public:
    PatcherX86_32(const uint8_t *old_start, size_t old_length) : old_start_(old_start), old_length_(old_length) {}

    PatchStatus ReadElementRange(ReadStream *element_list) override;
    PatchStatus PredictParameters(WriteStreamSet *parameters) override;
    PatchStatus TransformElement(ReadStreamSet *parameters, WriteStreamSet *transformed) override;
    PatchStatus ReformElement(ReadStreamSet *element, WriteStream *final_input) override;

    uint32_t element_offset() const { return element_offset_; }
    uint32_t element_length() const { return element_length_; }

private:
    const uint8_t *old_start_;
    size_t old_length_;
    uint32_t element_offset_ = 0;
    uint32_t element_length_ = 0;
};

} // namespace vtpatch

#endif // VTPATCH_ENSEMBLE_H
