#include "lib/labeled_program.h"

namespace vtpatch {

bool LabeledProgram::TrimLabels() { return false; }

bool LabeledProgram::Encode(std::unique_ptr<EncodedProgram> *) const { return false; }

} // namespace vtpatch
