#ifndef CHECKSIGFUNC_H
#define CHECKSIGFUNC_H

#include "asyncfunc.h"

#include <QString>

#include <functional>

// The work of CheckSignatureTaskSpecification, on a pool thread: checks one file against the detached
// RSA signature beside it (path + ".sig") when no digest is given, else against the expected SHA-512
// digest. Files are streamed in blocks, so memory stays flat whatever their size.
//
// Needs CryptoHelper::initialize() to have run (the task makes sure of it before it starts a worker).
// Never throws: library errors end in a false verdict.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
    Q_DISABLE_COPY(CheckSigFunc)

public:
    CheckSigFunc(const QString &filePath, const QString &expectedDigest);

    bool run() override;
    // RSASSA-PSS (SHA-1, salt 8) of the file against path + ".sig" and the compiled-in public key.
    bool checkRSA();
    // The file's SHA-512 against the expected digest, ignoring letter case.
    bool checkSHA512();

    // Block size of the streamed reads.
    static constexpr qint64 BlockSize = 1024 * 1024;
    // A signature file is read up to this many bytes; anything longer cannot be a valid signature.
    static constexpr qint64 MaxSignatureBytes = 64 * 1024;

private:
    // Streams the file (at most maxBytes of it when maxBytes >= 0) to consume. Emits "Could not open
    // file %1 for reading" or "could not read file %1 correctly" and returns false when that fails.
    bool readFile(const QString &path, const std::function<void(const char *, qint64)> &consume,
                  qint64 maxBytes = -1);

    const QString m_FilePath;
    const QString m_ExpectedDigest;
};

#endif // CHECKSIGFUNC_H
