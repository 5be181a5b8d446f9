#include "filecopyfunc.h"

#include <QDebug>
#include <QFile>

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination) : SlowFileOpFunc(source, destination) {}

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_Source << m_Destination;
    // QFile::copy writes a temporary file beside the destination and renames it into place, so a
    // failed copy leaves no partial destination behind.
    return QFile::copy(m_Source, m_Destination);
}
