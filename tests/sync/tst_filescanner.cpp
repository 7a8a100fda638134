#include "support/TestFiles.h"
#include "support/TestMain.h"
#include "sync/FileScanner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

class TestFileScanner : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void treeYieldsOnlyCandidates();
    void relativePathStripsTheFolderOnce();
    void digestAtChunkEdges();
    void hashStopsBetweenChunks();
    void onlyRegularFilesAreRead();
};

void TestFileScanner::treeYieldsOnlyCandidates() {
    const QString folder = makeTempDir(u"tree"_s);
    // Awkward but valid names are candidates like any other; 255 bytes is the file system's limit.
    QStringList kept{u"a.txt"_s,          u"a/b/c.txt"_s,          u"REPORT.TMP"_s,
                     u"a.tmp.txt"_s,      u"dir.tmp/inside.txt"_s, u"line\nbreak.txt"_s,
                     u"\"quoted\".txt"_s, u"it's.txt"_s,           u"\u00e9t\u00e9 \U0001F600.jpg"_s};
    const QStringList skipped{u".DS_Store"_s, u".hidden.txt"_s, u"notes.tmp"_s, u"movie.mp4.crdownload"_s,
                              u".tmp"_s,      u".git/config"_s};
    kept.append(QString(251, u'n') + u".txt"_s);
    for (const QString& name : kept + skipped)
        writeFile(folder + u'/' + name, "content");
    writeFile(makeTempDir(u"outside"_s) + u"/secret.txt"_s, "content");
    QVERIFY(QFile::link(folder + u"/a.txt"_s, folder + u"/link-to-file.txt"_s));
    QVERIFY(QFile::link(QDir::homePath(), folder + u"/link-to-home"_s));
    QCOMPARE(::mkfifo(QFile::encodeName(folder + u"/pipe"_s).constData(), 0600), 0);
    QStringList found;
    for (const QString& path : FileScanner::collectCandidates(folder, {}).candidates)
        found.append(FileScanner::relativePath(path, folder));
    found.sort();
    kept.sort();
    QCOMPARE(found, kept);
}

void TestFileScanner::relativePathStripsTheFolderOnce() {
    // Two files must never share a ledger key, whatever the folder's name repeats below it.
    QCOMPARE(FileScanner::relativePath(u"/s/t/s/t/f"_s, u"/s/t"_s), u"s/t/f"_s);
    QCOMPARE(FileScanner::relativePath(u"/a/b"_s, u"/"_s), u"a/b"_s);
}

void TestFileScanner::digestAtChunkEdges() {
    const QString file = makeTempDir(u"digest"_s) + u"/f.bin"_s;
    QByteArray mixed; // chunks that differ, so their order matters
    for (int i = 0; i < 300000; ++i)
        mixed.append(char(unsigned(i) * 7919u % 251u));
    for (const QByteArray& content : {QByteArray(), QByteArray(65536, 'x'), QByteArray(65537, 'y'), mixed}) {
        writeFile(file, content);
        const std::optional<FileScanner::Digest> digest = FileScanner::sha256(file);
        QVERIFY(digest && digest->factsAtEnd.sameAs(*FileScanner::readFacts(file)));
        QCOMPARE(digest->hex, QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        QCOMPARE(digest->bytesRead, content.size());
    }
}

// Quitting or pausing while a large file is hashed must not wait for its last byte.
void TestFileScanner::hashStopsBetweenChunks() {
    const QString file = makeTempDir(u"large"_s) + u"/disk.img"_s;
    writeFile(file, {});
    QVERIFY(QFile::resize(file, 64 << 20)); // sparse
    qint64 read = 0;
    int asked = 0;
    FileScanner::HashControl control;
    control.isCancelled = [&] { return ++asked > 3; };
    control.onRead = [&](qint64 bytes) { read += bytes; };
    QVERIFY(!FileScanner::sha256(file, control));
    QCOMPARE(asked, 4);
    QCOMPARE(read, 3 * 65536);
}

void TestFileScanner::onlyRegularFilesAreRead() {
    const QString folder = makeTempDir(u"refuse"_s);
    const QString fifo = folder + u"/pipe"_s, link = folder + u"/link"_s;
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    writeFile(folder + u"/target"_s, "content");
    QVERIFY(QFile::link(folder + u"/target"_s, link));
    // A FIFO put where a file was must not block the hashing (nobody writes to it).
    for (const QString& path : {fifo, link, folder + u"/vanished"_s, folder, u"/dev/null"_s})
        QVERIFY2(!FileScanner::sha256(path), qPrintable(path));
    for (const QString& path : {fifo, link, folder + u"/vanished"_s})
        QVERIFY2(!FileScanner::readFacts(path), qPrintable(path));
}

ORLAVANT_TEST_GUILESS_MAIN(TestFileScanner)
#include "tst_filescanner.moc"
