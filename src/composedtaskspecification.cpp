#include "composedtaskspecification.h"

#include <QtGlobal>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight)
    // A limit below one would start nothing and end every non-empty list as failed.
    : TaskSpecification(parent, weight), m_MaxParallel(qMax(1, maxParallel)), m_SubtaskCanceled(false),
      m_DoneReported(false)
{
    // Queued, so that a subtask's execute() never runs inside the handler of another subtask's signal and
    // a subtask may end from within its own execute().
    connect(this, &ComposedTaskSpecification::startNextTask, this, &ComposedTaskSpecification::onStartNextTask,
            Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    discardSubtasks();
}

void ComposedTaskSpecification::addSubtask(TaskSpecification *task)
{
    m_Tasks.append(task);
    m_Waiting.append(task);
    connectSubtask(task);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::startSubtasks()
{
    m_TaskState = TASK_RUNNING;
    const int n = qMin(m_Waiting.size(), m_MaxParallel);
    if (n == 0) {
        m_DoneReported = true;
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        queueStart();
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification *> tasks = m_Tasks;
    for (TaskSpecification *task : tasks)
        task->reset();
    m_Waiting = m_Tasks;
    m_Running.clear();
    m_Ended.clear();
    m_SubtaskCanceled = false;
    m_DoneReported = false;
    forgetQueuedStarts();
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadStatus(quint64 &bytesDone, quint64 &bytesTotal, quint64 &speed,
                                                  bool &downloading)
{
    downloading = false;
    for (TaskSpecification *task : qAsConst(m_Tasks)) {
        quint64 done = 0;
        quint64 total = 0;
        quint64 taskSpeed = 0;
        bool taskDownloading = false;
        task->getDownloadStatus(done, total, taskSpeed, taskDownloading);
        if (taskDownloading)
            downloading = true;
        speed += taskSpeed;
        // A transfer whose size is not known yet would make the total look smaller than the work left.
        if (total != 0) {
            bytesDone += done;
            bytesTotal += total;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState != TASK_RUNNING)
        return;
    // A subtask may end inside its cancel() and with it this whole run; the list itself does not change.
    const QList<TaskSpecification *> tasks = m_Tasks;
    for (TaskSpecification *task : tasks)
        task->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (computeOutcome()) {
    case TASK_FINISHED:
        reportFinished();
        break;
    case TASK_CANCELED:
        reportCanceled();
        break;
    default:
        reportFailed();
        break;
    }
}

void ComposedTaskSpecification::connectSubtask(TaskSpecification *task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(task, &TaskSpecification::updateProgress, this, &ComposedTaskSpecification::onUpdateProgress);
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, task, &ComposedTaskSpecification::onOtherTaskCancelled);
}

int ComposedTaskSpecification::computeOutcome() const
{
    bool anyCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification *task : m_Tasks) {
        if (task->m_TaskState == TASK_FAILED)
            return TASK_FAILED;
        if (task->m_TaskState == TASK_CANCELED)
            anyCanceled = true;
        else if (task->m_TaskState != TASK_FINISHED)
            allFinished = false;
    }
    if (anyCanceled)
        return TASK_CANCELED;
    if (allFinished)
        return TASK_FINISHED;
    // Some subtasks never ran or did not end.
    if (m_CancelRequested)
        return TASK_CANCELED;
    return m_SubtaskCanceled ? TASK_FAILED : TASK_RUNNING;
}

void ComposedTaskSpecification::discardSubtasks()
{
    const QList<TaskSpecification *> tasks = m_Tasks;
    m_Tasks.clear();
    m_Waiting.clear();
    m_Running.clear();
    m_Ended.clear();
    m_SubtaskCanceled = false;
    m_DoneReported = false;
    forgetQueuedStarts();
    for (TaskSpecification *task : tasks) {
        disconnect(task, nullptr, this, nullptr);
        disconnect(this, nullptr, task, nullptr);
        // A running subtask may have a worker writing into a record it owns, or a transfer writing a file.
        if (task->m_TaskState == TASK_RUNNING)
            task->reset();
        task->deleteLater();
    }
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (m_StaleStarts > 0) {
        --m_StaleStarts;
        return;
    }
    if (m_QueuedStarts > 0)
        --m_QueuedStarts;
    // Reset, or ended early on a verdict of its own: nothing more starts in this run.
    if (m_TaskState != TASK_RUNNING)
        return;
    if (m_Waiting.isEmpty() || m_SubtaskCanceled || m_CancelRequested) {
        if (m_Running.isEmpty() && !m_DoneReported) {
            m_DoneReported = true;
            subtasksDone();
        }
        return;
    }
    TaskSpecification *task = m_Waiting.takeFirst();
    m_Running.append(task);
    task->execute();
}

void ComposedTaskSpecification::onUpdateProgress(qreal doneFrac)
{
    Q_UNUSED(doneFrac)
    // After the run ended the progress is final (exactly the weight after a success).
    if (m_TaskState != TASK_IDLE && m_TaskState != TASK_RUNNING)
        return;
    qreal sum = 0;
    for (const TaskSpecification *task : qAsConst(m_Tasks))
        sum += task->m_Progress;
    setProgress(sum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *task)
{
    // An end signal of a subtask that is not running in this run (a repeat, or one that arrives after a
    // reset) must not free a place or count twice.
    const int index = m_Running.indexOf(task);
    if (index < 0)
        return;
    m_Running.removeAt(index);
    m_Ended.append(task);
    queueStart();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *task)
{
    const int index = m_Running.indexOf(task);
    if (index < 0)
        return;
    m_Running.removeAt(index);
    m_Ended.append(task);
    if (!m_SubtaskCanceled) {
        m_SubtaskCanceled = true;
        emit otherTaskCancelled(task);
    }
    if (m_Running.isEmpty() && !m_DoneReported && m_TaskState == TASK_RUNNING) {
        m_DoneReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::queueStart()
{
    ++m_QueuedStarts;
    emit startNextTask();
}

void ComposedTaskSpecification::forgetQueuedStarts()
{
    m_StaleStarts += m_QueuedStarts;
    m_QueuedStarts = 0;
}
