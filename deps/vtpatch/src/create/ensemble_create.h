#ifndef VTPATCH_CREATE_ENSEMBLE_CREATE_H
#define VTPATCH_CREATE_ENSEMBLE_CREATE_H

// Making ensemble patches. An applier repeats the old side of the work exactly (it disassembles
// and encodes each old element itself), so what is stored is three byte diffs: between the
// parameter sets (always empty here), between the old and new elements' encoded programs, and
// from the old file followed by the assembled new elements to the new file.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vtpatch {

class EncodedProgram;
class WriteStream;

// One executable of the old file and the program it becomes in the new file.
struct EnsembleElementPair {
    int kind = 0;             // executable type code, 1 to 7
    uint32_t old_offset = 0;  // position of the element in the old file
    uint32_t old_length = 0;
    // What an applier computes from the old element (detect, disassemble, trim, encode). The
    // patch applies only if this is byte for byte the same.
    const EncodedProgram *old_program = nullptr;
    // The new element's encoded form. Assembled while the patch is made (which records its
    // pointer positions, hence not const); its image joins the final diff's old input.
    EncodedProgram *new_program = nullptr;
};

struct EnsembleOptions {
    uint32_t preset = 9; // liblzma preset of the body
    // Executables in both files (the whole file, or images embedded at ELF, PE or Mach-O
    // signatures) become elements, paired by kind in file order; false makes a plain byte diff
    // inside the ensemble framing.
    bool find_elements = true;
    // Also try the new programs with their labels numbered after the old programs' (see
    // create/label_alignment.h), keeping whichever of the two numberings gives the smaller patch.
    bool align_labels = true;
    // With elements found, also make the plain patch and keep the smallest: for small or little
    // changed executables the encoded programs cost more than they save. False always uses the
    // elements found.
    bool keep_smaller = true;
    std::function<void(uint64_t done, uint64_t total)> progress;
};

// What CreateEnsemblePatch chose among its candidates.
struct EnsembleChoice {
    size_t element_count = 0;    // elements in the patch written
    bool aligned_labels = false; // their new programs are numbered after the old ones
    size_t candidates = 0;       // patches made to choose from
};

// Appends an ensemble patch turning old into new to *patch, with the given elements (in old
// file order; may be empty). False with a sentence in *error when an input is too large for
// the format (2 GiB), an element lies outside the old file, or memory runs out.
bool CreateEnsemblePatchWithElements(const uint8_t *old_data, size_t old_length, const uint8_t *new_data,
                                     size_t new_length, const std::vector<EnsembleElementPair> &elements,
                                     WriteStream *patch, const EnsembleOptions &options, std::string *error);

// Appends an ensemble patch turning old into new to *patch, finding elements as the options
// say. Candidates are made cheapest first: the plain patch (when keep_smaller or nothing is
// found), the elements with address-order numbering, then with aligned labels (skipped when the
// numbering comes out the same); the smallest is written, the first of equal sizes. Each
// candidate costs one byte diff of the new file, so time grows with their number.
// *element_count and *choice (when given) say what was written.
bool CreateEnsemblePatch(const uint8_t *old_data, size_t old_length, const uint8_t *new_data, size_t new_length,
                         WriteStream *patch, const EnsembleOptions &options = EnsembleOptions(),
                         std::string *error = nullptr, size_t *element_count = nullptr,
                         EnsembleChoice *choice = nullptr);

} // namespace vtpatch

#endif // VTPATCH_CREATE_ENSEMBLE_CREATE_H
