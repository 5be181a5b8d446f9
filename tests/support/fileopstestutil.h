#ifndef FILEOPSTESTUTIL_H
#define FILEOPSTESTUTIL_H

// Helpers for the file-operation tests of the updater (tests/app only: uses the journal type).

#include "rollback.h"
#include "taskspecification.h"
#include "testfiles.h"

#include <QByteArray>
#include <QFile>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTest>

namespace FileOpsTestUtil {

using TestFiles::readFile;
using TestFiles::writeFile;

// The journal as readable lines ("DIR_CREATE <path>", "FILE_RENAME <old> -> <new>"), so that a
// failed comparison shows what was recorded.
inline QStringList journalText(const RollbackDataList &journal)
{
    QStringList lines;
    for (const RollbackData &record : journal) {
        switch (record.op) {
        case RollbackData::FILE_RENAME:
            lines << QStringLiteral("FILE_RENAME %1 -> %2").arg(record.oldPath, record.path);
            break;
        case RollbackData::FILE_CREATE:
            lines << QStringLiteral("FILE_CREATE %1").arg(record.path);
            break;
        case RollbackData::DIR_CREATE:
            lines << QStringLiteral("DIR_CREATE %1").arg(record.path);
            break;
        case RollbackData::FILE_REPLACE:
            lines << QStringLiteral("FILE_REPLACE %1 -> %2").arg(record.oldPath, record.path);
            break;
        default:
            lines << QStringLiteral("op %1 %2").arg(record.op).arg(record.path);
        }
    }
    return lines;
}

// Bytes that compress somewhat but not to nothing, different for each seed.
inline QByteArray sampleBytes(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2166136261u ^ quint32(seed);
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = char((i % 64 < 32) ? (state >> 24) : (i / 7));
    }
    return bytes;
}

// Runs the task to its end in the event loop and returns its final state (-1 on time-out).
inline int runToEnd(TaskSpecification *task, int timeoutMs = 60000)
{
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    if (!QTest::qWaitFor([&]() { return finished.count() + canceled.count() > 0; }, timeoutMs)) {
        return -1;
    }
    return finished.count() + canceled.count() == 1 ? task->m_TaskState : -2;
}

} // namespace FileOpsTestUtil

#endif // FILEOPSTESTUTIL_H
