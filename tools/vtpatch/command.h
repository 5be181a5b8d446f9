#ifndef VTPATCH_TOOL_COMMAND_H
#define VTPATCH_TOOL_COMMAND_H

#include <string>
#include <vector>

namespace vtpatch {
class MappedFile;
class WriteStream;
} // namespace vtpatch

namespace vtpatch_tool {

// Exit code for a command line that cannot be used. Kept apart from the small numbers, which
// `apply` uses for patch statuses.
constexpr int kUsageError = 64;

// One subcommand of the tool. `run` gets the arguments after the subcommand's name, with the
// global options (--verbose) already removed; it prints its own errors to standard error.
struct Command {
    const char *name;
    const char *arguments; // e.g. "OLD PATCH NEW"
    const char *help;      // what it does and its exit codes; may span lines
    int (*run)(const std::vector<std::string> &args);
};

// Each subcommand file registers itself with a file-level object:
//   static const vtpatch_tool::CommandRegistrar registrar({"diff", "OLD NEW PATCH", "...", &RunDiff});
struct CommandRegistrar {
    explicit CommandRegistrar(const Command &command);
};

const std::vector<Command> &Commands();

// Whether the command line asked for the engine's log records (--verbose). Set once by main
// before the command runs; commands that install their own log sink forward records with
// PrintLogRecord when it is true, so --verbose keeps working for them.
bool Verbose();
void SetVerbose(bool verbose);

// Writes one engine log record to standard error, as --verbose shows them.
void PrintLogRecord(int level, const std::string &text);

// Prints "usage: vtpatch NAME ARGUMENTS" and the command's help to standard error and returns
// kUsageError; for subcommands whose arguments do not fit.
int UsageError(const Command &command, const std::string &problem);

// For subcommands taking exactly three file names: false with *exitCode set (after printing the
// usage) when there are not three or one of them is empty or looks like an option.
bool CheckFileArguments(const Command &command, const std::vector<std::string> &args, int *exitCode);

// Maps an input file's bytes when there are any. Unlike the engine's inputs, an empty file is a
// perfectly good old or new version here: *file then stays unopened (no data, length 0). False
// with *error ("cannot read 'PATH': reason") when the file cannot be read.
bool OpenInputFile(const std::string &path, vtpatch::MappedFile *file, std::string *error);

// Writes the whole output file; false with *error ("cannot write 'PATH': reason") otherwise.
bool WriteOutputFile(const std::string &path, const vtpatch::WriteStream &bytes, std::string *error);

// A progress line on standard error for long work ("make-patch: 45%"), shown only when the input
// is large enough for a person to wait for it and standard error is a terminal.
class Progress {
public:
    Progress(const char *what, unsigned long long totalBytes);
    ~Progress();
    void Update(unsigned long long doneBytes);

    Progress(const Progress &) = delete; // owns the terminal line
    Progress &operator=(const Progress &) = delete;

private:
    const char *m_what;
    unsigned long long m_total;
    int m_lastPercent = -1;
    bool m_shown;
};

} // namespace vtpatch_tool

#endif // VTPATCH_TOOL_COMMAND_H
