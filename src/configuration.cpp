#include "configuration.h"

#include "buildconfig.h"
#include "messageboxes.h"
#include "programdirectory.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QWidget>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString Configuration::downloadBaseUrl;

namespace {
const char *const clientTypeSuffix = "_linux_amd64";

QString withTrailingSlash(QString url)
{
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url;
}

QString environmentOr(const char *name, const char *fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? QString::fromUtf8(fallback) : value;
}

// Creates one session directory with mode 0700. mkdir never follows a symbolic link in the last
// component, so a link planted under the candidate name by another user makes this fail (and the
// caller move on) instead of redirecting our files.
bool makePrivateDirectory(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0)
        return false;
    // The umask may have taken bits away that we need; it can never have added any.
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

bool pathEntryExists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 || errno != ENOENT;
}
} // namespace

Configuration::Configuration(QObject *parent) : QObject(parent) {}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &args)
{
    qDebug() << "parseCommandLineOptions" << args;
    const int n = args.size();
    const QString clientUpdateSwitch = QStringLiteral("--clientupdate");
    const QString noUserSwitch = QStringLiteral("--nouser");
    m_ClientUpdate = (n >= 2 && args.at(1) == clientUpdateSwitch) ? 1 : 0;
    m_VersionQueryStarted = false;

    // First, so that an alpha channel's pinned version takes precedence over the command line.
    getUpdateChannel();

    if (n >= 2 && (args.at(1) == clientUpdateSwitch || args.at(1) == noUserSwitch)) {
        qDebug() << "CLIENTUPDATE" << (args.at(1) == clientUpdateSwitch);
        if (n >= 4 && !parseClientTypeAndVersion(args, 2))
            return false;
        // "#" stands for an absent version text.
        if (n >= 5 && args.at(4) != QLatin1String("#"))
            m_VersionString = args.at(4);
        getDefaultParameters();
    } else if (n == 3) {
        if (!parseClientTypeAndVersion(args, 1))
            return false;
    } else {
        qDebug() << "Empty cmdline params";
        getDefaultParameters();
    }

    if (!m_VersionQueryStarted)
        m_Ready = true;
    return true;
}

bool Configuration::parseClientTypeAndVersion(const QStringList &args, int position)
{
    if (position >= args.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    m_ClientType = args.at(position);
    if (position + 1 >= args.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return setVersionNumber(args.at(position + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::setVersionNumber(const QString &versionText, const QString &errorText)
{
    if (m_VersionNumber != 0)
        return true;
    bool ok = false;
    const int number = versionText.trimmed().toInt(&ok, 10);
    if (ok) {
        m_VersionNumber = number;
        return true;
    }
    m_VersionNumber = 0;
    emit fatalError(errorText.arg(versionText));
    return false;
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_ClientType;
    if (m_ClientType.isEmpty()) {
        m_ClientType = QString::fromLatin1(m_ClientUpdate == 1 ? "client" : "update") + QLatin1String(clientTypeSuffix);
    }
    qDebug() << "clientType" << m_ClientType;
    if (m_VersionNumber == 0) {
        m_VersionQueryStarted = true;
        startVersionQuery();
    }
    return true;
}

void Configuration::startVersionQuery()
{
    auto *checker = new UpdateChecker(this);
    connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable);
    checker->checkForUpdate();
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString iniPath = configDirectory() + QStringLiteral("update.ini");
    bool exists = QFileInfo::exists(iniPath);
    qDebug() << "Update ini check #1 in CONFIG" << iniPath << exists;
    if (exists) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        iniPath = ProgramDirectory::path() + QStringLiteral("/update.ini");
        exists = QFileInfo::exists(iniPath);
        qDebug() << "Update ini check #2 in INSTALL" << iniPath << exists;
        if (!exists) {
            m_Channel = 0;
            m_VersionNumber = 0;
            downloadBaseUrl = defaultDownloadBaseUrl();
            qDebug() << "No update.ini found, using stable channel, URL =" << downloadBaseUrl;
            return;
        }
        qDebug() << "Found INSTALL/update.ini";
    }

    QSettings settings(iniPath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        qWarning() << "getUpdateChannel: could not read all of" << iniPath << "status" << settings.status();
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (!alpha.isEmpty()) {
        m_Channel = 2;
        m_VersionNumber = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        downloadBaseUrl = withTrailingSlash(alpha);
        qDebug() << "Alpha channel detected, URL =" << downloadBaseUrl;
    } else {
        m_Channel = beta ? 1 : 0;
        m_VersionNumber = 0;
        downloadBaseUrl = defaultDownloadBaseUrl();
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << downloadBaseUrl;
    }
    settings.endGroup();
}

QString Configuration::configDirectory()
{
    QString dir = qEnvironmentVariable("VT3_CONFIG_DIR");
    if (dir.isEmpty())
        return QDir::homePath() + QStringLiteral("/.vt3client/");
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return dir;
}

QString Configuration::versionServerUrl()
{
    return environmentOr("VT3_VERSION_SERVER_URL", BuildConfig::versionServerUrl);
}

QString Configuration::defaultDownloadBaseUrl()
{
    return withTrailingSlash(environmentOr("VT3_DOWNLOAD_BASE_URL", BuildConfig::downloadBaseUrl));
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        QWidget *parent = nullptr;
        const auto topLevels = QApplication::topLevelWidgets();
        for (QWidget *widget : topLevels) {
            if (widget->objectName() == QLatin1String("MainWindow")) {
                parent = widget;
                break;
            }
        }
        MessageBoxes::critical(parent, QObject::tr("Error"),
                               QObject::tr("Failed to query latest client") + QLatin1Char('\n') +
                                   QObject::tr("version from update server."),
                               QMessageBox::Abort);
        QCoreApplication::exit(0);
        return;
    }

    QString key;
    switch (m_Channel) {
    case 0:
        key = QStringLiteral("stable");
        break;
    case 1:
        key = QStringLiteral("beta");
        break;
    case 2:
        key = QStringLiteral("alpha");
        break;
    default:
        break;
    }
    const QPair<QString, QString> version = key.isEmpty() ? QPair<QString, QString>() : versions.value(key);
    qDebug() << "Received version from remote server:" << version;
    if (version.first.isEmpty()) {
        emit fatalError(QObject::tr("Update server returned no version"));
        return;
    }
    if (!setVersionNumber(version.first, QObject::tr("Update server returned invalid version nr (%1)")))
        return;
    m_VersionString = version.second;
    m_Ready = true;
    emit ready();
}

bool Configuration::initalizeStart(const QString &tempDir, const QString &installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_TempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_InstallDir = installDir.isEmpty() ? ProgramDirectory::path() : installDir;
    return true;
}

bool Configuration::createTempDir()
{
    QString temp = QDir::tempPath();
    if (temp.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!temp.endsWith(QLatin1Char('/')))
        temp += QLatin1Char('/');
    const QString stem = temp + QStringLiteral("vantorel_temp_");

    for (int j = 0; j < 1000; ++j) {
        const QString candidate = stem + QString::number(j);
        // A dangling symbolic link counts as taken too.
        if (pathEntryExists(candidate))
            continue;
        if (makePrivateDirectory(candidate)) {
            m_TempDir = candidate;
            return true;
        }
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdateSettings()
{
    const QString iniPath = ProgramDirectory::path() + QStringLiteral("/update.ini");
    QSettings settings(iniPath, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_Proxy = settings.value(QStringLiteral("proxy")).toString();
    m_Streams = settings.value(QStringLiteral("streams"), 6).toInt();
    if (m_Streams <= 0)
        m_Streams = 6;
    settings.endGroup();
}
