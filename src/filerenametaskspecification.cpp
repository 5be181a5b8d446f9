#include "filerenametaskspecification.h"

#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &oldPath, const QString &newPath,
                                                         RollbackDataList *rollback, QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(newPath, rollback, parent, weight), m_OldPath(oldPath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QDir dir = QFileInfo(m_Path).dir();
    if (!dir.exists()) {
        const bool made = QDir().mkdir(dir.path());
        qDebug() << "FileRenameTaskSpecification: mkdir" << dir.path() << made;
    }

    // QFile::rename refuses to replace an existing file, so a taken name fails the task.
    const bool ok = QFile::rename(m_OldPath, m_Path);
    qDebug() << "FileRenameTaskSpecification: rename" << m_OldPath << "->" << m_Path << ok;
    if (!ok) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(m_OldPath, m_Path));
        return false;
    }
    addRollback(RollbackData(RollbackData::FILE_RENAME, m_OldPath, m_Path));
    return true;
}
