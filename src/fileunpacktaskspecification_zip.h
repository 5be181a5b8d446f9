#ifndef FILEUNPACKTASKSPECIFICATION_ZIP_H
#define FILEUNPACKTASKSPECIFICATION_ZIP_H

#include "slowfileopspecification.h"

// Decompresses a gzip file on the thread pool (non-gzip input is copied unchanged). On success
// the destination is journaled (FILE_CREATE); on failure no destination is left and the task
// sends "Could not unzip '<source>' to '<destination>'".
class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FileUnpackTaskSpecification_zip)

public:
    FileUnpackTaskSpecification_zip(RollbackDataList *rollback, const QString &source, const QString &destination,
                                    QObject *parent, qreal weight);

public slots:
    ASyncFunc *createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_ZIP_H
