#ifndef PROGRAMDIRECTORY_H
#define PROGRAMDIRECTORY_H

#include <QString>

// The directory that holds the running updater: the installation directory in the first step, the
// session's temporary directory in the second. The state file, the network settings and the leftovers
// of older updaters are all looked up here.
//
// Tests point it at a scratch directory so that they never read or write files beside the test
// executable, which every test of the build shares. GUI thread only.
class ProgramDirectory {
public:
    ProgramDirectory() = delete;

    // The overriding path if one is set, else QCoreApplication::applicationDirPath().
    static QString path();
    // An empty path removes the override.
    static void setPath(const QString &path);
};

#endif // PROGRAMDIRECTORY_H
