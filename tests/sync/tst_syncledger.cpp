#include "support/LogCapture.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"
#include "sync/SyncLedger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace {

const QString HashA = QString(64, u'a');
const QString HashB = QString(64, u'b');

QDateTime at(int hour, int minute, int second, int ms = 0) {
    return QDateTime(QDate(2026, 1, 31), QTime(hour, minute, second, ms), QTimeZone::utc());
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The record `path` as the ledger file in `dir` holds it.
QJsonObject recordOnDisk(const QString& dir, const QString& path) {
    return QJsonDocument::fromJson(readAll(dir + u"/sync_ledger.json"_s)).object().value(path).toObject();
}

// A ledger file whose record "a" has these fields as raw JSON; `tail` ends the record.
QByteArray ledgerWith(const QByteArray& size, const QByteArray& modified = "\"2026-01-31T12:00:00Z\"",
                      const QByteArray& tail = ", \"syncedAt\": \"2026-01-31T12:00:00Z\"}") {
    return "{\"a\": {\"relativePath\": \"a\", \"fileSize\": " + size + ", \"lastModified\": " + modified +
           ", \"sha256Hash\": \"AB\"" + tail + "}";
}

} // namespace

class TestSyncLedger : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoSecondWindow();
    void load_data();
    void load();
    void datesOutsideTheWritableYears_data();
    void datesOutsideTheWritableYears();
    void defaultDirectoryIsUserOnly();
};

void TestSyncLedger::twoSecondWindow() {
    SyncLedger ledger(makeTempDir(u"ledger"_s));
    const QDateTime modified = at(12, 0, 0, 500);
    ledger.recordSync(u"a/b.txt"_s, 100, modified, HashA);
    for (const int ms : {0, 1999, -1999})
        QVERIFY2(ledger.isSynced(u"a/b.txt"_s, 100, modified.addMSecs(ms)), qPrintable(QString::number(ms)));
    for (const int ms : {2000, -2000})
        QVERIFY2(!ledger.isSynced(u"a/b.txt"_s, 100, modified.addMSecs(ms)), qPrintable(QString::number(ms)));
    QVERIFY(!ledger.isSynced(u"a/b.txt"_s, 101, modified));
    // The digest is never consulted: another path with known content is still new.
    QVERIFY(!ledger.isSynced(u"c.txt"_s, 100, modified));
}

void TestSyncLedger::load_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("loaded");    // -1: the file cannot be decoded
    QTest::addColumn<bool>("dateRead"); // the record's modification date was understood
    QTest::newRow("offset date") << ledgerWith("1", "\"2026-01-31T13:30:00+01:30\"") << 1 << true;
    QTest::newRow("not json") << QByteArray("not json at all") << -1 << true;
    // A date never costs the ledger a record: read as well as it can be, or kept unread.
    QTest::newRow("impossible date") << ledgerWith("1", "\"2026-02-30T12:00:00Z\"") << 1 << false;
    QTest::newRow("size beyond 64 bits") << ledgerWith("1e300") << -1 << true;
    QTest::newRow("one bad member among good ones")
        << ledgerWith("1").chopped(1) + ", \"b\": {}}" << -1 << true;
}

void TestSyncLedger::load() {
    QFETCH(QByteArray, content);
    QFETCH(int, loaded);
    QFETCH(bool, dateRead);
    const QString dir = makeTempDir(u"ledger"_s);
    writeFile(dir + u"/sync_ledger.json"_s, content);
    LogCapture quiet;
    SyncLedger ledger(dir);
    QCOMPARE(ledger.totalSyncedCount(), qMax(loaded, 0));
    if (loaded > 0 && dateRead)
        QCOMPARE(ledger.record(u"a"_s), (SyncRecord{u"a"_s, 1, at(12, 0, 0), u"ab"_s, at(12, 0, 0)}));
    if (loaded > 0 && !dateRead) {
        // Kept, but matching no file: the file is synced again and its record rewritten whole.
        QVERIFY(!ledger.record(u"a"_s)->lastModified.isValid());
        QVERIFY(!ledger.isSynced(u"a"_s, 1, at(12, 0, 0)));
        QVERIFY(!ledger.isSynced(u"a"_s, 1, QDateTime()));
    }
    if (loaded >= 0)
        return;
    // Left alone until the next save replaces it.
    QCOMPARE(readAll(ledger.ledgerFilePath()), content);
    ledger.recordSync(u"new"_s, 1, at(1, 0, 0), HashA);
    ledger.flush();
    QCOMPARE(QJsonDocument::fromJson(readAll(dir + u"/sync_ledger.json"_s)).object().keys(),
             QStringList{u"new"_s});
}

void TestSyncLedger::datesOutsideTheWritableYears_data() {
    QTest::addColumn<QDateTime>("modified");
    QTest::addColumn<QString>("written");
    const auto utc = [](int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
        return QDateTime(QDate(year, month, day), QTime(hour, minute, second), QTimeZone::utc());
    };
    QTest::newRow("year 10000") << utc(10000, 1, 1) << u"9999-12-31T23:59:59Z"_s;
    QTest::newRow("the year before year 1") << utc(-1, 6, 1) << u"0001-01-01T00:00:00Z"_s;
    QTest::newRow("the first writable second") << utc(1, 1, 1) << u"0001-01-01T00:00:00Z"_s;
}

// A file dated outside years 1 to 9999 (tmpfs, btrfs and XFS allow it) once made the ledger
// write an empty date and reject the whole file at the next start, on every restart.
void TestSyncLedger::datesOutsideTheWritableYears() {
    QFETCH(QDateTime, modified);
    QFETCH(QString, written);
    const QString dir = makeTempDir(u"ledger"_s);
    {
        SyncLedger ledger(dir);
        ledger.recordSync(u"odd"_s, 1, modified, HashA);
        ledger.recordSync(u"plain"_s, 2, at(12, 0, 0), HashB);
        QVERIFY(ledger.isSynced(u"odd"_s, 1, modified));
    }
    QCOMPARE(recordOnDisk(dir, u"odd"_s).value(u"lastModified"_s).toString(), written);
    SyncLedger reloaded(dir);
    // Still known after the restart: the file is not synced again on every pass.
    QVERIFY(reloaded.isSynced(u"odd"_s, 1, modified));
    QVERIFY(reloaded.isSynced(u"plain"_s, 2, at(12, 0, 0)));
}

void TestSyncLedger::defaultDirectoryIsUserOnly() {
    const QString dir = SyncLedger::defaultDirectory();
    QVERIFY(dir.endsWith(u"/store.orlavant.mac"_s));
    QVERIFY(dir.startsWith(QDir::homePath()));             // the isolated test home
    QCOMPARE(int(QFileInfo(dir).permissions() & 0x77), 0); // nothing for group or others
}

ORLAVANT_TEST_GUILESS_MAIN(TestSyncLedger)
#include "tst_syncledger.moc"
