#include "programdirectory.h"

#include <QCoreApplication>

namespace {
QString &overridePath()
{
    static QString path;
    return path;
}
} // namespace

QString ProgramDirectory::path()
{
    const QString &path = overridePath();
    return path.isEmpty() ? QCoreApplication::applicationDirPath() : path;
}

void ProgramDirectory::setPath(const QString &path)
{
    overridePath() = path;
}
