#include "fileunpackfunc_lzma2.h"

#include "lib/vtpatch.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_Source, m_Destination);
}

bool FileUnpackFunc_lzma2::unpackFile(const QString &source, const QString &destination)
{
    const QByteArray sourcePath = source.toUtf8();
    const QByteArray destinationPath = destination.toUtf8();
    const bool result = vtpatch::UnpackLzmaContainer(sourcePath.toStdString(), destinationPath.toStdString());
    qDebug() << "unpackFile" << source << destination << (result ? "true" : "false");
    return result;
}
