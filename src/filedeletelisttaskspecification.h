#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"

class Configuration;

// The pipeline step that deletes what the install plan lists, one path after another, each
// resolved against the installation directory. A deletion that fails never fails the list (it is
// only logged): a leftover file must not undo an otherwise complete update. Nothing is journaled.
//
// The delete list and the configuration are not owned and must outlive the task; the list is
// read when execute() builds the subtasks. GUI thread only.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY(FileDeleteListTaskSpecification)

public:
    FileDeleteListTaskSpecification(const DeleteList *deleteList, Configuration *config, QObject *parent, qreal weight);

public slots:
    // Emits "Starting deleting files", builds one delete task per entry (weight 1/n each) and starts
    // them; an empty list finishes at once.
    void execute() override;
    // Drops the subtasks (the next execute() builds them afresh), then the base task reset.
    void reset() override;

private:
    const DeleteList *m_DeleteList;
    Configuration *m_Config;
};

#endif // FILEDELETELISTTASKSPECIFICATION_H
