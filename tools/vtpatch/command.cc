#include "command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/logging.h"
#include "lib/mapped_file.h"
#include "lib/streams.h"

namespace vtpatch_tool {

namespace {

std::vector<Command> &Registry()
{
    static std::vector<Command> commands;
    return commands;
}

bool g_verbose = false;

// Below this size work finishes before a progress line would be read.
constexpr unsigned long long kProgressThreshold = 4ull << 20;

} // namespace

CommandRegistrar::CommandRegistrar(const Command &command)
{
    Registry().push_back(command);
}

const std::vector<Command> &Commands()
{
    return Registry();
}

bool Verbose()
{
    return g_verbose;
}

void SetVerbose(bool verbose)
{
    g_verbose = verbose;
}

void PrintLogRecord(int level, const std::string &text)
{
    std::fprintf(stderr, "vtpatch %s: %s\n", vtpatch::LogLevelName(static_cast<vtpatch::LogLevel>(level)),
                 text.c_str());
}

int UsageError(const Command &command, const std::string &problem)
{
    if (!problem.empty())
        std::fprintf(stderr, "vtpatch %s: %s\n", command.name, problem.c_str());
    std::fprintf(stderr, "usage: vtpatch %s %s\n\n%s\n", command.name, command.arguments, command.help);
    return kUsageError;
}

bool CheckFileArguments(const Command &command, const std::vector<std::string> &args, int *exitCode)
{
    if (args.size() != 3) {
        *exitCode = UsageError(command, "expected 3 arguments, got " + std::to_string(args.size()));
        return false;
    }
    for (const std::string &arg : args) {
        if (arg.empty() || (arg.size() > 1 && arg[0] == '-')) {
            *exitCode = UsageError(command, arg.empty() ? "empty file name" : "unknown option '" + arg + "'");
            return false;
        }
    }
    return true;
}

bool OpenInputFile(const std::string &path, vtpatch::MappedFile *file, std::string *error)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        *error = "cannot read '" + path + "': it is a directory";
        return false;
    }
    if (info.st_size == 0)
        return true;
    if (!file->Open(path)) {
        *error = "cannot read '" + path + "': " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

bool WriteOutputFile(const std::string &path, const vtpatch::WriteStream &bytes, std::string *error)
{
    if (vtpatch::WriteWholeFile(path, bytes.Data(), bytes.Length()))
        return true;
    *error = "cannot write '" + path + "': " + std::strerror(errno != 0 ? errno : EIO);
    return false;
}

Progress::Progress(const char *what, unsigned long long totalBytes)
    : m_what(what), m_total(totalBytes), m_shown(totalBytes >= kProgressThreshold && isatty(STDERR_FILENO))
{
}

Progress::~Progress()
{
    if (m_shown && m_lastPercent >= 0)
        std::fprintf(stderr, "\r%s: done\033[K\n", m_what);
}

void Progress::Update(unsigned long long doneBytes)
{
    if (!m_shown || m_total == 0)
        return;
    const int percent = static_cast<int>(doneBytes * 100 / m_total);
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    std::fprintf(stderr, "\r%s: %d%%", m_what, percent);
    std::fflush(stderr);
}

} // namespace vtpatch_tool
