#ifndef FILETASKSPECIFICATION_PATCH_H
#define FILETASKSPECIFICATION_PATCH_H

#include "slowfileopspecification.h"

// Produces a file by applying an ensemble patch to its old version, on the thread pool. On
// success the new file is journaled (FILE_CREATE); on failure the task sends
// "Could not patch '<old>' to '<new>'" and fails. The old file and the patch are never changed.
class FileTaskSpecification_patch : public SlowFileOpSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FileTaskSpecification_patch)

public:
    FileTaskSpecification_patch(RollbackDataList *rollback, const QString &srcFile, const QString &patchFile,
                                const QString &dstFile, QObject *parent, qreal weight);

public slots:
    ASyncFunc *createFunc() override;
};

#endif // FILETASKSPECIFICATION_PATCH_H
