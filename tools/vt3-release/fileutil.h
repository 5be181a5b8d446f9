#ifndef VT3_RELEASE_FILEUTIL_H
#define VT3_RELEASE_FILEUTIL_H

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace vt3release {

// Writes data to path through a temporary file renamed into place, so a failure never leaves a
// half-written file. On failure returns false with a message naming the file.
bool writeFileAtomically(const QString &path, const QByteArray &data, QString *errorText,
                         QFileDevice::Permissions permissions = QFileDevice::Permissions());

// Reads a whole file of at most maxBytes. On failure (missing, unreadable, too large) returns false
// with a message naming the file.
bool readWholeFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *errorText);

// Registers the algorithms with the crypto library; false with the library's text on failure.
bool startCrypto(QString *errorText);

} // namespace vt3release

#endif // VT3_RELEASE_FILEUTIL_H
