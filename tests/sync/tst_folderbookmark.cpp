#include "platform/FolderBookmark.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>

using namespace Qt::StringLiterals;

class TestFolderBookmark : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void create_data();
    void create();
    void replacedFolderIsStale();
    void unknownDataFailsToResolve_data();
    void unknownDataFailsToResolve();
};

void TestFolderBookmark::create_data() {
    QTest::addColumn<QString>("path"); // below a fresh folder; "relative" stands alone
    QTest::addColumn<bool>("created");
    QTest::newRow("folder") << "" << true;
    QTest::newRow("folder with trailing slash") << "/" << true;
    QTest::newRow("missing") << "/nothing" << false;
    QTest::newRow("regular file") << "/f" << false;
    QTest::newRow("relative path") << "relative" << false;
}

void TestFolderBookmark::create() {
    QFETCH(QString, path);
    QFETCH(bool, created);
    const QString root = makeTempDir(u"Family \"Photos\"\n2026"_s);
    QVERIFY(QFile(root + u"/f"_s).open(QIODevice::WriteOnly));
    QString error;
    const auto bookmark =
        FolderBookmark::create(path == u"relative"_s ? u"some/folder"_s : root + path, &error);
    QCOMPARE(bookmark.has_value(), created);
    QCOMPARE(error.isEmpty(), created);
    const std::optional<FolderBookmark::Resolved> resolved = FolderBookmark::resolve(bookmark.value_or(""));
    QCOMPARE(resolved ? resolved->path : QString(), created ? root : QString());
    QVERIFY(!created || (!resolved->isStale && FolderBookmark::startAccessing(root)));
}

void TestFolderBookmark::replacedFolderIsStale() {
    const QString folder = makeTempDir(u"replaced"_s);
    const QByteArray bookmark = *FolderBookmark::create(folder);
    QVERIFY(QDir().rename(folder, folder + u"-old"_s)); // keeps the old inode in use
    QString error;
    QVERIFY(!FolderBookmark::resolve(bookmark, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QDir().mkpath(folder));
    const std::optional<FolderBookmark::Resolved> resolved = FolderBookmark::resolve(bookmark);
    QVERIFY(resolved && resolved->isStale);
    QCOMPARE(resolved->path, folder);
}

void TestFolderBookmark::unknownDataFailsToResolve_data() {
    QTest::addColumn<QByteArray>("data");
    const QByteArray magic = "orlavant-folder-bookmark-1\n";
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("a bare path") << QByteArray("/tmp");
    QTest::newRow("magic, no body") << magic;
    QTest::newRow("relative path") << magic + R"({"path":"tmp","device":"1","inode":"2"})";
    QTest::newRow("inode not a number") << magic + R"({"path":"/tmp","device":"1","inode":"x"})";
}

void TestFolderBookmark::unknownDataFailsToResolve() {
    QFETCH(QByteArray, data);
    QString error;
    QVERIFY(!FolderBookmark::resolve(data, &error));
    QVERIFY(!error.isEmpty());
}

ORLAVANT_TEST_GUILESS_MAIN(TestFolderBookmark)
#include "tst_folderbookmark.moc"
