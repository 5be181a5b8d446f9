#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include <cstdio>

RollbackData::RollbackData(int op, const QString &from, const QString &to) : path(to), oldPath(from), op(op)
{
    Q_ASSERT_X(op == FILE_RENAME || op == FILE_REPLACE, "RollbackData", "op==FILE_RENAME");
}

RollbackData::RollbackData(int op, const QString &path) : path(path), op(op)
{
    Q_ASSERT_X(op == FILE_CREATE || op == DIR_CREATE, "RollbackData", "op!=FILE_RENAME");
}

bool RollbackData::rollback(QObject *receiver) const
{
    switch (op) {
    case FILE_RENAME: {
        // QFile::rename never replaces an existing file: a name taken again since the rename
        // stays untouched and the undo fails.
        const bool ok = QFile::rename(path, oldPath);
        qDebug() << "RollbackData::rollback rename" << path << "->" << oldPath << ok;
        if (!ok) {
            message(receiver, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(oldPath, path));
        }
        return ok;
    }
    case FILE_CREATE: {
        const bool ok = QFile::remove(path);
        qDebug() << "RollbackData::rollback remove file" << path << ok;
        if (!ok) {
            message(receiver, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        }
        return ok;
    }
    case DIR_CREATE: {
        const QFileInfo info(path);
        // rmdir only removes an empty directory; a directory that holds unjournaled files stays.
        const bool ok = info.dir().rmdir(info.fileName());
        qDebug() << "RollbackData::rollback remove dir" << path << ok;
        if (!ok) {
            message(receiver, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        }
        return ok;
    }
    case FILE_REPLACE: {
        // rename(2) replaces the target atomically, so the file never goes missing on the way
        // back, even when the new content is a running program.
        const bool ok = std::rename(QFile::encodeName(oldPath).constData(), QFile::encodeName(path).constData()) == 0;
        qDebug() << "RollbackData::rollback restore" << path << "from" << oldPath << ok;
        if (!ok) {
            message(receiver, QStringLiteral("warning: rollback restore file %1 from %2 failed").arg(path, oldPath));
        }
        return ok;
    }
    default:
        qFatal("Should not reach here");
    }
    return false;
}

void RollbackData::message(QObject *receiver, const QString &text)
{
    if (receiver == nullptr) {
        return;
    }
    if (receiver->metaObject()->indexOfMethod("message(QString)") < 0) {
        qDebug() << "Warning: message signal was not found in RollbackData::message";
        return;
    }
    QMetaObject::invokeMethod(receiver, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

bool RollbackDataList::rollback(QObject *receiver)
{
    bool result = true;
    while (!isEmpty()) {
        const RollbackData record = takeLast();
        if (!record.rollback(receiver)) {
            result = false;
        }
    }
    return result;
}

bool RollbackDataList::commit(QObject *receiver)
{
    bool result = true;
    for (const RollbackData &record : qAsConst(*this)) {
        if (record.op != RollbackData::FILE_REPLACE) {
            continue;
        }
        const bool ok = QFile::remove(record.oldPath);
        qDebug() << "RollbackDataList::commit remove kept copy" << record.oldPath << ok;
        if (!ok) {
            RollbackData::message(
                receiver,
                QStringLiteral("warning: could not remove kept copy %1 of %2").arg(record.oldPath, record.path));
            result = false;
        }
    }
    clear();
    return result;
}
