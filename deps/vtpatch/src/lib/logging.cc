#include "lib/logging.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace vtpatch {

namespace {

std::mutex &SinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

LogSink &Sink()
{
    static LogSink sink;
    return sink;
}

} // namespace

void SetLogSink(LogSink sink)
{
    std::lock_guard<std::mutex> lock(SinkMutex());
    Sink() = std::move(sink);
}

void Log(LogLevel level, const std::string &text)
{
    {
        std::lock_guard<std::mutex> lock(SinkMutex());
        if (Sink()) {
            Sink()(level, text);
        } else if (level == LOG_CRITICAL) {
            std::fprintf(stderr, "vtpatch CRITICAL: %s\n", text.c_str());
        }
    }
    if (level == LOG_CRITICAL) {
        std::fflush(nullptr);
        // Quick exit: other threads may still hold engine state, so no static destructors run.
        std::_Exit(1);
    }
}

const char *LogLevelName(LogLevel level)
{
    switch (level) {
    case LOG_CRITICAL:
        return "CRITICAL";
    case LOG_ERROR:
        return "ERROR";
    case LOG_WARNING:
        return "WARNING";
    case LOG_DEBUG:
        return "DEBUG";
    case LOG_INFO:
        return "INFO";
    case LOG_DEVELOP:
        return "DEVELOP";
    }
    return "UNKNOWN";
}

} // namespace vtpatch
