#ifndef FILEFUNCPATCH_H
#define FILEFUNCPATCH_H

#include "slowfileopfunc.h"

// Applies an ensemble patch on a pool thread: old file (source) + patch -> new file
// (destination). Reports nothing but its result; the reason of a failure goes to the debug log.
class FileFuncPatch : public SlowFileOpFunc {
    Q_OBJECT
    Q_DISABLE_COPY(FileFuncPatch)

public:
    FileFuncPatch(const QString &source, const QString &patchPath, const QString &destination);

    bool run() override;
    static bool patchFile(const QString &oldFile, const QString &patchFile, const QString &newFile);
};

#endif // FILEFUNCPATCH_H
