#include "slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &destination)
    : m_Source(source), m_Destination(destination)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &patchPath, const QString &destination)
    : m_Source(source), m_PatchPath(patchPath), m_Destination(destination)
{
}
