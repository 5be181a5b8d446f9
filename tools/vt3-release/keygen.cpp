// vt3-release keygen: a new signing key pair.
#include "command.h"
#include "cryptexception.h"
#include "cryptohelper.h"
#include "fileutil.h"

#include <QFileInfo>

#include <cstdio>

namespace {
// The verifier expects 1024-bit keys (128-byte signatures).
constexpr int KeyBits = 1024;

int runKeygen(const QStringList &args);

const vt3release::Command keygenCommand{
    "keygen", "PRIVATE.der PUBLIC.der [--force]", "make a new signing key pair",
    "Makes a new 1024-bit RSA key pair (public exponent 65537) for signing product manifests.\n"
    "PRIVATE.der receives the private key (PKCS #1 RSAPrivateKey, DER; readable by its owner only);\n"
    "keep it secret, `vt3-release sign --key` uses it. PUBLIC.der receives the public key\n"
    "(SubjectPublicKeyInfo, DER), which an updater build takes with\n"
    "cmake -DVT3_PUBLIC_KEY_DER=PUBLIC.der.\n\n"
    "Existing files are not overwritten unless --force is given.\n"
    "Exit codes: 0 written, 1 failure, 2 unusable command line.",
    &runKeygen};

const vt3release::CommandRegistrar registrar(keygenCommand);

int runKeygen(const QStringList &args)
{
    QStringList paths;
    bool force = false;
    for (const QString &arg : args) {
        if (arg == QLatin1String("--force"))
            force = true;
        else if (arg.startsWith(QLatin1Char('-')))
            return vt3release::usageError(keygenCommand, QStringLiteral("unknown option '%1'").arg(arg));
        else
            paths << arg;
    }
    if (paths.size() != 2)
        return vt3release::usageError(keygenCommand, QStringLiteral("keygen needs two file names"));
    const QString privatePath = paths.at(0);
    const QString publicPath = paths.at(1);
    if (QFileInfo(privatePath).absoluteFilePath() == QFileInfo(publicPath).absoluteFilePath())
        return vt3release::usageError(keygenCommand, QStringLiteral("the two keys need two different files"));
    if (!force) {
        for (const QString &path : {privatePath, publicPath}) {
            if (QFileInfo::exists(path)) {
                vt3release::printError(QStringLiteral("%1 exists; not overwritten (use --force)").arg(path));
                return vt3release::ExitFailure;
            }
        }
    }

    QString failure;
    if (!vt3release::startCrypto(&failure)) {
        vt3release::printError(failure);
        return vt3release::ExitFailure;
    }
    QByteArray privateDer;
    QByteArray publicDer;
    try {
        CryptoHelper::RsaKey key;
        CryptoHelper::rsaMakeKey(KeyBits, key);
        privateDer = CryptoHelper::rsaExport(PK_PRIVATE, key);
        publicDer = CryptoHelper::rsaExport(PK_PUBLIC | PK_STD, key);
    } catch (const crypt_exception &e) {
        vt3release::printError(QStringLiteral("cannot make a key: %1").arg(QString::fromLocal8Bit(e.what())));
        return vt3release::ExitFailure;
    }
    if (!vt3release::writeFileAtomically(privatePath, privateDer, &failure,
                                         QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || !vt3release::writeFileAtomically(publicPath, publicDer, &failure)) {
        vt3release::printError(failure);
        return vt3release::ExitFailure;
    }
    std::printf("wrote %s (private, keep it secret) and %s (public)\n", qPrintable(privatePath),
                qPrintable(publicPath));
    return 0;
}
} // namespace
