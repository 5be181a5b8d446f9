#include "applyensemblepatch.h"

#include "lib/vtpatch.h"

#include <QDebug>

bool ApplyEnsemblePatch(const char *oldFile, const char *patchFile, const char *newFile)
{
    const int status = vtpatch::ApplyEnsemblePatchToFiles(oldFile, patchFile, newFile);
    qDebug() << "ApplyEnsemblePatch status =" << status << oldFile << patchFile << newFile;
    return ApplyEnsemblePatchResult(status);
}

bool ApplyEnsemblePatchResult(int status)
{
    switch (status) {
    case vtpatch::PATCH_OK:
        return true;
    case vtpatch::PATCH_BAD_MAGIC:
        qDebug() << "Not an ensemble patch";
        return false;
    case vtpatch::PATCH_BAD_VERSION:
        qDebug() << "Wrong version patch";
        return false;
    case vtpatch::PATCH_BAD_HEADER:
        qDebug() << "Corrupt patch";
        return false;
    case vtpatch::PATCH_STREAM_ERROR:
        qDebug() << "Stream error (likely out of memory or disk space)";
        return false;
    case vtpatch::PATCH_DISASSEMBLY_ERROR:
        qDebug() << "Disassembly failed (could be because of memory issues)";
        return false;
    default:
        return false;
    }
}
