#include "rollback.h"
#include "fileopstestutil.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace FileOpsTestUtil;

namespace {

// Stands in for the task a journal is played back for: warnings arrive as its `message`.
class Receiver : public QObject {
    Q_OBJECT
signals:
    void message(QString message);
};

QStringList texts(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &arguments : spy) {
        result << arguments.at(0).toString();
    }
    return result;
}

} // namespace

class TestRollback : public QObject {
    Q_OBJECT

private slots:
    void init();

    void emptyJournalSucceedsSilently();
    void undoesNewestFirst();
    void undoesEveryKind();
    void failedUndo_data();
    void failedUndo();
    void failedUndoDoesNotStopPlayback();
    void nullReceiverIsSilent();
    void receiverWithoutMessageSignal();
    void appendedListIsUndoneAndKept();
    void replaceRestoresPreviousContent_data();
    void replaceRestoresPreviousContent();
    void commitRemovesKeptCopies();

private:
    QString path(const QString &name) const { return m_Dir->filePath(name); }

    QScopedPointer<QTemporaryDir> m_Dir;
};

void TestRollback::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
}

void TestRollback::emptyJournalSucceedsSilently()
{
    Receiver receiver;
    QSignalSpy spy(&receiver, &Receiver::message);
    RollbackDataList journal;
    QVERIFY(journal.rollback(&receiver));
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(spy.count(), 0);
}

void TestRollback::undoesNewestFirst()
{
    // Three records that all fail show the order through their warnings.
    Receiver receiver;
    QSignalSpy spy(&receiver, &Receiver::message);
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("A")));
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("B")));
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("C")));

    QVERIFY(!journal.rollback(&receiver));
    QCOMPARE(texts(spy), QStringList({QStringLiteral("warning: rollback create file %1 failed").arg(path("C")),
                                      QStringLiteral("warning: rollback create file %1 failed").arg(path("B")),
                                      QStringLiteral("warning: rollback create file %1 failed").arg(path("A"))}));
    QVERIFY(journal.isEmpty());

    // Order that only works newest first: the directory can go only after the files in it.
    QVERIFY(QDir(m_Dir->path()).mkdir("d"));
    QVERIFY(QDir(m_Dir->path()).mkdir("d/e"));
    QVERIFY(writeFile(path("d/e/f"), "x"));
    journal.append(RollbackData(RollbackData::DIR_CREATE, path("d")));
    journal.append(RollbackData(RollbackData::DIR_CREATE, path("d/e")));
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("d/e/f")));
    spy.clear();
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(spy.count(), 0);
    QVERIFY(!QFileInfo::exists(path("d")));
}

void TestRollback::undoesEveryKind()
{
    QVERIFY(writeFile(path("renamed"), "content"));
    QVERIFY(writeFile(path("created"), "new"));
    QVERIFY(QDir(m_Dir->path()).mkdir("dir"));

    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_RENAME, path("original"), path("renamed")));
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("created")));
    journal.append(RollbackData(RollbackData::DIR_CREATE, path("dir")));

    Receiver receiver;
    QSignalSpy spy(&receiver, &Receiver::message);
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(spy.count(), 0);
    QVERIFY(journal.isEmpty());
    QCOMPARE(readFile(path("original")), QByteArray("content"));
    QVERIFY(!QFileInfo::exists(path("renamed")));
    QVERIFY(!QFileInfo::exists(path("created")));
    QVERIFY(!QFileInfo::exists(path("dir")));
}

void TestRollback::failedUndo_data()
{
    QTest::addColumn<QStringList>("files"); // created before the playback; all must survive it
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<int>("op");
    QTest::addColumn<QString>("oldPath");
    QTest::addColumn<QString>("newPath");
    QTest::addColumn<QString>("warning"); // %1 and %2 are replaced by oldPath/newPath as full paths

    QTest::newRow("rename back onto an occupied name")
        << QStringList({"old", "new"}) << QStringList() << int(RollbackData::FILE_RENAME) << "old"
        << "new"
        << "warning: rollback rename %1 to %2 failed";
    QTest::newRow("rename of a file that is gone")
        << QStringList() << QStringList() << int(RollbackData::FILE_RENAME) << "old"
        << "new"
        << "warning: rollback rename %1 to %2 failed";
    QTest::newRow("created file already removed")
        << QStringList() << QStringList() << int(RollbackData::FILE_CREATE) << QString() << "gone"
        << "warning: rollback create file %2 failed";
    QTest::newRow("created dir holds an unjournaled file")
        << QStringList({"dir/stray"}) << QStringList({"dir"}) << int(RollbackData::DIR_CREATE) << QString() << "dir"
        << "warning: rollback create dir %2 failed";
    QTest::newRow("created dir already removed")
        << QStringList() << QStringList() << int(RollbackData::DIR_CREATE) << QString() << "dir"
        << "warning: rollback create dir %2 failed";
    QTest::newRow("kept copy of a replaced file is gone")
        << QStringList({"file"}) << QStringList() << int(RollbackData::FILE_REPLACE) << "file.kept"
        << "file"
        << "warning: rollback restore file %2 from %1 failed";
}

void TestRollback::failedUndo()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, dirs);
    QFETCH(int, op);
    QFETCH(QString, oldPath);
    QFETCH(QString, newPath);
    QFETCH(QString, warning);

    for (const QString &dir : dirs) {
        QVERIFY(QDir(m_Dir->path()).mkpath(dir));
    }
    for (const QString &file : files) {
        QVERIFY(writeFile(path(file), file.toUtf8()));
    }
    const QString from = oldPath.isEmpty() ? QString() : path(oldPath);
    const QString to = path(newPath);
    RollbackDataList journal;
    if (op == RollbackData::FILE_RENAME || op == RollbackData::FILE_REPLACE) {
        journal.append(RollbackData(op, from, to));
    } else {
        journal.append(RollbackData(op, to));
    }

    Receiver receiver;
    QSignalSpy spy(&receiver, &Receiver::message);
    QVERIFY(!journal.rollback(&receiver));
    QVERIFY(journal.isEmpty());
    QString expected = warning;
    expected.replace("%1", from).replace("%2", to);
    QCOMPARE(texts(spy), QStringList(expected));
    for (const QString &file : files) {
        QCOMPARE(readFile(path(file)), file.toUtf8());
    }
}

void TestRollback::failedUndoDoesNotStopPlayback()
{
    QVERIFY(writeFile(path("older"), "1"));
    QVERIFY(QDir(m_Dir->path()).mkdir("dir"));
    QVERIFY(writeFile(path("dir/stray"), "2"));
    QVERIFY(writeFile(path("newer"), "3"));

    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("older")));
    journal.append(RollbackData(RollbackData::DIR_CREATE, path("dir")));
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("newer")));

    Receiver receiver;
    QSignalSpy spy(&receiver, &Receiver::message);
    QVERIFY(!journal.rollback(&receiver));
    QCOMPARE(texts(spy), QStringList(QStringLiteral("warning: rollback create dir %1 failed").arg(path("dir"))));
    QVERIFY(!QFileInfo::exists(path("older")));
    QVERIFY(!QFileInfo::exists(path("newer")));
    QVERIFY(QFileInfo::exists(path("dir/stray")));
    QVERIFY(journal.isEmpty());
    QVERIFY(journal.rollback(&receiver));
}

void TestRollback::nullReceiverIsSilent()
{
    // Anything the journal tried to say would land on this object if the receiver leaked through.
    Receiver bystander;
    QSignalSpy spy(&bystander, &Receiver::message);
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("missing")));
    journal.append(RollbackData(RollbackData::DIR_CREATE, path("missing-dir")));
    QVERIFY(!journal.rollback(nullptr));
    QVERIFY(journal.isEmpty());
    QCOMPARE(spy.count(), 0);
}

void TestRollback::receiverWithoutMessageSignal()
{
    QObject plain;
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("missing")));
    QTest::ignoreMessage(QtDebugMsg, "Warning: message signal was not found in RollbackData::message");
    QVERIFY(!journal.rollback(&plain));
}

void TestRollback::appendedListIsUndoneAndKept()
{
    QVERIFY(writeFile(path("a"), "a"));
    QVERIFY(writeFile(path("b1"), "b"));
    QVERIFY(writeFile(path("b2"), "b"));

    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_CREATE, path("a")));
    RollbackDataList other;
    other.append(RollbackData(RollbackData::FILE_CREATE, path("b1")));
    other.append(RollbackData(RollbackData::FILE_CREATE, path("b2")));
    const RollbackDataList otherBefore = other;

    list.append(other);
    QCOMPARE(list.size(), 3);
    QCOMPARE(list.at(1), other.at(0));
    QCOMPARE(list.at(2), other.at(1));
    QCOMPARE(other, otherBefore);

    QVERIFY(list.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(path("a")));
    QVERIFY(!QFileInfo::exists(path("b1")));
    QVERIFY(!QFileInfo::exists(path("b2")));
    QCOMPARE(other, otherBefore);
}

void TestRollback::replaceRestoresPreviousContent_data()
{
    QTest::addColumn<bool>("newFileInPlace");
    QTest::newRow("new content in place") << true;
    QTest::newRow("replacement never arrived") << false;
}

void TestRollback::replaceRestoresPreviousContent()
{
    QFETCH(bool, newFileInPlace);

    QByteArray previous;
    for (int i = 0; i < 70000; ++i) {
        previous.append(char(i * 7 % 256));
    }
    QVERIFY(writeFile(path("lib.so"), previous));
    QVERIFY(QFile::setPermissions(path("lib.so"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // What an installer does: keep the previous file aside, then put the new one in place.
    QVERIFY(QFile::rename(path("lib.so"), path(".lib.so.kept")));
    if (newFileInPlace) {
        QVERIFY(writeFile(path("lib.so"), "new content"));
    }
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_REPLACE, path(".lib.so.kept"), path("lib.so")));

    Receiver receiver;
    QSignalSpy spy(&receiver, &Receiver::message);
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(spy.count(), 0);
    QCOMPARE(readFile(path("lib.so")), previous);
    QVERIFY(QFileInfo(path("lib.so")).isExecutable());
    QVERIFY(!QFileInfo::exists(path(".lib.so.kept")));
}

void TestRollback::commitRemovesKeptCopies()
{
    QVERIFY(writeFile(path("a"), "new a"));
    QVERIFY(writeFile(path("a.kept"), "old a"));
    QVERIFY(writeFile(path("b"), "new b"));
    QVERIFY(writeFile(path("created"), "c"));

    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_REPLACE, path("a.kept"), path("a")));
    journal.append(RollbackData(RollbackData::FILE_CREATE, path("created")));
    journal.append(RollbackData(RollbackData::FILE_REPLACE, path("b.kept"), path("b"))); // copy already gone

    Receiver receiver;
    QSignalSpy spy(&receiver, &Receiver::message);
    QVERIFY(!journal.commit(&receiver));
    QCOMPARE(
        texts(spy),
        QStringList(QStringLiteral("warning: could not remove kept copy %1 of %2").arg(path("b.kept"), path("b"))));
    QVERIFY(journal.isEmpty());
    QVERIFY(!QFileInfo::exists(path("a.kept")));
    QCOMPARE(readFile(path("a")), QByteArray("new a"));
    QCOMPARE(readFile(path("b")), QByteArray("new b"));
    QCOMPARE(readFile(path("created")), QByteArray("c"));

    // Nothing left to undo: the installed files are final.
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(readFile(path("a")), QByteArray("new a"));
}

QTEST_GUILESS_MAIN(TestRollback)
#include "tst_rollback.moc"
