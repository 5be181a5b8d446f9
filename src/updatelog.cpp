#include "updatelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug";
    case QtInfoMsg:
        return "Info";
    case QtWarningMsg:
        return "Warning";
    case QtCriticalMsg:
        return "Critical";
    case QtFatalMsg:
        return "Fatal";
    }
    return nullptr;
}

// Opens (creating it if needed) the log directory as a directory of our own, without following a
// symbolic link. Returns the descriptor or -1.
int openOwnDirectory(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return -1;
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

UpdateLog::UpdateLog(const QString &tempDir, const QDateTime &startTime)
{
    // QDir::tempPath() is empty when TMPDIR names no directory; there is no place for the log then.
    m_Enabled = !tempDir.isEmpty() && QFileInfo::exists(tempDir + QStringLiteral("/vt3_update_log"));
    if (m_Enabled)
        open(tempDir + QStringLiteral("/vantorel_update_log"), fileNameFor(startTime));
}

UpdateLog::~UpdateLog()
{
    close();
}

UpdateLog *UpdateLog::instance()
{
    static UpdateLog *const log = new UpdateLog(QDir::tempPath(), QDateTime::currentDateTime());
    return log;
}

QString UpdateLog::fileNameFor(const QDateTime &startTime)
{
    QString stamp = startTime.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss"));
    stamp.replace(QLatin1Char(':'), QLatin1Char('_'));
    stamp.replace(QLatin1Char('T'), QStringLiteral("__"));
    return QStringLiteral("update__") + stamp + QStringLiteral(".log");
}

void UpdateLog::open(const QString &directory, const QString &fileName)
{
    const int dirFd = openOwnDirectory(QFile::encodeName(directory));
    if (dirFd < 0)
        return;
    // O_NOFOLLOW: a link planted under the file's name must not make us truncate its target.
    const int fd = ::openat(dirFd, QFile::encodeName(fileName).constData(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    ::close(dirFd);
    if (fd < 0)
        return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    auto *file = new QFile;
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        delete file;
        return;
    }
    m_File = file;
    m_FilePath = directory + QLatin1Char('/') + fileName;
}

bool UpdateLog::isOpen() const
{
    return m_File != nullptr;
}

void UpdateLog::write(QtMsgType type, const QString &text)
{
    if (!m_Enabled)
        return;
    QMutexLocker locker(&m_Mutex);
    if (!m_File)
        return;
    if (const char *word = levelWord(type)) {
        QByteArray line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz")).toLatin1();
        line += "\t|\t";
        line += word;
        line += "\t|\t";
        line += text.toLocal8Bit();
        line += '\n';
        m_File->write(line);
    }
    m_File->flush();
}

void UpdateLog::close()
{
    QMutexLocker locker(&m_Mutex);
    if (!m_File)
        return;
    m_File->flush();
    m_File->close();
    delete m_File;
    m_File = nullptr;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Q_UNUSED(context)
    UpdateLog::instance()->write(type, message);
    if (type == QtFatalMsg)
        std::abort();
}
