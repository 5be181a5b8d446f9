#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "slowfileopfunc.h"

// Copies the source to the destination on a pool thread. Never overwrites: an existing
// destination, or a missing destination directory, fails the copy. Reports nothing but its result.
class FileCopyFunc : public SlowFileOpFunc {
    Q_OBJECT
    Q_DISABLE_COPY(FileCopyFunc)

public:
    FileCopyFunc(const QString &source, const QString &destination);

    bool run() override;
};

#endif // FILECOPYFUNC_H
