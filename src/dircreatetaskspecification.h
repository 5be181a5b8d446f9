#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates a directory with its missing parents. Each level it creates is journaled right after
// it was made, so the records of one task run from the outermost new directory inwards and a
// playback removes them innermost first. An existing directory is success and records nothing.
//
// On failure the levels already made stay, and stay journaled.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(DirCreateTaskSpecification)

public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent, qreal weight);

protected:
    bool doOp() override;

private:
    bool createDir(const QString &dir);
};

#endif // DIRCREATETASKSPECIFICATION_H
