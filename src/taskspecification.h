#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// Life state of a task. Parents and the update engine compare these numbers, so they are fixed.
enum TaskState {
    TASK_IDLE = 0,     // constructed or reset; not started
    TASK_RUNNING = 1,  // execute() started the work and no end has been reported
    TASK_FINISHED = 2, // ended successfully; finished() was emitted
    TASK_FAILED = 3,   // ended without success (error, failed check, aborted for a sibling); canceled() was emitted
    TASK_CANCELED = 4, // ended because cancellation was requested; canceled() was emitted
};

// One step of an update. A task lives in the GUI thread, is started once per run with execute() and from
// then on speaks only through signals: any number of updateProgress/message/error, then exactly one of
// finished or canceled. reset() makes it runnable again.
//
// Threads: every member (slots, signals, fields) belongs to the GUI thread. Worker threads never touch a
// task; they talk to it through queued connections (see ASyncTaskSpecification).
//
// Ownership: a subtask has its parent task as Qt parent; the update engine owns the top task.
//
// Subclasses end a run only through reportFinished(), reportFailed() or reportCanceled(), and only while
// the task is TASK_RUNNING, so that the state a parent reads and the signal it received always agree and
// late results of work that was already written off are dropped.
class TaskSpecification : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TaskSpecification)

public:
    TaskSpecification(QObject *parent, qreal weight);
    ~TaskSpecification() override;

    int taskState() const { return m_TaskState; }
    // Weighted progress: done fraction times weight().
    qreal progress() const { return m_Progress; }
    qreal weight() const { return m_Weight; }
    bool isCancelRequested() const { return m_CancelRequested; }

    // The fields are public because parents and the engine read a subtask's state and progress directly.
    // Only the task itself (its class and subclasses) writes them, in the GUI thread.

    // Set by cancel(), cleared by reset(); composed tasks stop starting subtasks once it is set.
    bool m_CancelRequested;
    // This task's share of its parent's progress; fixed at construction.
    const qreal m_Weight;
    // Done fraction times m_Weight; what updateProgress carries and what a parent adds up.
    qreal m_Progress;
    // A TaskState value.
    int m_TaskState;

public slots:
    // Starts a run. Implementations leave the task TASK_RUNNING when they return, unless the run already
    // ended from within execute() (for example a list with nothing to do).
    virtual void execute() = 0;
    // Returns any state to TASK_IDLE with progress 0 and emits updateProgress(0). Overrides first release
    // what the run held, then call the base. May block only where a subclass says so.
    virtual void reset();
    // Transfer figures for the engine's display; the base reports zeros and false.
    virtual void getDownloadStatus(quint64 &bytesDone, quint64 &bytesTotal, quint64 &speed, bool &downloading);
    // Records the request. Overrides call the base first and act only while TASK_RUNNING; calling it on a
    // task that is idle or has ended never emits anything.
    virtual void cancel();
    // Reached only through onOtherTaskCancelled while this task runs; the base does nothing.
    virtual void handleOtherTaskCancelled(TaskSpecification *other);

signals:
    // Exactly one of these two per run. finished is always directly preceded by updateProgress(m_Weight).
    // canceled covers both TASK_FAILED and TASK_CANCELED: receivers read m_TaskState of the sender.
    void finished(TaskSpecification *task);
    void canceled(TaskSpecification *task);
    // A user-visible error text; it does not end the task.
    void error(QString errorMessage);
    // The weighted progress (m_Progress), not the bare fraction.
    void updateProgress(qreal doneFrac);
    // A status line for the window and the log.
    void message(QString message);
    // Emitted by a composed task towards its subtasks, with the subtask that was cancelled.
    void otherTaskCancelled(TaskSpecification *task);

protected slots:
    // Passes the news to handleOtherTaskCancelled, but only while this task runs and only when the
    // cancelled task is another one.
    void onOtherTaskCancelled(TaskSpecification *other);

protected:
    // m_Progress = fraction * m_Weight, then updateProgress(m_Progress).
    void setProgress(qreal fraction);
    // TASK_FINISHED, progress set to the full weight and announced, then finished(this).
    void reportFinished();
    // TASK_FAILED, then canceled(this); progress stays where it was.
    void reportFailed();
    // TASK_CANCELED, then canceled(this); progress stays where it was.
    void reportCanceled();
};

#endif // TASKSPECIFICATION_H
