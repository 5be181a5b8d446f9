#ifndef SLOWFILEOPFUNC_H
#define SLOWFILEOPFUNC_H

#include "asyncfunc.h"

#include <QString>

// Worker of a slow file operation: holds its own copies of the paths and does the work in run()
// on a pool thread. It touches nothing but those paths' files, so several may run at once.
class SlowFileOpFunc : public ASyncFunc {
    Q_OBJECT
    Q_DISABLE_COPY(SlowFileOpFunc)

public:
    SlowFileOpFunc(const QString &source, const QString &destination);
    SlowFileOpFunc(const QString &source, const QString &patchPath, const QString &destination);

protected:
    const QString m_Source;
    const QString m_PatchPath; // empty except for patching
    const QString m_Destination;
};

#endif // SLOWFILEOPFUNC_H
