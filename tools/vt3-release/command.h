#ifndef VT3_RELEASE_COMMAND_H
#define VT3_RELEASE_COMMAND_H

#include <QString>
#include <QStringList>

#include <vector>

namespace vt3release {

// Exit codes: 0 success, 1 the work failed (message on standard error), 2 the command line is unusable.
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

// One subcommand. `run` gets the arguments after the subcommand's name and prints its own errors.
struct Command {
    const char *name;
    const char *arguments; // e.g. "FILE [--key PRIVATE.der]"
    const char *summary;   // one line for the overview
    const char *help;      // what it does, its options and exit codes; may span lines
    int (*run)(const QStringList &args);
};

// Each subcommand lives in its own file and registers itself with a file-level object, so adding one
// needs no change elsewhere:
//   static const vt3release::CommandRegistrar registrar({"sign", "FILE", "...", "...", &runSign});
struct CommandRegistrar {
    explicit CommandRegistrar(const Command &command);
};

// The registered commands, sorted by name.
const std::vector<Command> &commands();

// "vt3-release: " + text on standard error.
void printError(const QString &text);
// True when args ask for help ("-h", "--help").
bool wantsHelp(const QStringList &args);
// Prints the command's usage and help to standard output.
void printCommandHelp(const Command &command);
// Prints the problem and the command's usage to standard error; returns ExitUsage.
int usageError(const Command &command, const QString &problem);

} // namespace vt3release

#endif // VT3_RELEASE_COMMAND_H
