#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

// Copies a file on the thread pool; journals FILE_CREATE for the destination on success. Fails
// with "Could not copy '<source>' to '<destination>'" when the destination exists, its directory
// is missing, or the source cannot be read.
class FileCopyTaskSpecification : public SlowFileOpSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FileCopyTaskSpecification)

public:
    FileCopyTaskSpecification(RollbackDataList *rollback, const QString &source, const QString &destination,
                              QObject *parent, qreal weight);

public slots:
    ASyncFunc *createFunc() override;
};

#endif // FILECOPYTASKSPECIFICATION_H
