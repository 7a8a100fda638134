#include "support/TestMain.h"
#include "sync/FileScanner.h"
#include "sync/FolderSyncManager.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& bytes = "content") {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(bytes);
}

QStringList relativeCandidates(const QString& folder) {
    QStringList names;
    for (const QString& path : FileScanner::collectCandidates(folder, {}).candidates)
        names.append(FileScanner::relativePath(path, folder));
    names.sort();
    return names;
}

QString sha256Of(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestFileScanner : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void nameRules_data();
    void nameRules();
    void treeYieldsOnlyVisibleRegularFiles();
    void specialFilesAreNeverCandidates();
    void awkwardNamesAreCandidates();
    void undecodableNamesAreReported();
    void relativePathStripsTheFolderOnce_data();
    void relativePathStripsTheFolderOnce();
    void missingFolderCannotBeEnumerated();
    void cancellationStopsCollection();
    void digest_data();
    void digest();
    void digestRefusesWhatCannotBeRead();
    void unreadableFileHasNoDigest();
    void factsFollowNoLinks();
};

void TestFileScanner::nameRules_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("candidate");
    QTest::newRow("plain") << "a.txt" << true;
    QTest::newRow("finder metadata") << ".DS_Store" << false;
    QTest::newRow("hidden") << ".hidden.txt" << false;
    QTest::newRow("temporary") << "notes.tmp" << false;
    QTest::newRow("partial download") << "movie.mp4.crdownload" << false;
    QTest::newRow("upper-case TMP is kept") << "REPORT.TMP" << true;
    QTest::newRow("tmp inside the name") << "a.tmp.txt" << true;
    QTest::newRow("just .tmp") << ".tmp" << false;
}

void TestFileScanner::nameRules() {
    QFETCH(QString, name);
    QFETCH(bool, candidate);
    QCOMPARE(FileScanner::isCandidateName(name), candidate);
    // The same rule on a real folder.
    const QString folder = makeTempDir(QStringLiteral("names"));
    writeFile(folder + QLatin1Char('/') + name);
    QCOMPARE(relativeCandidates(folder), candidate ? QStringList{name} : QStringList());
}

void TestFileScanner::treeYieldsOnlyVisibleRegularFiles() {
    const QString folder = makeTempDir(QStringLiteral("tree"));
    writeFile(folder + QStringLiteral("/a.txt"));
    writeFile(folder + QStringLiteral("/a/b/c.txt"));
    writeFile(folder + QStringLiteral("/.git/config"));
    writeFile(folder + QStringLiteral("/.git/objects/x"));
    writeFile(folder + QStringLiteral("/dir.tmp/inside.txt")); // the name rule skips entries, not subtrees
    writeFile(folder + QStringLiteral("/empty-sibling/.keep"));
    writeFile(makeTempDir(QStringLiteral("outside")) + QStringLiteral("/secret.txt"));
    QVERIFY(QFile::link(folder + QStringLiteral("/a.txt"), folder + QStringLiteral("/link-to-file.txt")));
    QVERIFY(QFile::link(QDir::homePath(), folder + QStringLiteral("/link-to-home")));
    QCOMPARE(relativeCandidates(folder), (QStringList{QStringLiteral("a.txt"), QStringLiteral("a/b/c.txt"),
                                                      QStringLiteral("dir.tmp/inside.txt")}));
}

void TestFileScanner::specialFilesAreNeverCandidates() {
    const QString folder = makeTempDir(QStringLiteral("special"));
    const QByteArray fifo = QFile::encodeName(folder + QStringLiteral("/pipe"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = QFile::encodeName(folder + QStringLiteral("/sock"));
    QVERIFY(size_t(socketPath.size()) < sizeof(address.sun_path));
    qstrncpy(address.sun_path, socketPath.constData(), sizeof(address.sun_path));
    QCOMPARE(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    writeFile(folder + QStringLiteral("/real.txt"));
    QCOMPARE(relativeCandidates(folder), QStringList{QStringLiteral("real.txt")});
    // A FIFO put where a file was must not block the hashing (nobody writes to it).
    QVERIFY(!FileScanner::sha256(QFile::decodeName(fifo)));
    QVERIFY(!FileScanner::readFacts(QFile::decodeName(fifo)));
    QVERIFY(!FileScanner::sha256(QStringLiteral("/dev/null")));
    ::close(sock);
}

void TestFileScanner::awkwardNamesAreCandidates() {
    const QString folder = makeTempDir(QStringLiteral("awkward"));
    const QString longName =
        QString(251, u'n') + QStringLiteral(".txt"); // 255 bytes, the file system's limit
    const QStringList names{QStringLiteral("line\nbreak.txt"), QStringLiteral("\"quoted\" 'name'.txt"),
                            longName, QStringLiteral("\u00e9t\u00e9 \U0001F600.jpg")};
    for (const QString& name : names)
        writeFile(folder + QLatin1Char('/') + name, name.toUtf8());
    QStringList expected = names;
    expected.sort();
    QCOMPARE(relativeCandidates(folder), expected);
    for (const QString& name : names)
        QCOMPARE(FileScanner::sha256(folder + QLatin1Char('/') + name)->hex, sha256Of(name.toUtf8()));
}

void TestFileScanner::undecodableNamesAreReported() {
    const QString folder = makeTempDir(QStringLiteral("undecodable"));
    const QByteArray raw = QFile::encodeName(folder) + "/bad-\xff\xfe.txt";
    const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);
    // Qt cannot name this file, so the temporary home could not remove it.
    const auto remove = qScopeGuard([&] { ::unlink(raw.constData()); });
    writeFile(folder + QStringLiteral("/good.txt"));
    const FileScanner::Collection collection = FileScanner::collectCandidates(folder, {});
    QCOMPARE(collection.outcome, FileScanner::Outcome::Complete);
    QCOMPARE(collection.candidates, QStringList{folder + QStringLiteral("/good.txt")});
    QCOMPARE(collection.undecodableNames.size(), 1);
}

void TestFileScanner::relativePathStripsTheFolderOnce_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("relative");
    QTest::newRow("nested") << "/Users/a/Sync/Photos/x.jpg"
                            << "/Users/a/Sync"
                            << "Photos/x.jpg";
    QTest::newRow("top level") << "/Users/a/Sync/x.jpg"
                               << "/Users/a/Sync"
                               << "x.jpg";
    QTest::newRow("folder name repeated below") << "/x/a/x/b.txt"
                                                << "/x"
                                                << "a/x/b.txt";
    QTest::newRow("whole folder path repeated") << "/s/t/s/t/f"
                                                << "/s/t"
                                                << "s/t/f";
    QTest::newRow("root folder") << "/a/b"
                                 << "/"
                                 << "a/b";
}

void TestFileScanner::relativePathStripsTheFolderOnce() {
    QFETCH(QString, file);
    QFETCH(QString, folder);
    QFETCH(QString, relative);
    QCOMPARE(FileScanner::relativePath(file, folder), relative);
}

void TestFileScanner::missingFolderCannotBeEnumerated() {
    const QString folder = makeTempDir(QStringLiteral("gone"));
    QVERIFY(QDir(folder).removeRecursively());
    QCOMPARE(FileScanner::collectCandidates(folder, {}).outcome, FileScanner::Outcome::CannotEnumerate);
    const QString file = makeTempDir(QStringLiteral("file")) + QStringLiteral("/f");
    writeFile(file);
    QCOMPARE(FileScanner::collectCandidates(file, {}).outcome, FileScanner::Outcome::CannotEnumerate);
}

void TestFileScanner::cancellationStopsCollection() {
    const QString folder = makeTempDir(QStringLiteral("cancel"));
    for (int i = 0; i < 20; ++i)
        writeFile(folder + QStringLiteral("/f%1").arg(i));
    int asked = 0;
    const FileScanner::Collection collection =
        FileScanner::collectCandidates(folder, [&] { return ++asked > 5; });
    QCOMPARE(collection.outcome, FileScanner::Outcome::Cancelled);
    QVERIFY(collection.candidates.isEmpty());
    QCOMPARE(asked, 6);
}

void TestFileScanner::digest_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("a");
    QTest::newRow("exactly one chunk") << QByteArray(65536, 'x');
    QTest::newRow("one chunk and a byte") << QByteArray(65537, 'y');
    QByteArray mixed;
    for (int i = 0; i < 300000; ++i)
        mixed.append(char(unsigned(i) * 7919u % 251u));
    QTest::newRow("several chunks") << mixed;
}

void TestFileScanner::digest() {
    QFETCH(QByteArray, content);
    const QString file = makeTempDir(QStringLiteral("digest")) + QStringLiteral("/f.bin");
    writeFile(file, content);
    const std::optional<FileScanner::Digest> digest = FileScanner::sha256(file);
    QVERIFY(digest);
    QCOMPARE(digest->hex, sha256Of(content));
    QCOMPARE(digest->bytesRead, content.size());
    QVERIFY(digest->factsAtEnd.sameAs(*FileScanner::readFacts(file)));
    QCOMPARE(FolderSyncManager::computeSha256(file), std::optional<QString>(sha256Of(content)));
    if (content.isEmpty())
        QCOMPARE(digest->hex,
                 QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

void TestFileScanner::digestRefusesWhatCannotBeRead() {
    const QString folder = makeTempDir(QStringLiteral("refuse"));
    QVERIFY(!FileScanner::sha256(folder + QStringLiteral("/vanished")));
    QVERIFY(!FileScanner::readFacts(folder + QStringLiteral("/vanished")));
    QVERIFY(!FileScanner::sha256(folder)); // a directory
    writeFile(folder + QStringLiteral("/target"), "t");
    QVERIFY(QFile::link(folder + QStringLiteral("/target"), folder + QStringLiteral("/link")));
    QVERIFY(!FileScanner::sha256(folder + QStringLiteral("/link")));
}

void TestFileScanner::unreadableFileHasNoDigest() {
    const QString file = makeTempDir(QStringLiteral("mode000")) + QStringLiteral("/locked");
    writeFile(file);
    QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions()));
    const auto restore =
        qScopeGuard([&] { QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner); });
    QFile probe(file);
    if (probe.open(QIODevice::ReadOnly))
        QSKIP("Running with privileges that read mode 000 files");
    QVERIFY(!FileScanner::sha256(file));
    QVERIFY(FileScanner::readFacts(file)); // its attributes are still readable
}

void TestFileScanner::factsFollowNoLinks() {
    const QString folder = makeTempDir(QStringLiteral("facts"));
    writeFile(folder + QStringLiteral("/f"), "12345");
    const std::optional<FileScanner::Facts> facts = FileScanner::readFacts(folder + QStringLiteral("/f"));
    QVERIFY(facts);
    QCOMPARE(facts->size, 5);
    QCOMPARE(facts->modified, QFileInfo(folder + QStringLiteral("/f")).lastModified().toUTC());
    QVERIFY(QFile::link(folder + QStringLiteral("/f"), folder + QStringLiteral("/l")));
    QVERIFY(!FileScanner::readFacts(folder + QStringLiteral("/l")));
}

ORLAVANT_TEST_GUILESS_MAIN(TestFileScanner)
#include "tst_filescanner.moc"
