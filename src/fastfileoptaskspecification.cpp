#include "fastfileoptaskspecification.h"

#include "rollback.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollback,
                                                         QObject *parent, qreal weight)
    : TaskSpecification(parent, weight), m_Rollback(rollback), m_Path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    if (doOp()) {
        reportFinished();
    } else {
        reportFailed();
    }
}

void FastFileOpTaskSpecification::addRollback(const RollbackData &record)
{
    if (m_Rollback != nullptr) {
        m_Rollback->append(record);
    }
}
