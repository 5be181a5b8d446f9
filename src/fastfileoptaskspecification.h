#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QString>

class RollbackData;
class RollbackDataList;

// Base of the file operations that only touch directory entries (create a directory, delete,
// rename). They are cheap, so they run synchronously in the GUI thread: execute() does the work
// and reports the end before it returns. A parent therefore receives finished or canceled while
// it is still inside execute().
//
// Failure texts go out as `message`, never as `error`; the parent decides what a failure means.
// The journal, when given, is not owned and receives a record for every change that was made.
class FastFileOpTaskSpecification : public TaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FastFileOpTaskSpecification)

public:
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent, qreal weight);

public slots:
    // Runs doOp and reports its outcome at once. The cancellation flag is not consulted: the
    // operation is too short to be worth interrupting.
    void execute() override;

protected:
    // Does the operation; true on success. Emits its own failure texts.
    virtual bool doOp() = 0;
    // Appends the record to the journal if there is one.
    void addRollback(const RollbackData &record);

    RollbackDataList *m_Rollback; // may be null: the change is then not journaled
    QString m_Path;               // the path worked on; for a rename the new name
};

#endif // FASTFILEOPTASKSPECIFICATION_H
