#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QList>

// Runs a list of subtasks and ends when they have all ended. Subtasks start in the order added, at most
// m_MaxParallel at once, and always from the event loop (the queued startNextTask), never from inside the
// handler of another subtask's signal. Progress is this task's weight times the sum of the subtasks'
// weighted progress; messages and errors are relayed unchanged.
//
// The first subtask that ends with canceled stops the sequence: no waiting subtask starts, the running
// ones are told through otherTaskCancelled, and this task reports once nothing runs any more. Outcome:
// a failed subtask beats a cancelled one, which beats success; subtasks that never ran count as cancelled
// when cancellation was requested, as failed otherwise.
//
// A subclass's execute() builds its subtasks with addSubtask() (each created with this task as Qt parent)
// and calls startSubtasks(). Exactly one end signal per run: an end signal of a subtask that is not
// running is ignored, and nothing is reported again once this task has ended its run (a subclass may end
// it early on a verdict of its own; the subtasks still running then end unheard).
//
// Ownership: this task owns its subtasks (Qt children). Destruction and discardSubtasks() disconnect
// them and schedule them for deletion; a subtask that still runs is reset first so that it releases
// what it holds (a worker-thread subtask waits for its worker).
//
// Threads: GUI thread only.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(ComposedTaskSpecification)

public:
    ComposedTaskSpecification(int maxParallel, QObject *parent, qreal weight);
    ~ComposedTaskSpecification() override;

    // Appends the task to the list and to the waiting ones, connects it, and recomputes the progress
    // (so an updateProgress follows every addition).
    void addSubtask(TaskSpecification *task);
    // Sets TASK_RUNNING and queues up to m_MaxParallel starts; an empty list ends at once, successfully.
    void startSubtasks();

    const QList<TaskSpecification *> &subtasks() const { return m_Tasks; }
    int maxParallel() const { return m_MaxParallel; }

public slots:
    // Resets every subtask and makes them all wait again; then the base reset().
    void reset() override;
    // Sums the subtasks' figures: speed always, done and total bytes only of those that know a total;
    // downloading when any subtask downloads. The counters keep what the caller put in (pass zeros).
    void getDownloadStatus(quint64 &bytesDone, quint64 &bytesTotal, quint64 &speed, bool &downloading) override;
    // Records the request; while running, cancel() on every subtask. Waiting subtasks never start
    // afterwards; running ones end on their own terms.
    void cancel() override;
    // Passes the news down to every subtask.
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // Called once per run when nothing runs any more; reports the outcome. Subclasses override it to act
    // on the results first.
    virtual void subtasksDone();
    // Connects the subtask's end, progress, message and error signals to this task, and this task's
    // otherTaskCancelled to the subtask.
    virtual void connectSubtask(TaskSpecification *task);

signals:
    // Queued to onStartNextTask: starts the next waiting subtask from the event loop.
    void startNextTask();

protected:
    // Outcome of the run over m_Tasks: TASK_FINISHED, TASK_CANCELED or TASK_FAILED (TASK_RUNNING when
    // subtasks never ran and nothing explains why; subtasksDone() treats that as failure).
    int computeOutcome() const;
    // Drops every subtask: disconnects it, resets it if it still runs, schedules it for deletion and
    // empties the lists. For subclasses whose reset() builds fresh subtasks on the next execute().
    void discardSubtasks();

    QList<TaskSpecification *> m_Tasks;   // every subtask, in the order added
    QList<TaskSpecification *> m_Waiting; // not yet started, in the order added
    QList<TaskSpecification *> m_Running; // started and not yet ended
    QList<TaskSpecification *> m_Ended;   // ended, in the order they ended
    const int m_MaxParallel;
    bool m_SubtaskCanceled; // a subtask ended with canceled in this run
    bool m_DoneReported;    // subtasksDone() was called in this run

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification *task);
    void onSubTaskCanceled(TaskSpecification *task);

private:
    void queueStart();
    void forgetQueuedStarts();

    // Starts queued in this run and not yet delivered, and those queued in earlier runs that are still
    // on their way (the event queue keeps their order, so they arrive first and are skipped).
    int m_QueuedStarts = 0;
    int m_StaleStarts = 0;
};

#endif // COMPOSEDTASKSPECIFICATION_H
