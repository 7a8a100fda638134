#include "FakeVault.h"

#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "support/FakeClock.h"
#include "support/TestMain.h"
#include "support/TestServices.h"
#include "sync/DigestCache.h"
#include "sync/FailureBackoff.h"
#include "sync/SyncLedger.h"
#include "sync/SyncPass.h"
#include "sync/SyncReporter.h"
#include "vault/SupabaseClient.h"

#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A pass on its own: the vault client, ledger, digest cache and backoff it works with, on
// this case's folder; its reports collected as they arrive.
struct PassRig {
    PassRig(FakeVault& vault, const QString& root)
        : settings(root + u"/orlavant.conf"_s)
        , ledger(root + u"/data"_s)
        , digests(root + u"/data"_s) {
        TestServices::pointAt(settings, vault.server.baseUrl(),
                              SupabaseSession{u"token-1"_s, std::nullopt, u"u1"_s, u"a@b.c"_s});
        client = std::make_unique<SupabaseClient>(settings, http);
        reporter.setMinimumInterval(0ms);
        reporter.setBytesSentSource([this] { return http.fileBodyBytesSent(); });
        QObject::connect(&reporter, &SyncReporter::delivered, &reporter,
                         [this](const SyncReportBatch& batch) {
                             events += batch.events;
                             progress = batch.progress;
                         });
    }
    ~PassRig() { http.shutdown(); }

    bool run(const QString& folder, int transfers = 4) {
        events.clear();
        SyncPass::Options options;
        options.passId = ++lastPassId;
        options.folderPath = folder;
        options.deviceName = deviceName;
        options.parallelTransfers = transfers;
        SyncPass pass({*client, ledger, digests, backoff, reporter, clock, undecodable}, options,
                      {[] { return false; }, [] { return false; }});
        pass.run();
        return QTest::qWaitFor(
            [&] { return !events.isEmpty() && events.last().type == SyncEvent::Type::PassEnded; }, 20000);
    }
    QList<FileOutcome> outcomes() const {
        QList<FileOutcome> found;
        for (const SyncEvent& event : events) {
            if (event.type == SyncEvent::Type::FileFinished)
                found.append(event.outcome);
        }
        return found;
    }
    std::optional<FileOutcome> outcome(const QString& fileName) const {
        for (const FileOutcome& outcome : outcomes()) {
            if (outcome.fileName == fileName)
                return outcome;
        }
        return std::nullopt;
    }

    QString deviceName = u"Anna's Mac"_s;
    Settings settings;
    FakeClock clock;
    HttpClient http;
    std::unique_ptr<SupabaseClient> client;
    SyncLedger ledger;
    DigestCache digests;
    FailureBackoff backoff;
    SyncReporter reporter;
    QSet<QString> undecodable;
    quint64 lastPassId = 0;
    QList<SyncEvent> events;
    SyncProgress progress;
};

bool setModified(const QString& path, qint64 seconds, long nanoseconds = 0) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace

class TestSyncPass : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeVault> vault;
    QString root;
    std::unique_ptr<PassRig> rig;

private Q_SLOTS:
    void init();
    void cleanup();
    void failedFileWaitsLongerEachTime();
    void digestsSurviveARestart_data();
    void digestsSurviveARestart();
    void keysFollowTheServiceRule_data();
    void keysFollowTheServiceRule();
    void fallbackRegistersOnlyUnchangedFiles();
};

void TestSyncPass::init() {
    vault = std::make_unique<FakeVault>();
    root = makeTempDir(u"pass"_s);
    rig = std::make_unique<PassRig>(*vault, root);
}

void TestSyncPass::cleanup() {
    vault->gate.open();
    rig.reset();
    vault.reset();
}

// A file nobody takes is tried again after 30 s, 1 min, 2 min, ... at most every hour, and is
// never read again while it stays as it was.
void TestSyncPass::failedFileWaitsLongerEachTime() {
    vault->backendDown = vault->storageDown = true;
    const QString folder = makeTempDir(u"refused"_s);
    const QByteArray content(200 * 1024, 'r');
    writeFile(folder + u"/video.mov"_s, content);
    QVERIFY(rig->run(folder));
    QCOMPARE(rig->progress.bytesHashed, content.size());
    QCOMPARE(vault->preUploads(), 1);

    int attempts = 1;
    for (const int delay : {30, 60, 120, 240, 480, 960, 1920, 3600, 3600}) {
        rig->clock.advanceMs((delay - 1) * 1000LL);
        QVERIFY(rig->run(folder));
        QVERIFY2(rig->outcomes().isEmpty(), "retried a second early");
        QCOMPARE(vault->preUploads(), attempts);
        rig->clock.advanceMs(1000);
        QVERIFY(rig->run(folder));
        ++attempts;
        QCOMPARE(vault->preUploads(), attempts);
        QCOMPARE(rig->progress.bytesHashed, 0); // the digest from before
    }
    QCOMPARE(FailureBackoff::delayAfter(1'000'000).count(), 3600);

    // A changed file is due at once, and read again.
    writeFile(folder + u"/video.mov"_s, content + "more");
    QVERIFY(rig->run(folder));
    QCOMPARE(vault->preUploads(), ++attempts);
    QCOMPARE(rig->progress.bytesHashed, content.size() + 4);
    QCOMPARE(rig->clock.now().secsTo(rig->outcome(u"video.mov"_s)->retryAt), 30);
    // So is every file after Start Sync or Sync Now.
    rig->backoff.reset();
    QVERIFY(rig->run(folder));
    QCOMPARE(vault->preUploads(), ++attempts);
}

void TestSyncPass::digestsSurviveARestart_data() {
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<bool>("hashedAgain");
    QTest::newRow("nothing changed") << u"nothing"_s << false;
    QTest::newRow("the cache file is corrupt") << u"corrupt cache"_s << true;
    QTest::newRow("another file of the same size and date took its place") << u"replaced"_s << true;
}

void TestSyncPass::digestsSurviveARestart() {
    QFETCH(QString, meanwhile);
    QFETCH(bool, hashedAgain);
    vault->backendDown = vault->storageDown = true;
    const QString folder = makeTempDir(u"restart"_s), path = folder + u"/clip.mov"_s;
    const QByteArray content(100 * 1024, 'c');
    writeFile(path, content);
    QVERIFY(setModified(path, 1'700'000'000, 123'456'789));
    QVERIFY(rig->run(folder));
    QCOMPARE(rig->progress.bytesHashed, content.size());
    const QString cacheFile = rig->digests.filePath();
    rig.reset(); // the program ends: the digests stay in the file beside the ledger

    if (meanwhile == u"corrupt cache"_s) {
        writeFile(cacheFile, "{\"version\": 1, \"files\": {\"clip.mov\": ");
    } else if (meanwhile == u"replaced"_s) {
        writeFile(folder + u"/.other"_s, QByteArray(content.size(), 'e'));
        QVERIFY(setModified(folder + u"/.other"_s, 1'700'000'000, 123'456'789));
        QVERIFY(::rename(QFile::encodeName(folder + u"/.other"_s).constData(),
                         QFile::encodeName(path).constData()) == 0);
    }
    rig = std::make_unique<PassRig>(*vault, root); // a fresh start: no file waits
    QVERIFY(rig->run(folder));
    QCOMPARE(vault->preUploads(), 2);
    QCOMPARE(rig->progress.bytesHashed, hashedAgain ? content.size() : 0);
    // What was sent names the content the file holds now.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(FakeVault::field(vault->server.requests("POST", "/api/files/pre-upload").last(), u"file_hash"_s),
             FakeVault::sha256Of(file.readAll()));
}

void TestSyncPass::keysFollowTheServiceRule_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("key"); // after the user id, with <d> for the digest
    const auto row = [](const char* tag, const QString& device, const QString& folder, const QString& file,
                        const QString& key) { QTest::newRow(tag) << device << folder << file << key; };
    const QString anna = u"Anna's Mac"_s, sync = u"Sync"_s, prefix = u"/mac/Anna's_Mac/Sync/<d>_"_s;
    row("non-ASCII and reserved characters", anna, sync, u"Grüße 50% [draft] #1 {x}^~.txt"_s,
        prefix + u"Gr+C3+BC+C3+9Fe 50+25 +5Bdraft+5D +231 +7Bx+7D+5E+7E.txt"_s);
    row("a device that would climb the path", u".."_s, sync, u"a.txt"_s, u"/mac/+2E+2E/Sync/<d>_a.txt"_s);
}

// The fallback stores any file the user has, under a key the hosted service takes; the
// registry row keeps the real name.
void TestSyncPass::keysFollowTheServiceRule() {
    QFETCH(QString, device);
    QFETCH(QString, folderName);
    QFETCH(QString, fileName);
    QFETCH(QString, key);
    vault->backendDown = true;
    rig->deviceName = device;
    const QString folder = makeTempDir(u"keys"_s) + u'/' + folderName;
    writeFile(folder + u'/' + fileName, "content of " + fileName.toUtf8());
    const QString digest = FakeVault::sha256Of("content of " + fileName.toUtf8());
    QVERIFY(rig->run(folder));
    QCOMPARE(rig->outcome(fileName)->kind, FileOutcome::Kind::Uploaded);
    const QString expected = u"u1"_s + QString(key).replace(u"<d>"_s, digest);
    QCOMPARE(vault->storageUploads().size(), 1);
    const FakeServer::Request registration = vault->registrations().value(0);
    QCOMPARE((QStringList{
                 QString::fromUtf8(vault->storageUploads().first().path.mid(FakeVault::StoragePrefix.size())),
                 FakeVault::field(registration, u"p_file_path"_s),
                 FakeVault::field(registration, u"p_original_filename"_s),
                 FakeVault::field(registration, u"p_folder_path"_s)}),
             (QStringList{expected, expected, fileName, folder}));
    QVERIFY(rig->ledger.record(fileName));
}

// The registry must never point a digest at other bytes: a file that changed while it went
// into storage is not registered, and the next pass takes it as it is now.
void TestSyncPass::fallbackRegistersOnlyUnchangedFiles() {
    vault->backendDown = true;
    const QString folder = makeTempDir(u"changing"_s), path = folder + u"/notes.txt"_s;
    writeFile(path, "draft");
    vault->onStorageUpload = [&] {
        vault->onStorageUpload = nullptr;
        writeFile(path, "draft, edited meanwhile");
    };
    QVERIFY(rig->run(folder));
    QCOMPARE(vault->storageUploads().size(), 1);
    QCOMPARE(vault->registrations().size(), 0);
    QVERIFY(!rig->ledger.record(u"notes.txt"_s));
    QVERIFY(rig->outcomes().isEmpty());

    QVERIFY(rig->run(folder)); // not a failure: no waiting
    QCOMPARE(vault->registrations().size(), 1);
    QCOMPARE(FakeVault::field(vault->registrations().first(), u"p_file_hash"_s),
             FakeVault::sha256Of("draft, edited meanwhile"));
    QCOMPARE(rig->ledger.record(u"notes.txt"_s)->sha256Hash, FakeVault::sha256Of("draft, edited meanwhile"));
}

ORLAVANT_TEST_GUILESS_MAIN(TestSyncPass)
#include "tst_syncpass.moc"
