#ifndef FILEUNPACKFUNC_ZIP_H
#define FILEUNPACKFUNC_ZIP_H

#include "slowfileopfunc.h"

// Decompresses a gzip file (source) into the destination on a pool thread, streaming through one
// 16 KiB buffer. Input that is not gzip data is copied unchanged. On failure the destination is
// removed, so no partial file is left behind.
class FileUnpackFunc_Zip : public SlowFileOpFunc {
    Q_OBJECT
    Q_DISABLE_COPY(FileUnpackFunc_Zip)

public:
    FileUnpackFunc_Zip(const QString &source, const QString &destination);

    bool run() override;
};

// Writes the decompressed content of `source` to `destination` (created or truncated). Returns
// false when either file cannot be opened, the data is corrupt or truncated, or a write fails.
// On a failure after the destination was opened it removes the destination itself.
bool gunzipFile(const QString &destination, const QString &source);

#endif // FILEUNPACKFUNC_ZIP_H
