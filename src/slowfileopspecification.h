#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QString>

class RollbackDataList;

// Base of the file operations that read or write file contents (copy, unpack, patch). The work
// runs on the global thread pool; the result comes back to the GUI thread, where runDone journals
// the destination (FILE_CREATE) on success or sends the failure text as `message` on failure.
//
// The journal, when given, is not owned and is touched only in the GUI thread. Subclasses only
// build their worker (createFunc) from copies of the paths and their failure text.
class SlowFileOpSpecification : public ASyncTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(SlowFileOpSpecification)

public:
    SlowFileOpSpecification(const QString &failureText, RollbackDataList *rollback, const QString &source,
                            const QString &destination, QObject *parent, qreal weight);
    SlowFileOpSpecification(const QString &failureText, RollbackDataList *rollback, const QString &source,
                            const QString &patchPath, const QString &destination, QObject *parent, qreal weight);

    const QString &source() const { return m_Source; }
    const QString &patchPath() const { return m_PatchPath; }
    const QString &destination() const { return m_Destination; }
    const QString &failureText() const { return m_FailureText; }

public slots:
    void runDone(bool res) override;

protected:
    RollbackDataList *m_Rollback; // may be null: the destination is then not journaled
    const QString m_Source;
    const QString m_PatchPath; // empty except for patching
    const QString m_Destination;
    const QString m_FailureText; // finished user-visible text, built by the subclass
};

#endif // SLOWFILEOPSPECIFICATION_H
