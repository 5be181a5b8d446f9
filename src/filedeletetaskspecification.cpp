#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failIfNotDeleted, const QString &path, bool recursive,
                                                         QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight), m_FailIfNotDeleted(failIfNotDeleted),
      m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const QString &p = m_Path;
    const QFileInfo info(p);
    bool ok;
    // A link to a directory is deleted as a link: following it would empty a directory that
    // may lie anywhere outside the installation.
    if (info.isDir() && !info.isSymLink()) {
        if (m_Recursive) {
            ok = QDir(p).removeRecursively();
            qDebug() << "Recursively deleted directory" << p << ok;
            if (ok) {
                emit message(QStringLiteral("Recursively deleted directory '%1'").arg(p));
            }
        } else {
            ok = QDir().rmpath(p);
            qDebug() << "Deleted directory" << p << ok;
            if (ok) {
                emit message(QStringLiteral("Deleted directory '%1'").arg(p));
            }
        }
    } else {
        ok = QFile::remove(p);
        qDebug() << "Deleted file" << p << ok;
        if (ok) {
            emit message(QStringLiteral("Deleted file '%1'").arg(p));
        }
    }

    if (ok) {
        return true;
    }
    if (m_FailIfNotDeleted) {
        emit message(QStringLiteral("Could not delete '%1'").arg(p));
        return false;
    }
    return true;
}
