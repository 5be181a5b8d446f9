// vt3-release sign: the detached signature of a file (the product manifest).
#include "buildconfig.h"
#include "command.h"
#include "cryptexception.h"
#include "cryptohelper.h"
#include "fileutil.h"

#include <QFile>

#include <cstdio>
#include <vector>

namespace {
// What the updater verifies: RSASSA-PSS over SHA-1 with an 8-byte salt.
constexpr unsigned long PssSaltLength = 8;
constexpr qint64 MaxKeyBytes = 64 * 1024;

int runSign(const QStringList &args);

const vt3release::Command signCommand{
    "sign", "FILE [--key PRIVATE.der]", "write FILE.sig, the detached signature of FILE",
    "Signs FILE with RSASSA-PSS (SHA-1, salt length 8) and writes the 128-byte signature to\n"
    "FILE.sig, which is what the updater checks a product manifest against.\n\n"
    "  --key PRIVATE.der   the private key (PKCS #1 DER, as `vt3-release keygen` writes it);\n"
    "                      without it the environment variable VT3_SIGNING_KEY names the file.\n"
    "                      There is no built-in default, so nothing is signed with a key by accident.\n\n"
    "A note is printed when the key is not the one compiled into this build's updater.\n"
    "Exit codes: 0 written, 1 failure, 2 unusable command line.",
    &runSign};

const vt3release::CommandRegistrar registrar(signCommand);

bool sha1OfFile(const QString &path, QByteArray *digest, QString *failure)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *failure = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    CryptoHelper::Sha1 sha1;
    std::vector<char> buffer(1024 * 1024);
    for (;;) {
        const qint64 n = file.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) {
            *failure = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        if (n == 0)
            break;
        sha1.addData(buffer.data(), n);
    }
    *digest = sha1.result();
    return true;
}

int runSign(const QStringList &args)
{
    QString keyPath = qEnvironmentVariable("VT3_SIGNING_KEY");
    QStringList files;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("--key")) {
            if (i + 1 >= args.size())
                return vt3release::usageError(signCommand, QStringLiteral("--key needs a file name"));
            keyPath = args.at(++i);
        } else if (arg.startsWith(QLatin1String("--key="))) {
            keyPath = arg.mid(6);
        } else if (arg.startsWith(QLatin1Char('-'))) {
            return vt3release::usageError(signCommand, QStringLiteral("unknown option '%1'").arg(arg));
        } else {
            files << arg;
        }
    }
    if (files.size() != 1)
        return vt3release::usageError(signCommand, QStringLiteral("sign needs exactly one FILE"));
    if (keyPath.isEmpty())
        return vt3release::usageError(
            signCommand, QStringLiteral("no signing key: give --key PRIVATE.der or set VT3_SIGNING_KEY"));
    const QString path = files.first();
    const QString signaturePath = path + QStringLiteral(".sig");

    QString failure;
    QByteArray keyDer;
    if (!vt3release::startCrypto(&failure) || !vt3release::readWholeFile(keyPath, MaxKeyBytes, &keyDer, &failure)) {
        vt3release::printError(failure);
        return vt3release::ExitFailure;
    }
    try {
        CryptoHelper::RsaKey key;
        try {
            CryptoHelper::rsaImport(reinterpret_cast<const unsigned char *>(keyDer.constData()),
                                    static_cast<unsigned long>(keyDer.size()), key);
        } catch (const crypt_exception &e) {
            vt3release::printError(
                QStringLiteral("%1 is not an RSA key: %2").arg(keyPath, QString::fromLocal8Bit(e.what())));
            return vt3release::ExitFailure;
        }
        if (key.get()->type != PK_PRIVATE) {
            vt3release::printError(QStringLiteral("%1 is a public key; signing needs the private one").arg(keyPath));
            return vt3release::ExitFailure;
        }
        QByteArray digest;
        if (!sha1OfFile(path, &digest, &failure)) {
            vt3release::printError(failure);
            return vt3release::ExitFailure;
        }
        const QByteArray signature = CryptoHelper::rsaSignPssSha1(digest, PssSaltLength, key);
        // Check the result before publishing it: a signature that does not verify is worse than none.
        if (!CryptoHelper::rsaVerifyPssSha1(signature, digest, PssSaltLength, key)) {
            vt3release::printError(QStringLiteral("the signature of %1 does not verify; nothing written").arg(path));
            return vt3release::ExitFailure;
        }
        if (!vt3release::writeFileAtomically(signaturePath, signature, &failure)) {
            vt3release::printError(failure);
            return vt3release::ExitFailure;
        }
        const QByteArray publicDer = CryptoHelper::rsaExport(PK_PUBLIC | PK_STD, key);
        const QByteArray builtIn(reinterpret_cast<const char *>(BuildConfig::publicKeyDer),
                                 int(BuildConfig::publicKeyDerSize));
        if (publicDer != builtIn)
            std::fprintf(stderr, "vt3-release: note: %s is not the key compiled into this build's updater\n",
                         qPrintable(keyPath));
        std::printf("wrote %s (%d bytes)\n", qPrintable(signaturePath), signature.size());
    } catch (const crypt_exception &e) {
        vt3release::printError(QStringLiteral("cannot sign %1: %2").arg(path, QString::fromLocal8Bit(e.what())));
        return vt3release::ExitFailure;
    }
    return 0;
}
} // namespace
