#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(const DeleteList *deleteList, Configuration *config,
                                                                 QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_DeleteList(deleteList), m_Config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    const int n = m_DeleteList->size();
    const QDir installDir(m_Config->m_InstallDir);
    for (const DeleteEntry &entry : *m_DeleteList) {
        // QFileInfo(QDir, path) keeps an absolute path as it is.
        const QString resolved = QFileInfo(installDir, entry.path).filePath();
        addSubtask(new FileDeleteTaskSpecification(false, resolved, entry.recursive, this, 1.0 / n));
    }
    startSubtasks();
}

void FileDeleteListTaskSpecification::reset()
{
    // discardSubtasks also clears the run's bookkeeping, so the next execute() starts clean.
    discardSubtasks();
    TaskSpecification::reset();
}
