#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"
#include "tsanannotations.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, qreal weight) : TaskSpecification(parent, weight) {}

ASyncTaskSpecification::~ASyncTaskSpecification() = default;

void ASyncTaskSpecification::execute()
{
    // A new run: whatever a worker of an earlier run still has in the event queue is not for this one.
    ++m_Run;
    ASyncFunc *func = createFunc();
    connectFunc(func);
    auto *runnable = new ASyncRun(func);
    TsanAnnotations::handOver();
    QThreadPool::globalInstance()->start(runnable, 0);
    m_TaskState = TASK_RUNNING;
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    TsanAnnotations::takeOver();
    // The finished workers' queued reports are still on their way; they carry the old run number.
    ++m_Run;
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc *func)
{
    // Functor connections with this task as context: queued into the GUI thread, cut when the task is
    // deleted, and each one checks that the report still belongs to the current run.
    const quint64 run = m_Run;
    connect(
        func, &ASyncFunc::runResult, this,
        [this, run](bool res) {
            TsanAnnotations::takeOver();
            if (run == m_Run)
                onRunResult(res);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::message, this,
        [this, run](const QString &text) {
            if (run == m_Run)
                emit message(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::error, this,
        [this, run](const QString &text) {
            if (run == m_Run)
                emit error(text);
        },
        Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::progress, this,
        [this, run](qreal fraction) {
            if (run == m_Run)
                onProgress(fraction);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (res)
        reportFinished();
    else
        reportFailed();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    // Once the run has ended its progress is final (the full weight after a success).
    if (m_TaskState == TASK_RUNNING)
        setProgress(progress);
}
