#include "updateengine.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
void writeFile(const QString &path, const QByteArray &content = QByteArray("x"))
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

// Every entry below root, relative, sorted; directories end in "/".
QStringList entries(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        result << QDir(root).relativeFilePath(path) + (info.isDir() && !info.isSymLink() ? "/" : "");
    }
    result.sort();
    return result;
}
} // namespace

class tst_UpdateEngine : public QObject {
    Q_OBJECT

private slots:
    void removeLeftovers_data();
    void removeLeftovers();
    void leftoverLinksGoButNotTheirTargets();
};

void tst_UpdateEngine::removeLeftovers_data()
{
    QTest::addColumn<QStringList>("before"); // files; a name ending in "/" is an empty directory
    QTest::addColumn<QStringList>("after");

    QTest::newRow("every name of both lists") << QStringList{"libQtCore.so.4",      "libQtGui.so.4",
                                                             "libQtNetwork.so.4",   "libQtSql.so.4",
                                                             "_old_update",         "_old_libQtCore.so.4",
                                                             "_old_libQtGui.so.4",  "_old_libQtNetwork.so.4",
                                                             "_old_libQtSql.so.4",  "_old_libQt5Core.so.5",
                                                             "_old_libQt5Gui.so.5", "_old_libQt5Network.so.5",
                                                             "_old_libQt5Sql.so.5", "_old_libqgif.so",
                                                             "_old_libqjpeg.so",    "_old_libqtaccessiblewidgets.so",
                                                             "_old_libsqlite.so"}
                                              << QStringList();
    QTest::newRow("current files stay") << QStringList{"update",     "libQt5Core.so.5", "libqjpeg.so",   "update.ini",
                                                       "_old_other", "old_update",      "libQtCore.so.5"}
                                        << QStringList{"libQt5Core.so.5", "libQtCore.so.5", "libqjpeg.so", "old_update",
                                                       "_old_other",      "update",         "update.ini"};
    QTest::newRow("Qt4 files only at the top")
        << QStringList{"old/libQtCore.so.4", "imageformats/libQtGui.so.4"}
        << QStringList{"imageformats/", "imageformats/libQtGui.so.4", "old/", "old/libQtCore.so.4"};
    QTest::newRow("old files in the four subdirectories")
        << QStringList{"old/_old_update",
                       "imageformats/_old_libqjpeg.so",
                       "imageformats/libqjpeg.so",
                       "accessible/_old_libqtaccessiblewidgets.so",
                       "sqldrivers/_old_libsqlite.so",
                       "platforms/_old_libqgif.so"}
        << QStringList{
               "accessible/", "imageformats/", "imageformats/libqjpeg.so", "platforms/", "platforms/_old_libqgif.so",
               "sqldrivers/"};
    QTest::newRow("empty old directory goes") << QStringList{"old/"} << QStringList();
    QTest::newRow("old directory with other files stays")
        << QStringList{"old/_old_update", "old/notes.txt"} << QStringList{"old/", "old/notes.txt"};
    QTest::newRow("old directory with a subdirectory stays")
        << QStringList{"old/sub/"} << QStringList{"old/", "old/sub/"};
    QTest::newRow("a directory under a leftover name stays")
        << QStringList{"_old_update/", "libQtSql.so.4/"} << QStringList{"_old_update/", "libQtSql.so.4/"};
}

void tst_UpdateEngine::removeLeftovers()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString &name : before) {
        if (name.endsWith('/'))
            QVERIFY(QDir().mkpath(dir.filePath(name)));
        else
            writeFile(dir.filePath(name));
    }

    UpdateEngine::removeLeftovers(dir.path());
    after.sort();
    QCOMPARE(entries(dir.path()), after);
}

void tst_UpdateEngine::leftoverLinksGoButNotTheirTargets()
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    QVERIFY(dir.isValid() && elsewhere.isValid());
    writeFile(elsewhere.filePath("precious"));
    QVERIFY(QDir().mkdir(elsewhere.filePath("emptydir")));
    QVERIFY(QFile::link(elsewhere.filePath("precious"), dir.filePath("_old_update")));
    QVERIFY(QFile::link(elsewhere.filePath("precious"), dir.filePath("libQtCore.so.4")));
    QVERIFY(QFile::link(elsewhere.filePath("missing"), dir.filePath("_old_libsqlite.so")));
    // A link named "old" to an empty directory is not the program's own "old" directory.
    QVERIFY(QFile::link(elsewhere.filePath("emptydir"), dir.filePath("old")));

    UpdateEngine::removeLeftovers(dir.path());
    QCOMPARE(entries(dir.path()), QStringList{"old"});
    QVERIFY(QFileInfo::exists(elsewhere.filePath("precious")));
    QVERIFY(QFileInfo(elsewhere.filePath("emptydir")).isDir());
}

QTEST_GUILESS_MAIN(tst_UpdateEngine)
#include "tst_updateengine.moc"
