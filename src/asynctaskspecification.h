#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

class ASyncFunc;

// A task whose work runs on the global thread pool (QThreadPool::globalInstance()). execute() builds the
// worker with createFunc(), connects it with connectFunc() (all connections queued) and starts it; the task
// ends when the worker's runResult arrives in the GUI thread: runDone(true) finishes, runDone(false) fails.
//
// cancel() only records the request: a running worker is never interrupted, and the task ends with the
// worker's result. An enclosing composed task sees its own cancellation request when it ends.
//
// Reports that belong to an earlier run are dropped: once the task has been reset (or started again),
// results, messages, errors and progress of the workers it had started no longer reach it. Results that
// arrive when the task is no longer TASK_RUNNING are dropped by runDone().
//
// Result records: a subclass that hands back structured data gives its worker a pointer to a record the
// subclass owns; the worker writes it on its thread and the subclass reads it in runDone(true), in the GUI
// thread. Such a subclass must not be destroyed while its worker runs: reset() it first (the composed task
// does so when it discards or destroys running subtasks).
//
// Threads: GUI thread only. reset() is the one place that blocks the GUI thread: it waits until the whole
// global pool is idle, not only this task's worker.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(ASyncTaskSpecification)

public:
    ASyncTaskSpecification(QObject *parent, qreal weight);
    ~ASyncTaskSpecification() override;

public slots:
    void execute() override;
    // Waits without a time limit for the global pool to run dry, then the base reset().
    void reset() override;

    // Builds this run's worker from the subclass's inputs (copies them). Ownership passes to the caller.
    virtual ASyncFunc *createFunc() = 0;
    // Connects, queued: runResult -> onRunResult, message -> message, error -> error,
    // progress -> onProgress. Overrides that add connections call the base.
    virtual void connectFunc(ASyncFunc *func);
    // The worker's result, in the GUI thread. Base: while TASK_RUNNING, reportFinished() if res, else
    // reportFailed(); in any other state nothing. Overrides take over results and then call the base.
    virtual void runDone(bool res);

protected slots:
    void onRunResult(bool res);
    // The worker's done fraction becomes this task's weighted progress.
    void onProgress(qreal progress);

private:
    // Numbers the runs, so that reports of a worker from an earlier run are recognised and dropped.
    quint64 m_Run = 0;
};

#endif // ASYNCTASKSPECIFICATION_H
