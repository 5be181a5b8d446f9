#include "checksignaturetaskspecification.h"

#include "checksigfunc.h"
#include "cryptexception.h"
#include "cryptohelper.h"

#include <QDebug>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString &filePath,
                                                                 const QString &expectedDigest, bool failOnMismatch,
                                                                 QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight),
      m_FilePath(filePath),
      m_ExpectedDigest(expectedDigest),
      m_FailOnMismatch(failOnMismatch)
{
}

ASyncFunc *CheckSignatureTaskSpecification::createFunc()
{
    // The engine registers the algorithms at start-up; doing it here too (a no-op then) keeps a check
    // that runs without the engine from failing for a missing registration. This is the GUI thread,
    // before the worker starts, so the tables are written before any pool thread reads them.
    try {
        CryptoHelper::initialize();
    } catch (const crypt_exception &e) {
        qWarning() << "CheckSignatureTaskSpecification:" << e.what();
    }
    return new CheckSigFunc(m_FilePath, m_ExpectedDigest);
}

void CheckSignatureTaskSpecification::runDone(bool res)
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (res) {
        emit checkDone(true, this);
        reportFinished();
        return;
    }
    qDebug() << "Signature check failed for" << m_FilePath;
    emit message(QStringLiteral("Signature check failed for %1").arg(m_FilePath));
    emit checkDone(false, this);
    if (m_FailOnMismatch)
        reportFailed();
    else
        reportFinished();
}
