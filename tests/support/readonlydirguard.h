#ifndef READONLYDIRGUARD_H
#define READONLYDIRGUARD_H

#include <QFile>
#include <QFileDevice>
#include <QString>
#include <QTemporaryFile>

// Takes the write permission away from a directory for the guard's lifetime and gives the old
// permissions back when it goes, also when a test fails half way.
//
// Permission bits do not stop root: check blocksWrites() and skip the case when it is false.
class ReadOnlyDirGuard {
public:
    explicit ReadOnlyDirGuard(const QString &dir) : m_Dir(dir), m_Permissions(QFile::permissions(dir))
    {
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                       QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther);
        QTemporaryFile probe(dir + QStringLiteral("/probe-XXXXXX"));
        m_BlocksWrites = !probe.open();
    }
    ~ReadOnlyDirGuard() { QFile::setPermissions(m_Dir, m_Permissions); }

    ReadOnlyDirGuard(const ReadOnlyDirGuard &) = delete;
    ReadOnlyDirGuard &operator=(const ReadOnlyDirGuard &) = delete;

    // False when the process may write anyway (it runs as root).
    bool blocksWrites() const { return m_BlocksWrites; }

private:
    QString m_Dir;
    QFileDevice::Permissions m_Permissions;
    bool m_BlocksWrites = false;
};

#endif // READONLYDIRGUARD_H
