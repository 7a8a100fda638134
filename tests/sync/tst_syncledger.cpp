#include "support/LogCapture.h"
#include "support/TestMain.h"
#include "sync/SyncLedger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

namespace {

const QString HashA = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
const QString HashB = QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");

QDateTime at(int hour, int minute, int second, int ms = 0) {
    return QDateTime(QDate(2026, 1, 31), QTime(hour, minute, second, ms), QTimeZone::utc());
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray record(const QByteArray& path, const QByteArray& size, const QByteArray& modified,
                  const QByteArray& hash = "AB", const QByteArray& synced = "\"2026-01-31T12:00:00Z\"") {
    return "{\"relativePath\": \"" + path + "\", \"fileSize\": " + size + ", \"lastModified\": " + modified +
           ", \"sha256Hash\": \"" + hash + "\", \"syncedAt\": " + synced + "}";
}

} // namespace

class TestSyncLedger : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void window_data();
    void window();
    void digestsAreLowerCased();
    void samePathKeepsOneRecord();
    void reloadKeepsRecordsTruncatedToTheSecond();
    void loadMessageCountsUniqueHashes();
    void emptyObjectLoadsEmpty();
    void undecodableFileStartsFresh_data();
    void undecodableFileStartsFresh();
    void offsetDatesAreAccepted();
    void reconcileKeepsOnlyCloudHashes();
    void reconcileWithEmptySetEmptiesTheFile();
    void clearRemovesTheFile();
    void burstOfRecordsIsCoalesced();
    void destructorFlushesPendingRecords();
    void unwritableDirectoryKeepsMemoryAuthoritative();
    void defaultDirectoryIsUserOnly();
    void keysWithQuotesAndNewlinesRoundTrip();
};

void TestSyncLedger::window_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("offsetMs");
    QTest::addColumn<bool>("synced");
    QTest::newRow("same size and date") << qint64(100) << qint64(0) << true;
    QTest::newRow("1.9 s later") << qint64(100) << qint64(1900) << true;
    QTest::newRow("1.9 s earlier") << qint64(100) << qint64(-1900) << true;
    QTest::newRow("1.999 s later") << qint64(100) << qint64(1999) << true;
    QTest::newRow("exactly 2 s later") << qint64(100) << qint64(2000) << false;
    QTest::newRow("exactly 2 s earlier") << qint64(100) << qint64(-2000) << false;
    QTest::newRow("one byte larger") << qint64(101) << qint64(0) << false;
    QTest::newRow("empty file") << qint64(0) << qint64(0) << false;
}

void TestSyncLedger::window() {
    QFETCH(qint64, size);
    QFETCH(qint64, offsetMs);
    QFETCH(bool, synced);
    SyncLedger ledger(makeTempDir(QStringLiteral("ledger")));
    const QDateTime modified = at(12, 0, 0, 500);
    ledger.recordSync(QStringLiteral("a/b.txt"), 100, modified, HashA);
    QCOMPARE(ledger.isSynced(QStringLiteral("a/b.txt"), size, modified.addMSecs(offsetMs)), synced);
    // The digest is never consulted: another path with known content is still new.
    QVERIFY(!ledger.isSynced(QStringLiteral("c.txt"), 100, modified));
}

void TestSyncLedger::digestsAreLowerCased() {
    SyncLedger ledger(makeTempDir(QStringLiteral("ledger")));
    ledger.recordSync(QStringLiteral("x"), 1, at(1, 0, 0), HashA.toUpper());
    QCOMPARE(ledger.record(QStringLiteral("x"))->sha256Hash, HashA);
    QVERIFY(ledger.containsHash(HashA.toUpper()));
    QVERIFY(ledger.containsHash(HashA));
    QCOMPARE(ledger.allKnownHashes(), QSet<QString>{HashA});
}

void TestSyncLedger::samePathKeepsOneRecord() {
    SyncLedger ledger(makeTempDir(QStringLiteral("ledger")));
    ledger.recordSync(QStringLiteral("x"), 1, at(1, 0, 0), HashA);
    ledger.recordSync(QStringLiteral("x"), 2, at(2, 0, 0), HashB);
    QCOMPARE(ledger.totalSyncedCount(), 1);
    QCOMPARE(ledger.record(QStringLiteral("x"))->fileSize, 2);
    // The replaced content stays known until the next load.
    QCOMPARE(ledger.allKnownHashes(), (QSet<QString>{HashA, HashB}));
}

void TestSyncLedger::reloadKeepsRecordsTruncatedToTheSecond() {
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    {
        SyncLedger ledger(dir);
        ledger.recordSync(QStringLiteral("deep/dir/file.bin"), 9'000'000'000LL, at(12, 0, 7, 999), HashA);
        ledger.flush();
    }
    const QJsonObject file =
        QJsonDocument::fromJson(readAll(dir + QStringLiteral("/sync_ledger.json"))).object();
    const QJsonObject entry = file.value(QStringLiteral("deep/dir/file.bin")).toObject();
    QCOMPARE(entry.value(QStringLiteral("lastModified")).toString(), QStringLiteral("2026-01-31T12:00:07Z"));
    QCOMPARE(entry.value(QStringLiteral("fileSize")).toInteger(), 9'000'000'000LL);
    QVERIFY(entry.value(QStringLiteral("syncedAt")).toString().endsWith(u'Z'));
    QCOMPARE(entry.keys().size(), 5);

    SyncLedger reloaded(dir);
    const std::optional<SyncRecord> restored = reloaded.record(QStringLiteral("deep/dir/file.bin"));
    QVERIFY(restored);
    QCOMPARE(restored->lastModified, at(12, 0, 7));
    QCOMPARE(restored->fileSize, 9'000'000'000LL);
    QVERIFY(reloaded.isSynced(QStringLiteral("deep/dir/file.bin"), 9'000'000'000LL, at(12, 0, 7, 999)));
}

void TestSyncLedger::loadMessageCountsUniqueHashes() {
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    {
        SyncLedger ledger(dir);
        ledger.recordSync(QStringLiteral("one"), 1, at(1, 0, 0), HashA);
        ledger.recordSync(QStringLiteral("two"), 1, at(1, 0, 0), HashA);
    }
    LogCapture log;
    SyncLedger reloaded(dir);
    QCOMPARE(log.lines(),
             QStringList{QStringLiteral("[SyncLedger] Loaded 2 previously synced files (1 unique hashes).")});
}

void TestSyncLedger::emptyObjectLoadsEmpty() {
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    writeFile(dir + QStringLiteral("/sync_ledger.json"), "{}");
    LogCapture log;
    SyncLedger ledger(dir);
    QCOMPARE(ledger.totalSyncedCount(), 0);
    QCOMPARE(log.lines(),
             QStringList{QStringLiteral("[SyncLedger] Loaded 0 previously synced files (0 unique hashes).")});
}

void TestSyncLedger::undecodableFileStartsFresh_data() {
    const QByteArray good = record("a", "1", "\"2026-01-31T12:00:00Z\"");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not json") << QByteArray("not json at all");
    QTest::newRow("truncated") << QByteArray("{\"a\": " + good.left(good.size() - 10));
    QTest::newRow("array") << QByteArray("[" + good + "]");
    QTest::newRow("fractional seconds")
        << QByteArray("{\"a\": " + record("a", "1", "\"2026-01-31T12:00:00.5Z\"") + "}");
    QTest::newRow("date without zone")
        << QByteArray("{\"a\": " + record("a", "1", "\"2026-01-31T12:00:00\"") + "}");
    QTest::newRow("date as number") << QByteArray("{\"a\": " + record("a", "1", "1769860800") + "}");
    QTest::newRow("size as string") << QByteArray(
        "{\"a\": " + record("a", "\"1\"", "\"2026-01-31T12:00:00Z\"") + "}");
    QTest::newRow("fractional size") << QByteArray(
        "{\"a\": " + record("a", "1.5", "\"2026-01-31T12:00:00Z\"") + "}");
    QTest::newRow("size beyond 64 bits")
        << QByteArray("{\"a\": " + record("a", "1e300", "\"2026-01-31T12:00:00Z\"") + "}");
    QTest::newRow("missing syncedAt")
        << QByteArray("{\"a\": {\"relativePath\": \"a\", \"fileSize\": 1, \"lastModified\": "
                      "\"2026-01-31T12:00:00Z\", \"sha256Hash\": \"ab\"}}");
    QTest::newRow("one bad member among good ones") << QByteArray(
        "{\"a\": " + good + ", \"b\": " + record("b", "null", "\"2026-01-31T12:00:00Z\"") + "}");
    QTest::newRow("impossible date") << QByteArray("{\"a\": " + record("a", "1", "\"2026-02-30T12:00:00Z\"") +
                                                   "}");
}

void TestSyncLedger::undecodableFileStartsFresh() {
    QFETCH(QByteArray, content);
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    const QString path = dir + QStringLiteral("/sync_ledger.json");
    writeFile(path, content);
    LogCapture log;
    SyncLedger ledger(dir);
    QCOMPARE(ledger.totalSyncedCount(), 0);
    QCOMPARE(ledger.allKnownHashes().size(), 0);
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().first().startsWith(
                 QStringLiteral("[SyncLedger] Error decoding ledger, starting fresh: ")),
             qPrintable(log.lines().first()));
    // Left alone until the next save replaces it.
    QCOMPARE(readAll(path), content);
    ledger.recordSync(QStringLiteral("new"), 1, at(1, 0, 0), HashA);
    ledger.flush();
    QCOMPARE(QJsonDocument::fromJson(readAll(path)).object().keys(), QStringList{QStringLiteral("new")});
}

void TestSyncLedger::offsetDatesAreAccepted() {
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    writeFile(dir + QStringLiteral("/sync_ledger.json"),
              "{\"a\": " + record("a", "3", "\"2026-01-31T13:30:00+01:30\"") + "}");
    SyncLedger ledger(dir);
    QCOMPARE(ledger.record(QStringLiteral("a"))->lastModified, at(12, 0, 0));
    QCOMPARE(ledger.record(QStringLiteral("a"))->sha256Hash, QStringLiteral("ab"));
}

void TestSyncLedger::reconcileKeepsOnlyCloudHashes() {
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    SyncLedger ledger(dir);
    ledger.recordSync(QStringLiteral("keep"), 1, at(1, 0, 0), HashA);
    ledger.recordSync(QStringLiteral("drop"), 1, at(1, 0, 0), HashB);
    const QSet<QString> cloud{HashA, QStringLiteral("cccc")};
    ledger.reconcileWithCloudHashes(cloud);
    QCOMPARE(ledger.totalSyncedCount(), 1);
    QVERIFY(ledger.record(QStringLiteral("keep")));
    // The set is taken as given, including digests no record holds.
    QCOMPARE(ledger.allKnownHashes(), cloud);
    ledger.flush();
    QCOMPARE(QJsonDocument::fromJson(readAll(ledger.ledgerFilePath())).object().keys(),
             QStringList{QStringLiteral("keep")});
}

void TestSyncLedger::reconcileWithEmptySetEmptiesTheFile() {
    SyncLedger ledger(makeTempDir(QStringLiteral("ledger")));
    ledger.recordSync(QStringLiteral("a"), 1, at(1, 0, 0), HashA);
    ledger.reconcileWithCloudHashes({});
    ledger.flush();
    QCOMPARE(ledger.totalSyncedCount(), 0);
    QVERIFY(ledger.allKnownHashes().isEmpty());
    const QJsonDocument document = QJsonDocument::fromJson(readAll(ledger.ledgerFilePath()));
    QVERIFY(document.isObject());
    QVERIFY(document.object().isEmpty());
}

void TestSyncLedger::clearRemovesTheFile() {
    SyncLedger ledger(makeTempDir(QStringLiteral("ledger")));
    ledger.recordSync(QStringLiteral("a"), 1, at(1, 0, 0), HashA);
    ledger.flush();
    QVERIFY(QFile::exists(ledger.ledgerFilePath()));
    // A record still waiting for its save must not bring the file back after clear().
    ledger.recordSync(QStringLiteral("b"), 1, at(1, 0, 0), HashB);
    ledger.clear();
    ledger.flush();
    QVERIFY(!QFile::exists(ledger.ledgerFilePath()));
    QCOMPARE(ledger.totalSyncedCount(), 0);
    QVERIFY(!ledger.containsHash(HashA));
    ledger.clear(); // nothing to delete: ignored
    ledger.recordSync(QStringLiteral("c"), 1, at(1, 0, 0), HashA);
    ledger.flush();
    QCOMPARE(QJsonDocument::fromJson(readAll(ledger.ledgerFilePath())).object().keys(),
             QStringList{QStringLiteral("c")});
}

void TestSyncLedger::burstOfRecordsIsCoalesced() {
    SyncLedger ledger(makeTempDir(QStringLiteral("ledger")));
    for (int i = 0; i < 5000; ++i)
        ledger.recordSync(QStringLiteral("file-%1").arg(i), i, at(1, 0, 0), HashA);
    ledger.flush();
    const qint64 finalSize = QFileInfo(ledger.ledgerFilePath()).size();
    QCOMPARE(QJsonDocument::fromJson(readAll(ledger.ledgerFilePath())).object().size(), 5000);
    QVERIFY2(ledger.bytesWritten() <= 10 * finalSize,
             qPrintable(QStringLiteral("%1 bytes written for a %2-byte ledger")
                            .arg(ledger.bytesWritten())
                            .arg(finalSize)));
}

void TestSyncLedger::destructorFlushesPendingRecords() {
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    {
        SyncLedger ledger(dir);
        ledger.recordSync(QStringLiteral("last"), 7, at(1, 0, 0), HashA);
    }
    SyncLedger reloaded(dir);
    QCOMPARE(reloaded.record(QStringLiteral("last"))->fileSize, 7);
}

void TestSyncLedger::unwritableDirectoryKeepsMemoryAuthoritative() {
    // A regular file where the directory should be: no user, root included, can write below it.
    const QString blocker = makeTempDir(QStringLiteral("ledger")) + QStringLiteral("/not-a-directory");
    writeFile(blocker, "x");
    LogCapture log;
    SyncLedger ledger(blocker);
    ledger.recordSync(QStringLiteral("a"), 1, at(1, 0, 0), HashA);
    ledger.flush();
    QCOMPARE(log.linesStartingWith(QStringLiteral("[SyncLedger] Failed to save ledger: ")).size(), 1);
    QVERIFY(ledger.isSynced(QStringLiteral("a"), 1, at(1, 0, 0)));
    QCOMPARE(ledger.bytesWritten(), 0);
}

void TestSyncLedger::defaultDirectoryIsUserOnly() {
    const QString dir = SyncLedger::defaultDirectory();
    QVERIFY(dir.endsWith(QStringLiteral("/store.orlavant.mac")));
    QVERIFY(dir.startsWith(QDir::homePath())); // the isolated test home
    QCOMPARE(QFileInfo(dir).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                             QFileDevice::WriteGroup | QFileDevice::ExeOther),
             QFileDevice::Permissions());
}

void TestSyncLedger::keysWithQuotesAndNewlinesRoundTrip() {
    const QString dir = makeTempDir(QStringLiteral("ledger"));
    const QString awkward = QStringLiteral("dir/\"quoted\"\nline\\back\tslash \u00e9\U0001F600");
    {
        SyncLedger ledger(dir);
        ledger.recordSync(awkward, 5, at(3, 0, 0), HashB);
    }
    SyncLedger reloaded(dir);
    QVERIFY(reloaded.isSynced(awkward, 5, at(3, 0, 0)));
    QCOMPARE(reloaded.record(awkward)->relativePath, awkward);
}

ORLAVANT_TEST_GUILESS_MAIN(TestSyncLedger)
#include "tst_syncledger.moc"
