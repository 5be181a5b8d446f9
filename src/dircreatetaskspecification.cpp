#include "dircreatetaskspecification.h"

#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent,
                                                       qreal weight)
    : FastFileOpTaskSpecification(path, rollback, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    // A trailing "/" would otherwise make the last level an empty name that can never be made.
    return createDir(QDir::cleanPath(m_Path));
}

bool DirCreateTaskSpecification::createDir(const QString &dir)
{
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir()) {
            return true;
        }
        emit message(QStringLiteral("Could not create dir '%1' because it already exists and is not a dir").arg(dir));
        return false;
    }

    const QDir parent = info.dir();
    // A bare relative name has no parent we could walk up to, and a root cannot be created.
    if (parent.path() == QLatin1String(".") || QDir(dir).isRoot()) {
        emit message(QStringLiteral("Could not create dir %1").arg(m_Path));
        return false;
    }
    if (!parent.exists() && !createDir(parent.path())) {
        return false;
    }

    const bool ok = parent.mkdir(info.fileName());
    qDebug() << "DirCreateTaskSpecification: mkdir" << dir << ok;
    if (!ok) {
        emit message(QStringLiteral("unable to create dir %1").arg(dir));
        return false;
    }
    addRollback(RollbackData(RollbackData::DIR_CREATE, dir));
    return true;
}
