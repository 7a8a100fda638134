#include "platform/FolderBookmark.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>

class TestFolderBookmark : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void createNeedsAnExistingFolder_data();
    void createNeedsAnExistingFolder();
    void resolvesToTheSameFolder();
    void replacedFolderIsStale();
    void unknownDataFailsToResolve_data();
    void unknownDataFailsToResolve();
};

void TestFolderBookmark::createNeedsAnExistingFolder_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("created");
    QTest::newRow("folder") << "folder" << true;
    QTest::newRow("folder with trailing slash") << "folder/" << true;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("regular file") << "file" << false;
    QTest::newRow("relative path") << "relative" << false;
    QTest::newRow("empty") << "empty" << false;
}

void TestFolderBookmark::createNeedsAnExistingFolder() {
    QFETCH(QString, kind);
    QFETCH(bool, created);
    const QString root = makeTempDir(QStringLiteral("bm"));
    QString path;
    if (kind.startsWith(QStringLiteral("folder")))
        path = root + (kind.endsWith(u'/') ? QStringLiteral("/") : QString());
    else if (kind == QStringLiteral("missing"))
        path = root + QStringLiteral("/nothing");
    else if (kind == QStringLiteral("file")) {
        path = root + QStringLiteral("/f");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (kind == QStringLiteral("relative"))
        path = QStringLiteral("some/folder");
    QString error;
    const std::optional<QByteArray> bookmark = FolderBookmark::create(path, &error);
    QCOMPARE(bookmark.has_value(), created);
    QCOMPARE(error.isEmpty(), created);
    if (created)
        QCOMPARE(FolderBookmark::resolve(*bookmark)->path, root);
}

void TestFolderBookmark::resolvesToTheSameFolder() {
    const QString folder = makeTempDir(QStringLiteral("Family \"Photos\"\n2026"));
    const QByteArray bookmark = *FolderBookmark::create(folder);
    const std::optional<FolderBookmark::Resolved> resolved = FolderBookmark::resolve(bookmark);
    QVERIFY(resolved);
    QCOMPARE(resolved->path, folder);
    QVERIFY(!resolved->isStale);
    QVERIFY(FolderBookmark::startAccessing(folder));
}

void TestFolderBookmark::replacedFolderIsStale() {
    const QString folder = makeTempDir(QStringLiteral("replaced"));
    const QByteArray bookmark = *FolderBookmark::create(folder);
    QVERIFY(QDir().rename(folder, folder + QStringLiteral("-old"))); // keeps the old inode in use
    QString error;
    QVERIFY(!FolderBookmark::resolve(bookmark, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QDir().mkpath(folder));
    const std::optional<FolderBookmark::Resolved> resolved = FolderBookmark::resolve(bookmark);
    QVERIFY(resolved);
    QVERIFY(resolved->isStale);
    QCOMPARE(resolved->path, folder);
}

void TestFolderBookmark::unknownDataFailsToResolve_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("a bare path") << QByteArray("/tmp");
    QTest::newRow("magic, no body") << QByteArray("orlavant-folder-bookmark-1\n");
    QTest::newRow("relative path") << QByteArray(
        "orlavant-folder-bookmark-1\n{\"path\":\"tmp\",\"device\":\"1\",\"inode\":\"2\"}");
    QTest::newRow("inode not a number")
        << QByteArray("orlavant-folder-bookmark-1\n{\"path\":\"/tmp\",\"device\":\"1\",\"inode\":\"x\"}");
}

void TestFolderBookmark::unknownDataFailsToResolve() {
    QFETCH(QByteArray, data);
    QString error;
    QVERIFY(!FolderBookmark::resolve(data, &error));
    QVERIFY(!error.isEmpty());
}

ORLAVANT_TEST_GUILESS_MAIN(TestFolderBookmark)
#include "tst_folderbookmark.moc"
