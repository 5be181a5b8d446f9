#ifndef FILEUNPACKFUNC_LZMA2_H
#define FILEUNPACKFUNC_LZMA2_H

#include "slowfileopfunc.h"

// Unpacks an LZMA container (source) into the destination on a pool thread. The engine writes
// the destination only once the unpacked bytes are complete and their checksum matched.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc {
    Q_OBJECT
    Q_DISABLE_COPY(FileUnpackFunc_lzma2)

public:
    FileUnpackFunc_lzma2(const QString &source, const QString &destination);

    bool run() override;
    static bool unpackFile(const QString &source, const QString &destination);
};

#endif // FILEUNPACKFUNC_LZMA2_H
