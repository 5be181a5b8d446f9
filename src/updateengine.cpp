#include "updateengine.h"

#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

UpdateEngine::UpdateEngine(Configuration *configuration, QObject *parent)
    : QObject(parent), m_Configuration(configuration)
{
    connect(m_Configuration, &Configuration::message, this, &UpdateEngine::message);
    m_Configuration->readUpdateSettings();
}

void UpdateEngine::removeQt4Files(const QString &dir)
{
    static const char *const names[] = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};
    const QDir directory(dir);
    for (const char *name : names) {
        const QString path = directory.absoluteFilePath(QLatin1String(name));
        if (QFileInfo::exists(path)) {
            qDebug() << "Remove Qt4 file:" << path;
            QFile::remove(path);
        }
    }
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    static const char *const names[] = {
        "update",         "libQtCore.so.4",  "libQtGui.so.4",  "libQtNetwork.so.4",
        "libQtSql.so.4",  "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
        "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
        "libsqlite.so"};
    const QDir directory(dir);
    for (const char *name : names) {
        const QString path = directory.absoluteFilePath(QStringLiteral("_old_") + QLatin1String(name));
        if (QFileInfo::exists(path))
            qDebug() << "Remove old file:" << path;
        // Also a dangling link, which QFileInfo::exists does not see; unlinking never touches a target.
        QFile::remove(path);
    }
}

void UpdateEngine::removeLeftovers(const QString &dir)
{
    removeQt4Files(dir);
    removeOldFiles(dir);
    for (const char *subdirectory : {"/old", "/imageformats", "/accessible", "/sqldrivers"})
        removeOldFiles(dir + QLatin1String(subdirectory));
    // rmdir refuses a directory that is not empty, and a link.
    QDir(dir).rmdir(QStringLiteral("old"));
    qDebug() << "Removing old files done";
}
