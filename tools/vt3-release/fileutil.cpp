#include "fileutil.h"

#include "cryptexception.h"
#include "cryptohelper.h"

#include <QFile>
#include <QSaveFile>

namespace vt3release {

bool writeFileAtomically(const QString &path, const QByteArray &data, QString *errorText,
                         QFileDevice::Permissions permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *errorText = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    if (permissions != QFileDevice::Permissions() && !file.setPermissions(permissions)) {
        *errorText = QStringLiteral("cannot set the permissions of %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.write(data) != data.size() || !file.commit()) {
        *errorText = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool readWholeFile(const QString &path, qint64 maxBytes, QByteArray *data, QString *errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorText = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > maxBytes) {
        *errorText = QStringLiteral("%1 is too large (%2 bytes) to be a key").arg(path).arg(file.size());
        return false;
    }
    *data = file.readAll();
    if (file.error() != QFileDevice::NoError || data->size() != file.size()) {
        *errorText = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool startCrypto(QString *errorText)
{
    try {
        CryptoHelper::initialize();
        return true;
    } catch (const crypt_exception &e) {
        *errorText = QString::fromLocal8Bit(e.what());
        return false;
    }
}

} // namespace vt3release
