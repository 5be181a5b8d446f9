#ifndef ASYNCRUN_H
#define ASYNCRUN_H

#include <QRunnable>

class ASyncFunc;

// Carries one worker object into the global thread pool. The pool deletes the runnable after run()
// (auto-deletion stays on), and the runnable deletes its worker, on the pool thread.
class ASyncRun : public QRunnable
{
    Q_DISABLE_COPY(ASyncRun)

public:
    // Takes ownership of func.
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;

    // On a pool thread: func->run(), then func->runResult(result).
    void run() override;

private:
    ASyncFunc *m_Func;
};

#endif // ASYNCRUN_H
