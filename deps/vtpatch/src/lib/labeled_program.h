#ifndef VTPATCH_LABELED_PROGRAM_H
#define VTPATCH_LABELED_PROGRAM_H

#include <memory>

namespace vtpatch {

class EncodedProgram;

// Placeholder until the disassemblers exist: no program is ever produced.
class LabeledProgram {
public:
    // False gives status 28.
    bool TrimLabels();
    // False gives status 2; on success *output holds the new program.
    bool Encode(std::unique_ptr<EncodedProgram> *output) const;
};

} // namespace vtpatch

#endif // VTPATCH_LABELED_PROGRAM_H
