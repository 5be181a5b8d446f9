#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

// Unpacks an LZMA container on the thread pool. On success the destination is journaled
// (FILE_CREATE); on failure the task sends "Could not unpack '<source>' to '<destination>'".
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FileUnpackTaskSpecification_lzma2)

public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList *rollback, const QString &source, const QString &destination,
                                      QObject *parent, qreal weight);

public slots:
    ASyncFunc *createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_LZMA2_H
