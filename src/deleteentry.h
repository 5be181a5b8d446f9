#ifndef DELETEENTRY_H
#define DELETEENTRY_H

#include <QList>
#include <QString>

// One deletion the install plan asks for: a path in the installation directory (relative to it,
// or absolute) and whether a directory goes with all its contents. A plain value.
struct DeleteEntry {
    QString path;
    bool recursive = false;
};

typedef QList<DeleteEntry> DeleteList;

#endif // DELETEENTRY_H
