#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes a file or a directory. Never journaled: a deletion cannot be undone.
//
// A directory is removed with its contents only when `recursive` is set; otherwise it must be
// empty, and parents that become empty are removed as well. A symbolic link is removed as the
// link itself, never followed. A failed deletion fails the task only when `failIfNotDeleted` is
// set; otherwise it is tolerated (and only logged).
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FileDeleteTaskSpecification)

public:
    FileDeleteTaskSpecification(bool failIfNotDeleted, const QString &path, bool recursive, QObject *parent,
                                qreal weight);

protected:
    bool doOp() override;

private:
    bool m_FailIfNotDeleted;
    bool m_Recursive;
};

#endif // FILEDELETETASKSPECIFICATION_H
