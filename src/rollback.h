#ifndef ROLLBACK_H
#define ROLLBACK_H

#include <QList>
#include <QString>

class QObject;

// One undoable change of the file system, as written down after the change happened.
//
// A plain value: the journal that holds it decides when it is undone. Records are only created
// and undone in the GUI thread; the warnings of an undo go to the receiver's `message` signal.
class RollbackData {
public:
    // The stored numbers are part of the journal's contract; never renumber them.
    enum Op {
        // The file `oldPath` got the name `path`; undone by renaming it back (never overwriting).
        FILE_RENAME = 0,
        // A file was created or written at `path`; undone by removing it.
        FILE_CREATE = 1,
        // The directory `path` was created; undone by removing it if it is empty.
        DIR_CREATE = 2,
        // A file existed at `path` and was replaced; its previous content was kept, renamed aside,
        // as `oldPath` in the same directory. Undone by renaming `oldPath` back over `path`, which
        // brings the previous content back byte for byte in one atomic step. Once the change is
        // final the kept copy is removed (RollbackDataList::commit).
        FILE_REPLACE = 3,
    };

    // For FILE_RENAME (`from` is the earlier name, `to` the new one) and FILE_REPLACE (`from` is
    // the kept copy, `to` the replaced file). Any other op is a programming error.
    RollbackData(int op, const QString &from, const QString &to);
    // For FILE_CREATE and DIR_CREATE. Any other op is a programming error.
    RollbackData(int op, const QString &path);

    // Undoes this change as far as the file system allows. A failure sends one warning to the
    // receiver's `message` and returns false.
    bool rollback(QObject *receiver) const;

    // Invokes the receiver's `message(QString)` by name; a null receiver silences the text.
    static void message(QObject *receiver, const QString &text);

    bool operator==(const RollbackData &other) const
    {
        return op == other.op && path == other.path && oldPath == other.oldPath;
    }

    QString path;    // the path the change produced
    QString oldPath; // FILE_RENAME: the earlier name; FILE_REPLACE: the kept copy; else empty
    int op;
};

// The in-memory journal: records in the order the changes happened. Never written to disk, so
// nothing can be undone once the process has ended; dropping a list undoes nothing.
//
// The owning task holds the list as a value; other tasks get a plain pointer and only append.
// All of it runs in the GUI thread, so there is no locking.
class RollbackDataList : public QList<RollbackData> {
public:
    // Undoes and removes every record, newest first. A failed undo warns and does not stop the
    // playback. Returns true when every undo succeeded (also for an empty list). The list is
    // empty afterwards whatever the result.
    bool rollback(QObject *receiver);

    // Makes every recorded change final: removes the kept copies of replaced files and empties
    // the list. Returns false (after one warning per copy) when a kept copy could not be removed.
    bool commit(QObject *receiver);
};

#endif // ROLLBACK_H
