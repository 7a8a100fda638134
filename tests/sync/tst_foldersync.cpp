#include "FakeVault.h"

#include "app/CoreServices.h"
#include "platform/DbusNotificationSink.h"
#include "platform/Settings.h"
#include "support/FakeClock.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "support/TestServices.h"
#include "sync/FileScanner.h"
#include "sync/FolderSyncManager.h"
#include "sync/SyncActivityModel.h"
#include "sync/SyncLedger.h"
#include "sync/SyncProgressModel.h"
#include "vault/SupabaseClient.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

void signIn(Settings& settings) {
    settings.setData(u"orlavant_supabase_session"_s,
                     SupabaseSession{u"token-1"_s, std::nullopt, u"u1"_s, u"a@b.c"_s}.toJson());
}

// Activity scripts: batches separated by " | ", events by spaces, each "K:path" with K one of
// U (uploaded), D (already in the vault), F (failed), R (unreadable), N (name not UTF-8);
// "K:path*n" stands for n events on path0 .. path(n-1).
QList<SyncReportBatch> activityScript(const QString& script) {
    static const QHash<QChar, FileOutcome::Kind> kinds = {{u'U', FileOutcome::Kind::Uploaded},
                                                          {u'D', FileOutcome::Kind::Deduplicated},
                                                          {u'F', FileOutcome::Kind::Failed},
                                                          {u'R', FileOutcome::Kind::SkippedUnreadable},
                                                          {u'N', FileOutcome::Kind::SkippedInvalidName}};
    QList<SyncReportBatch> batches;
    for (const QString& part : script.split(u" | "_s)) {
        SyncReportBatch next;
        for (const QString& token : part.split(u' ', Qt::SkipEmptyParts)) {
            const QStringList countSplit = token.mid(2).split(u'*');
            const int count = countSplit.size() > 1 ? countSplit[1].toInt() : 1;
            for (int i = 0; i < count; ++i) {
                SyncEvent event;
                event.type = SyncEvent::Type::FileFinished;
                event.outcome.kind = kinds.value(token.at(0));
                event.outcome.relativePath = countSplit[0] + (count > 1 ? QString::number(i) : QString());
                event.outcome.fileName = event.outcome.relativePath;
                event.outcome.reason = u"The vault said no."_s;
                next.events.append(event);
            }
        }
        batches.append(next);
    }
    return batches;
}

QString activityRow(const SyncActivityModel& model, int index) {
    static const char letters[] = {'U', 'D', 'F', 'N', 'R'};
    const FileOutcome& entry = model.entry(index);
    return QString(QLatin1Char(letters[int(entry.kind)])) + u':' + entry.relativePath;
}

// Everything an engine needs against the fake vault, on the given settings file and ledger.
// Reports reach the engine one by one, so every status text can be seen.
struct Rig {
    Rig(FakeServer& server, const QString& settingsPath, const QString& ledgerDir,
        const std::function<void(Settings&)>& prepare)
        : core([&] {
            Settings stored(settingsPath);
            TestServices::pointAt(stored, server.baseUrl());
            prepare(stored);
            return std::make_unique<CoreServices>(
                CoreServices::Options{settingsPath, ledgerDir, &dialogs, &sink, &clock});
        }()) {
        engine->setDeviceName(u"Anna's Mac"_s);
        engine->reporter().setMinimumInterval(0ms);
        QObject::connect(engine, &FolderSyncManager::syncStatusMessageChanged, engine,
                         [this] { statuses.append(engine->syncStatusMessage()); });
        engine->onFileSynced = [this](const QString& name, bool duplicate) {
            synced.append({name, duplicate});
        };
    }
    QString status() const { return engine->syncStatusMessage(); }
    // Runs one pass (the first one in `folder`, or the next one) and tells how it ended. The
    // pass may end before a wait() would begin to count, so the spy's count is what is awaited.
    QString pass(const QString& folder = {}) {
        QSignalSpy finished(engine, &FolderSyncManager::passFinished);
        if (!folder.isEmpty())
            engine->changeFolder(folder);
        folder.isEmpty() ? engine->triggerFolderScan() : engine->startSync();
        return QTest::qWaitFor([&] { return !finished.isEmpty(); }, 20000) ? engine->syncStatusMessage()
                                                                           : u"(no pass ended)"_s;
    }
    QStringList passTexts() const {
        const qsizetype start = statuses.lastIndexOf(QRegularExpression(u"Scanning files in .*"_s));
        return start < 0 ? QStringList() : statuses.mid(start);
    }

    FakeClock clock;
    RecordingNotificationSink sink;
    TestDialogs dialogs;
    std::unique_ptr<CoreServices> core;
    Settings& settings = core->settings;
    SupabaseClient* client = &core->client;
    SyncLedger& ledger = core->ledger;
    FolderSyncManager* engine = &core->folderSync;
    QStringList statuses;
    QList<std::pair<QString, bool>> synced;
};

} // namespace

class TestFolderSync : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeVault> vault;
    QString settingsPath, ledgerDir;
    std::unique_ptr<Rig> rig;

    void makeRig(const std::function<void(Settings&)>& prepare) {
        rig.reset();
        rig = std::make_unique<Rig>(vault->server, settingsPath, ledgerDir, prepare);
    }

private Q_SLOTS:
    void init();
    void cleanup();
    void orderOfTextsCountersAndNotifications_data();
    void orderOfTextsCountersAndNotifications();
    void stopMidPipeline_data();
    void stopMidPipeline();
    void triggerDuringAPassGivesOneFollowUp();
    void changedAndKnownFiles();
    void notificationBodiesAreNotMarkup();
    void closingDoesNotWaitForAHungVault();
    void progressOfAPassWithASlowVault();
    void activity_data();
    void activity();
};

void TestFolderSync::init() {
    vault = std::make_unique<FakeVault>();
    settingsPath = makeTempDir(u"settings"_s) + u"/orlavant.conf"_s;
    ledgerDir = makeTempDir(u"ledger"_s);
    makeRig(signIn);
}

void TestFolderSync::cleanup() {
    vault->gate.open();
    rig.reset();
    vault.reset();
}

void TestFolderSync::orderOfTextsCountersAndNotifications_data() {
    QTest::addColumn<int>("transfers");
    QTest::newRow("one transfer at a time") << 1;
    QTest::newRow("four transfers at once") << 4;
}

// Whatever the overlap, texts, counters, callbacks and notifications keep their meaning: a
// "Syncing" text names a file that has started, and everything else follows completion order.
void TestFolderSync::orderOfTextsCountersAndNotifications() {
    QFETCH(int, transfers);
    rig->settings.setInteger(u"orlavant_parallel_transfers"_s, transfers);
    const QString folder = makeTempDir(u"Order"_s);
    for (int i = 0; i < 12; ++i)
        writeFile(folder + u"/photo-%1.jpg"_s.arg(i, 2, 10, QLatin1Char('0')),
                  "photo " + QByteArray::number(i));
    writeFile(folder + u"/copy.pdf"_s, "known");
    writeFile(folder + u"/odd.txt"_s, "the backend refuses it");
    vault->hold("known");
    vault->refuse(u"odd.txt"_s);
    vault->gate.openWhenWaiting(transfers); // the first files wait until that many are in flight

    QCOMPARE(rig->pass(folder), u"Sync complete: 13 uploaded, 1 deduplicated"_s);
    // At most `transfers` at once, and counters that agree with the ledger.
    QCOMPARE((QList<int>{vault->gate.mostInside(), rig->engine->deduplicatedCount(),
                         rig->engine->totalSyncedCount(), rig->ledger.totalSyncedCount()}),
             (QList<int>{transfers, 1, 14, 14}));

    // One transfer at a time: exactly the serial order, file after file as the folder lists them.
    QStringList serial{u"Scanning files in %1..."_s.arg(QFileInfo(folder).fileName())};
    QList<std::pair<QString, bool>> serialSynced;
    for (const QString& path : FileScanner::collectCandidates(folder, {}).candidates) {
        const QString name = QFileInfo(path).fileName();
        serial << u"Syncing: %1..."_s.arg(name);
        if (name == u"odd.txt"_s)
            serial << u"Sync notice: The server returned a bad response."_s << u"Uploading: odd.txt..."_s;
        serialSynced.append({name, name == u"copy.pdf"_s});
    }
    serial << u"Sync complete: 13 uploaded, 1 deduplicated"_s;
    // Overlapping transfers may finish in any order, but every text and callback comes once.
    const auto inOrder = [transfers](auto list) {
        if (transfers > 1)
            std::sort(list.begin(), list.end());
        return list;
    };
    const QStringList texts = rig->passTexts();
    QCOMPARE(texts.first(), serial.first());
    QCOMPARE(texts.last(), serial.last());
    QVERIFY(texts.indexOf(u"Syncing: odd.txt..."_s) < texts.indexOf(u"Uploading: odd.txt..."_s));
    QCOMPARE(inOrder(texts), inOrder(serial));
    QCOMPARE(inOrder(rig->synced), inOrder(serialSynced));
    // The first ten uploads are announced in the order they finished; the summary comes last.
    QStringList announced, expected{u"13 new file(s) uploaded, 1 duplicate(s) skipped."_s};
    for (const DesktopNotification& posted : rig->sink.posted())
        announced << posted.body;
    for (const auto& [name, duplicate] : std::as_const(rig->synced)) {
        if (!duplicate && expected.size() <= 10)
            expected.insert(expected.size() - 1,
                            u"\u201C%1\u201D was added to your family cloud vault."_s.arg(name));
    }
    QCOMPARE(announced, expected);

    // The next pass over the unchanged folder asks nothing and posts nothing.
    vault->server.clearRequests();
    QCOMPARE(rig->pass(), u"Up to date (14 files in cloud vault)"_s);
    QCOMPARE(vault->server.requestCount(), 0);
    QCOMPARE(rig->sink.posted().size(), 11);
}

void TestFolderSync::stopMidPipeline_data() {
    QTest::addColumn<QString>("stop");
    QTest::addColumn<bool>("vaultTakesThem");
    QTest::addColumn<QString>("requests"); // of the four files in flight when the stop came
    QTest::addColumn<QString>("status");
    const auto row = [](const char* tag, const char* stop, bool taken, const char* requests,
                        const QString& status) {
        QTest::newRow(tag) << QString::fromUtf8(stop) << taken << QString::fromUtf8(requests) << status;
    };
    // A pause lets the files in flight finish, fallback included; a folder change records what
    // the vault confirmed and starts nothing more, not even a fallback.
    row("pause, four transfers", "pause", true, "4 asked, 0 stored, 4 recorded",
        u"Sync complete: 4 uploaded, 0 deduplicated"_s);
    row("pause, four refused", "pause", false, "4 asked, 4 stored, 0 recorded", u"Sync Paused by User"_s);
    row("folder change, four refused", "folder change", false, "4 asked, 0 stored, 0 recorded",
        u"Folder set"_s);
    // A sign-out ends the session the files in flight were using: none of them gets in.
    row("sign-out, four transfers", "sign-out", true, "4 asked, 0 stored, 0 recorded",
        u"Logged out. Sync engine inactive."_s);
}

void TestFolderSync::stopMidPipeline() {
    QFETCH(QString, stop);
    QFETCH(bool, vaultTakesThem);
    QFETCH(QString, requests);
    QFETCH(QString, status);
    rig->settings.setInteger(u"orlavant_parallel_transfers"_s, 4);
    vault->backendDown = vault->storageDown = !vaultTakesThem;
    const QString folder = makeTempDir(u"stop"_s);
    for (int i = 0; i < 9; ++i)
        writeFile(folder + u"/f%1.txt"_s.arg(i), QByteArray::number(i));
    rig->engine->changeFolder(folder);
    vault->gate.close();
    QSignalSpy finished(rig->engine, &FolderSyncManager::passFinished);
    rig->engine->startSync();
    QTRY_COMPARE_WITH_TIMEOUT(vault->gate.waiting(), 4, 20000);
    if (stop == u"pause"_s)
        rig->engine->stopSync();
    else if (stop == u"sign-out"_s)
        rig->client->signOut();
    else
        rig->engine->changeFolder(makeTempDir(u"other"_s));
    vault->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 20000);
    // The files in flight finished and no other started.
    QCOMPARE(QString::asprintf("%d asked, %d stored, %d recorded", vault->preUploads(),
                               int(vault->storageUploads().size()), int(rig->ledger.totalSyncedCount())),
             requests);
    QVERIFY(!rig->engine->isSyncing() && !rig->engine->isScanning() && rig->engine->isSyncStopped());
    QVERIFY2(rig->status().startsWith(status), qPrintable(rig->status()));
}

void TestFolderSync::triggerDuringAPassGivesOneFollowUp() {
    const QString folder = makeTempDir(u"busy"_s);
    writeFile(folder + u"/a.txt"_s, "a");
    writeFile(folder + u"/b.txt"_s, "b");
    rig->engine->changeFolder(folder);
    vault->gate.close();
    QSignalSpy finished(rig->engine, &FolderSyncManager::passFinished);
    rig->engine->startSync();
    QTRY_VERIFY_WITH_TIMEOUT(vault->gate.waiting() > 0, 20000);
    // Folder events, the timer and Sync Now while the pass runs: remembered as one more pass.
    rig->engine->triggerFolderScan();
    rig->engine->triggerFolderScan();
    rig->engine->syncNow();
    QCOMPARE(finished.count(), 0);
    vault->gate.open();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);
    // The follow-up found everything in place; nothing else is queued after it.
    QCOMPARE(rig->status(), u"Up to date (2 files in cloud vault)"_s);
    QVERIFY(!rig->engine->isScanning());
    QCOMPARE(vault->preUploads(), 2);
}

void TestFolderSync::changedAndKnownFiles() {
    const QString folder = makeTempDir(u"files"_s), video = folder + u"/video.mp4"_s;
    writeFile(video, "first part");
    vault->onUpload = [video] { writeFile(video, "first part and more"); };
    // Known from the ledger, it must not be read again: sparse, it costs no disk but 256 MiB of reading.
    writeFile(folder + u"/disk-image.iso"_s, {});
    QVERIFY(QFile::resize(folder + u"/disk-image.iso"_s, 256 << 20));
    rig->ledger.recordSync(u"disk-image.iso"_s, 256 << 20,
                           QFileInfo(folder + u"/disk-image.iso"_s).lastModified(), QString(64, u'0'));
    const qint64 before = bytesReadBy();
    QCOMPARE(rig->pass(folder), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    QVERIFY(before < 0 || bytesReadBy() - before < (64 << 20));
    QCOMPARE(vault->preUploads(), 1);
    // The video grew during its upload: not recorded, and taken again by the next pass.
    QVERIFY(!rig->ledger.record(u"video.mp4"_s));
    vault->onUpload = nullptr;
    QCOMPARE(rig->pass(), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    QCOMPARE(rig->ledger.record(u"video.mp4"_s)->sha256Hash, FakeVault::sha256Of("first part and more"));
}
void TestFolderSync::notificationBodiesAreNotMarkup() {
    RecordingNotificationSink sink;
    MacNotificationHelper helper(sink);
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    helper.notifyBatchComplete(0, 0); // nothing to say: nothing posted
    QCOMPARE(sink.posted().size(), 2);
    QVERIFY(sink.posted().first().identifier != sink.posted().last().identifier);
    QCOMPARE(DbusNotificationSink::wireBody(sink.posted().first()),
             u"New file uploaded securely\n\u201CHoliday &lt;1&gt; &amp; more.jpg\u201D was added to your "
             u"family cloud vault."_s);
}

void TestFolderSync::closingDoesNotWaitForAHungVault() {
    const QString folder = makeTempDir(u"hung"_s);
    writeFile(folder + u"/a.txt"_s, "a");
    vault->gate.close(); // the vault takes the pre-upload and does not answer
    rig->engine->changeFolder(folder);
    rig->engine->startSync();
    QTRY_COMPARE_WITH_TIMEOUT(vault->preUploads(), 1, 20000);
    // Closing cancels the network first; waiting instead would sit out the 60-second request
    // time-out (a liveness bound, not a speed measure).
    QElapsedTimer closing;
    closing.start();
    rig.reset();
    QVERIFY2(closing.elapsed() < 20000, "closing waited for the vault's answer");
    // Nothing the vault did not confirm was recorded.
    QCOMPARE(SyncLedger(ledgerDir).totalSyncedCount(), 0);
}

// What the screens show of a running pass: files and bytes, with the vault slow to answer.
void TestFolderSync::progressOfAPassWithASlowVault() {
    const QString folder = makeTempDir(u"slow"_s);
    writeFile(folder + u"/a.jpg"_s, QByteArray(1000, 'a'));
    writeFile(folder + u"/b.jpg"_s, QByteArray(2000, 'b'));
    writeFile(folder + u"/c.jpg"_s, QByteArray(3000, 'c'));
    vault->hold(QByteArray(2000, 'b')); // b is in the vault already: never sent
    vault->gate.close();
    const SyncProgressModel& model = rig->engine->progress();
    const auto progress = [&] {
        return QString::asprintf("%s, %d/%d files, %lld of %lld bytes left",
                                 model.isActive() ? "active" : "idle", model.filesDone(), model.filesTotal(),
                                 model.bytesLeft(), model.bytesTotal());
    };
    QSignalSpy finished(rig->engine, &FolderSyncManager::passFinished);
    rig->engine->changeFolder(folder);
    rig->engine->startSync();
    // Every file hashed, none answered yet: b's bytes count as synced, a's and c's do not.
    QTRY_COMPARE_WITH_TIMEOUT(vault->gate.waiting(), 3, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(progress(), u"active, 0/3 files, 3000 of 6000 bytes left"_s, 60000);
    vault->gate.open();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(progress(), u"idle, 3/3 files, 0 of 6000 bytes left"_s, 60000);
}

// The activity of this run: bounded, newest first, a problem kept until its file syncs.
void TestFolderSync::activity_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("top");
    QTest::addColumn<QString>("bottom");
    const auto row = [](const char* tag, const char* script, int rows, const char* top, const char* bottom) {
        QTest::newRow(tag) << QString::fromUtf8(script) << rows << QString::fromUtf8(top)
                           << QString::fromUtf8(bottom);
    };
    row("the last 200 events", "U:x*250", 200, "U:x249", "U:x50");
    row("the file syncs: its failure goes", "F:a | U:b | U:a", 2, "U:a", "U:b");
    row("problems are bounded too", "F:p*250 | U:x*250", 400, "U:x249", "F:p50");
}

void TestFolderSync::activity() {
    QFETCH(QString, script);
    QFETCH(int, rows);
    QFETCH(QString, top);
    QFETCH(QString, bottom);
    SyncReporter reporter;
    SyncActivityModel model(reporter);
    for (const SyncReportBatch& next : activityScript(script))
        model.apply(next);
    QCOMPARE(model.rowCount(), rows);
    QCOMPARE(activityRow(model, 0), top);
    QCOMPARE(activityRow(model, rows - 1), bottom);
}

ORLAVANT_TEST_GUILESS_MAIN(TestFolderSync)
#include "tst_foldersync.moc"
