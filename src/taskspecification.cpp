#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, qreal weight)
    : QObject(parent), m_CancelRequested(false), m_Weight(weight), m_Progress(0), m_TaskState(TASK_IDLE)
{
}

TaskSpecification::~TaskSpecification() = default;

void TaskSpecification::reset()
{
    m_CancelRequested = false;
    m_TaskState = TASK_IDLE;
    m_Progress = 0;
    emit updateProgress(0);
}

void TaskSpecification::getDownloadStatus(quint64 &bytesDone, quint64 &bytesTotal, quint64 &speed, bool &downloading)
{
    bytesDone = 0;
    bytesTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::cancel()
{
    m_CancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other)
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *other)
{
    if (other != this && m_TaskState == TASK_RUNNING)
        handleOtherTaskCancelled(other);
}

void TaskSpecification::setProgress(qreal fraction)
{
    m_Progress = fraction * m_Weight;
    emit updateProgress(m_Progress);
}

void TaskSpecification::reportFinished()
{
    m_TaskState = TASK_FINISHED;
    // A parent's sum must reach exactly its weight when all subtasks finished, whatever fractions were
    // reported on the way.
    m_Progress = m_Weight;
    emit updateProgress(m_Weight);
    emit finished(this);
}

void TaskSpecification::reportFailed()
{
    m_TaskState = TASK_FAILED;
    emit canceled(this);
}

void TaskSpecification::reportCanceled()
{
    m_TaskState = TASK_CANCELED;
    emit canceled(this);
}
