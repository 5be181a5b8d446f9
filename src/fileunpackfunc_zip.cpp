#include "fileunpackfunc_zip.h"

#include <QDebug>
#include <QFile>

#include <zlib.h>

namespace {

constexpr unsigned kBufferSize = 16384;

} // namespace

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileUnpackFunc_Zip::run()
{
    const bool ok = gunzipFile(m_Destination, m_Source);
    if (!ok) {
        QFile::remove(m_Destination);
    }
    qDebug() << "gunzipFile" << m_Source << m_Destination << (ok ? "true" : "false");
    return ok;
}

bool gunzipFile(const QString &destination, const QString &source)
{
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    gzFile in = gzopen(source.toUtf8().constData(), "rb");
    if (in == nullptr) {
        return false;
    }
    gzrewind(in);

    const auto fail = [&]() {
        gzclose(in);
        out.close();
        out.remove();
        return false;
    };
    char buffer[kBufferSize];
    for (;;) {
        const int count = gzread(in, buffer, kBufferSize);
        if (count < 0) {
            return fail();
        }
        if (count == 0) {
            // zlib ends a gzip stream that stops early like a complete one; only its error state
            // tells a truncated download from the real end, and half a file must not pass.
            int errnum = Z_OK;
            gzerror(in, &errnum);
            if (errnum != Z_OK) {
                return fail();
            }
            break;
        }
        if (out.write(buffer, count) != count) {
            return fail();
        }
    }
    // Buffered bytes reach the disk here; a full disk shows up now rather than never.
    if (!out.flush()) {
        return fail();
    }
    out.close();
    gzclose(in);
    return true;
}
