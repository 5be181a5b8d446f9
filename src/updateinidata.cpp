#include "updateinidata.h"

#include "programdirectory.h"

#include <QDebug>
#include <QFileInfo>
#include <QSettings>

namespace {
const QString currentGroup = QStringLiteral("current");

const char *statusName(QSettings::Status status)
{
    switch (status) {
    case QSettings::NoError:
        return "NoError";
    case QSettings::AccessError:
        return "AccessError";
    case QSettings::FormatError:
        return "FormatError";
    }
    return "UnknownError";
}
} // namespace

QString UpdateIniData::fileName()
{
    return ProgramDirectory::path() + QStringLiteral("/update.ini");
}

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *vt3dir)
{
    const QString path = fileName();
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(currentGroup);
    bool versionOk = false;
    const int storedVersion = settings.value(QStringLiteral("version")).toInt(&versionOk);
    const QString storedDir = settings.value(QStringLiteral("dir")).toString();
    const QString storedVt3dir = settings.value(QStringLiteral("vt3dir")).toString();
    const QString storedType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();
    qDebug() << "get" << path << storedVersion << storedDir << storedVt3dir << storedType;

    const bool valid = versionOk && !storedType.isEmpty() && !storedDir.isEmpty() && QFileInfo::exists(storedDir);
    if (!valid)
        return false;
    if (version)
        *version = storedVersion;
    if (type)
        *type = storedType;
    if (dir)
        *dir = storedDir;
    if (vt3dir)
        *vt3dir = storedVt3dir;
    return true;
}

bool UpdateIniData::modify(int version, const QString &dir, const QString &vt3dir, const QString &type)
{
    const QString path = fileName();
    qDebug() << "modify" << path << version << dir << vt3dir << type;
    return writeSession(path, version, dir, vt3dir, type, "UpdateiniData::modify write result");
}

bool UpdateIniData::modifyTempIni(const QString &tempDir)
{
    const QString path = tempDir + QStringLiteral("/update.ini");
    qDebug() << "modifyTempIni" << path;
    int version = 0;
    QString dir;
    QString vt3dir;
    if (!get(&version, nullptr, &dir, &vt3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }
    return writeSession(path, version, dir, vt3dir, QStringLiteral("client_linux_amd64"),
                        "UpdateiniData::modifyTempIni write result");
}

bool UpdateIniData::writeSession(const QString &path, int version, const QString &dir, const QString &vt3dir,
                                 const QString &type, const char *what)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(currentGroup);
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("vt3dir"), vt3dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
    settings.sync();
    const QSettings::Status status = settings.status();
    qDebug() << what << statusName(status) << path;
    return status == QSettings::NoError;
}
