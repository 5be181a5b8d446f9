#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

// The session state file: the group "current" of "update.ini" beside the running updater, which
// records the target version, the session's temporary directory, the installation directory and the
// client type. With it an interrupted session is continued and the second step finds the session the
// first step began. Other groups of the file ("update", "Channel") are read elsewhere and preserved
// by every write.
//
// Static operations only; each opens the file anew, so the file is the only shared state.
// GUI thread only; the single-instance guard keeps other writers away.
class UpdateIniData {
public:
    UpdateIniData() = delete;

    // ProgramDirectory::path() + "/update.ini".
    static QString fileName();

    // True when the group "current" is valid: "version" is a number, "type" and "dir" are not empty
    // and something exists at "dir". Only then are the non-null outputs written.
    static bool get(int *version, QString *type, QString *dir, QString *vt3dir);
    // Writes the group "current"; true when the settings report no error after the write.
    static bool modify(int version, const QString &dir, const QString &vt3dir, const QString &type);
    // Copies the session into tempDir + "/update.ini" with the second step's client type.
    static bool modifyTempIni(const QString &tempDir);

private:
    static bool writeSession(const QString &path, int version, const QString &dir, const QString &vt3dir,
                             const QString &type, const char *what);
};

#endif // UPDATEINIDATA_H
