#include "filetaskspecification_patch.h"

#include "filefuncpatch.h"

#include <QDebug>

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList *rollback, const QString &srcFile,
                                                         const QString &patchFile, const QString &dstFile,
                                                         QObject *parent, qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not patch '%1' to '%2'").arg(srcFile, dstFile), rollback, srcFile,
                              patchFile, dstFile, parent, weight)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << srcFile << "patchFile:" << patchFile << "dstFile:" << dstFile;
}

ASyncFunc *FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(m_Source, m_PatchPath, m_Destination);
}
