#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames a file, never over an existing one, and journals FILE_RENAME on success. A missing
// directory of the new name is created as one level (not journaled); missing grandparents are not.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FileRenameTaskSpecification)

public:
    FileRenameTaskSpecification(const QString &oldPath, const QString &newPath, RollbackDataList *rollback,
                                QObject *parent, qreal weight);

protected:
    bool doOp() override;

private:
    QString m_OldPath;
};

#endif // FILERENAMETASKSPECIFICATION_H
