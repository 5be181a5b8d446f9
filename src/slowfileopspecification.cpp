#include "slowfileopspecification.h"

#include "rollback.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString &failureText, RollbackDataList *rollback,
                                                 const QString &source, const QString &destination, QObject *parent,
                                                 qreal weight)
    : SlowFileOpSpecification(failureText, rollback, source, QString(), destination, parent, weight)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString &failureText, RollbackDataList *rollback,
                                                 const QString &source, const QString &patchPath,
                                                 const QString &destination, QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight), m_Rollback(rollback), m_Source(source), m_PatchPath(patchPath),
      m_Destination(destination), m_FailureText(failureText)
{
}

void SlowFileOpSpecification::runDone(bool res)
{
    // Journaled whether or not a file was there before: the worker wrote the destination either way.
    if (res && m_Rollback != nullptr) {
        m_Rollback->append(RollbackData(RollbackData::FILE_CREATE, m_Destination));
    }
    if (!res) {
        emit message(m_FailureText);
    }
    ASyncTaskSpecification::runDone(res);
}
