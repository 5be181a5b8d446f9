#ifndef TESTFILES_H
#define TESTFILES_H

// Whole-file reads and writes and reproducible random bytes, for any test.

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>

namespace TestFiles {

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The file's bytes, or empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The same bytes for the same seed, so that a failure can be reproduced.
inline QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes) {
        byte = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

} // namespace TestFiles

#endif // TESTFILES_H
