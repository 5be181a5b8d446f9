#ifndef VTPATCH_LOGGING_H
#define VTPATCH_LOGGING_H

#include <functional>
#include <string>

namespace vtpatch {

// Levels of the engine log, most severe first. The numbers are stable.
enum LogLevel : int {
    LOG_CRITICAL = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_DEBUG = 3,
    LOG_INFO = 4,
    LOG_DEVELOP = 5,
};

// Where records go. Called with the engine's records from whichever thread wrote them, one
// call at a time (calls are serialised), so a sink needs no locking of its own.
using LogSink = std::function<void(LogLevel level, const std::string &text)>;

// Installs the sink (an empty function removes it). Without a sink records go nowhere, except
// CRITICAL ones, which are written to standard error. Not to be called while other threads log.
void SetLogSink(LogSink sink);

// Writes one record. A CRITICAL record means the engine's own invariants are broken: after it
// was written the process ends at once with exit status 1.
void Log(LogLevel level, const std::string &text);

// The level's name as the command-line tools print it: "CRITICAL", "ERROR", ...
const char *LogLevelName(LogLevel level);

} // namespace vtpatch

#endif // VTPATCH_LOGGING_H
