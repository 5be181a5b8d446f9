#include "fileunpacktaskspecification_lzma2.h"

#include "fileunpackfunc_lzma2.h"

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList *rollback, const QString &source,
                                                                     const QString &destination, QObject *parent,
                                                                     qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not unpack '%1' to '%2'").arg(source, destination), rollback,
                              source, destination, parent, weight)
{
}

ASyncFunc *FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(m_Source, m_Destination);
}
