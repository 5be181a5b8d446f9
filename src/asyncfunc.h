#ifndef ASYNCFUNC_H
#define ASYNCFUNC_H

#include <QObject>
#include <QString>

// The work of a worker-thread task. Built in the GUI thread by ASyncTaskSpecification::createFunc(), without
// a Qt parent, then handed to the global thread pool inside an ASyncRun, which owns and deletes it.
//
// A worker holds copies of its inputs and, where it hands back structured data, a pointer to a result
// record that its task owns; it never holds a pointer to the task. run() executes on a pool thread and may
// emit message/error/progress from there; every connection to the task is queued, so the task receives
// them in the GUI thread, in emission order, with runResult last. By then the worker may already be
// deleted, so no receiver may use the sender.
//
// run() must not throw: a failure is reported by emitting its texts and returning false.
class ASyncFunc : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ASyncFunc)

public:
    ASyncFunc();
    ~ASyncFunc() override;

    // The work, on a pool thread. Returns whether it succeeded.
    virtual bool run() = 0;

signals:
    // The result of run(); emitted once, by ASyncRun, after run() returned.
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // Done fraction of the work, 0 to 1.
    void progress(qreal progress);
};

#endif // ASYNCFUNC_H
