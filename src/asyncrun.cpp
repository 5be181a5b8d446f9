#include "asyncrun.h"

#include "asyncfunc.h"
#include "tsanannotations.h"

ASyncRun::ASyncRun(ASyncFunc *func) : m_Func(func) {}

ASyncRun::~ASyncRun()
{
    // Cut the worker's connections while it is still whole: a task destroyed in the GUI thread at this very
    // moment walks its senders under Qt's locks and must never meet a worker half way through destruction.
    m_Func->disconnect();
    delete m_Func;
}

void ASyncRun::run()
{
    TsanAnnotations::takeOver();
    const bool result = m_Func->run();
    // The result record is complete: the task may read it once runResult arrives.
    TsanAnnotations::handOver();
    emit m_Func->runResult(result);
}
