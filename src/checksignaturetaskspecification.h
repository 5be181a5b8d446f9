#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QString>

// Checks one local file on a pool thread: against the detached RSA signature beside it (file + ".sig")
// when the expected digest is empty, else against that SHA-512 digest (hexadecimal, any letter case).
// Reports the verdict with checkDone before it ends. A false verdict also emits the message
// "Signature check failed for %1"; it fails the task only when built with failOnMismatch, otherwise the
// task finishes and the parent decides. No error signal: the parent words the error.
//
// Threads: GUI thread; the check runs on the global thread pool.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
    Q_DISABLE_COPY(CheckSignatureTaskSpecification)

public:
    CheckSignatureTaskSpecification(const QString &filePath, const QString &expectedDigest, bool failOnMismatch,
                                    QObject *parent, qreal weight);

    QString filePath() const { return m_FilePath; }

public slots:
    ASyncFunc *createFunc() override;
    void runDone(bool res) override;

signals:
    // Once per run, with the verdict and this task, before the task reports its end.
    void checkDone(bool pass, CheckSignatureTaskSpecification *task);

private:
    const QString m_FilePath;
    const QString m_ExpectedDigest;
    const bool m_FailOnMismatch;
};

#endif // CHECKSIGNATURETASKSPECIFICATION_H
