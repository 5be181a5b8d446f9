#include "checksigfunc.h"

#include "buildconfig.h"
#include "cryptexception.h"
#include "cryptohelper.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>

#include <vector>

namespace {
// The salt length the publisher signs with.
constexpr unsigned long PssSaltLength = 8;
} // namespace

CheckSigFunc::CheckSigFunc(const QString &filePath, const QString &expectedDigest)
    : m_FilePath(filePath), m_ExpectedDigest(expectedDigest)
{
}

bool CheckSigFunc::run()
{
    try {
        return m_ExpectedDigest.isEmpty() ? checkRSA() : checkSHA512();
    } catch (...) {
        // Nothing may leave a pool thread; both checks catch their own, this is the last line.
        qWarning() << "Signature check failed, caught exception for" << m_FilePath;
        return false;
    }
}

bool CheckSigFunc::readFile(const QString &path, const std::function<void(const char *, qint64)> &consume,
                            qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    qint64 remaining = file.size();
    if (maxBytes >= 0)
        remaining = qMin(remaining, maxBytes);
    std::vector<char> buffer(size_t(qMin(remaining, BlockSize)));
    while (remaining > 0) {
        const qint64 read = file.read(buffer.data(), qMin(remaining, qint64(buffer.size())));
        if (read <= 0) {
            emit message(QStringLiteral("could not read file %1 correctly").arg(path));
            return false;
        }
        consume(buffer.data(), read);
        remaining -= read;
    }
    return true;
}

bool CheckSigFunc::checkRSA()
{
    const QString signaturePath = m_FilePath + QStringLiteral(".sig");
    try {
        CryptoHelper::Sha1 sha1;
        if (!readFile(m_FilePath, [&sha1](const char *data, qint64 n) { sha1.addData(data, n); })) {
            qDebug() << "RSA check failed, could not read" << m_FilePath;
            return false;
        }
        QByteArray signature;
        // One byte past the limit, so that an oversized file is still seen as the wrong length.
        if (!readFile(
                signaturePath, [&signature](const char *data, qint64 n) { signature.append(data, int(n)); },
                MaxSignatureBytes + 1)) {
            qDebug() << "RSA check failed, could not read" << signaturePath;
            return false;
        }
        CryptoHelper::RsaKey key;
        CryptoHelper::rsaImport(BuildConfig::publicKeyDer, static_cast<unsigned long>(BuildConfig::publicKeyDerSize),
                                key);
        const bool valid = CryptoHelper::rsaVerifyPssSha1(signature, sha1.result(), PssSaltLength, key);
        qDebug() << "RSA check" << valid;
        return valid;
    } catch (const crypt_exception &e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
    } catch (...) {
        qDebug() << "RSA check failed, caught exception";
    }
    return false;
}

bool CheckSigFunc::checkSHA512()
{
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!readFile(m_FilePath, [&hash](const char *data, qint64 n) { hash.addData(data, int(n)); }))
        return false;
    const QString digest = QString::fromLatin1(hash.result().toHex());
    const bool equal = digest.compare(m_ExpectedDigest, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << m_ExpectedDigest << digest << equal;
    return equal;
}
