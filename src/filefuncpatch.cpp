#include "filefuncpatch.h"

#include "applyensemblepatch.h"

#include <QDebug>

FileFuncPatch::FileFuncPatch(const QString &source, const QString &patchPath, const QString &destination)
    : SlowFileOpFunc(source, patchPath, destination)
{
}

bool FileFuncPatch::run()
{
    return patchFile(m_Source, m_PatchPath, m_Destination);
}

bool FileFuncPatch::patchFile(const QString &oldFile, const QString &patchFile, const QString &newFile)
{
    const QByteArray oldPath = oldFile.toUtf8();
    const QByteArray patchPath = patchFile.toUtf8();
    const QByteArray newPath = newFile.toUtf8();
    const bool result = ApplyEnsemblePatch(oldPath.constData(), patchPath.constData(), newPath.constData());
    qDebug() << "Patch result" << (result ? "true" : "false");
    return result;
}
