#include "platform/DbusNotificationSink.h"
#include "platform/FolderBookmark.h"
#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "support/FakeServer.h"
#include "support/LogCapture.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "support/TestServices.h"
#include "sync/FolderSyncManager.h"
#include "sync/MacNotificationHelper.h"
#include "sync/SyncLedger.h"
#include "vault/SupabaseClient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Reply = FakeServer::Reply;

namespace {

QString sha256Of(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(bytes);
}

QString field(const FakeServer::Request& request, const QString& key) {
    return QJsonDocument::fromJson(request.body).object().value(key).toVariant().toString();
}

// Bytes this process has read through read() and friends, from the kernel's own count.
qint64 bytesReadByProcess() {
    QFile io(u"/proc/self/io"_s); // its first line is "rchar: <bytes>"
    return io.open(QIODevice::ReadOnly) ? io.readLine().mid(7).trimmed().toLongLong() : -1;
}

void signIn(Settings& settings) {
    settings.setData(u"orlavant_supabase_session"_s,
                     SupabaseSession{u"token-1"_s, std::nullopt, u"u1"_s, u"a@b.c"_s}.toJson());
}

// Everything an engine needs against the fake vault, on the given settings file and ledger.
struct Rig {
    Rig(FakeServer& server, const QString& settingsPath, const QString& ledgerDir,
        const std::function<void(Settings&)>& prepare)
        : settings(settingsPath)
        , ledger(ledgerDir)
        , notifications(sink) {
        for (const QString& key : {u"orlavant_supabase_url"_s, u"orlavant_backend_base_url"_s})
            settings.setString(key, server.baseUrl());
        settings.setString(u"orlavant_supabase_key"_s, u"test-anon-key"_s);
        prepare(settings);
        client = std::make_unique<SupabaseClient>(settings, http);
        engine = std::make_unique<FolderSyncManager>(settings, *client, ledger, notifications, dialogs);
        engine->setDeviceName(u"Anna's Mac"_s);
        QObject::connect(client.get(), &SupabaseClient::signedOut, engine.get(),
                         &FolderSyncManager::handleLogout);
        QObject::connect(engine.get(), &FolderSyncManager::syncStatusMessageChanged, engine.get(),
                         [this] { statuses.append(engine->syncStatusMessage()); });
        engine->onFileSynced = [this](const QString& name, bool duplicate) {
            synced.append({name, duplicate});
        };
    }
    QString status() const { return engine->syncStatusMessage(); }
    // Runs one pass (the first one in `folder`, or the next one) and tells how it ended.
    QString pass(const QString& folder = {}) {
        QSignalSpy finished(engine.get(), &FolderSyncManager::passFinished);
        if (!folder.isEmpty())
            engine->changeFolder(folder);
        folder.isEmpty() ? engine->triggerFolderScan() : engine->startSync();
        return finished.wait(20000) ? engine->syncStatusMessage() : u"(no pass ended)"_s;
    }

    Settings settings;
    HttpClient http;
    std::unique_ptr<SupabaseClient> client;
    SyncLedger ledger;
    RecordingNotificationSink sink;
    MacNotificationHelper notifications;
    TestDialogs dialogs;
    std::unique_ptr<FolderSyncManager> engine;
    QStringList statuses;
    QList<std::pair<QString, bool>> synced;
};

} // namespace

// Each case gets a fake of both vault servers (the application backend, and the hosted
// project's storage and registry) and an engine signed in against it.
class TestFolderSync : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeServer> server;
    std::atomic<bool> backendDown, storageDown, holding; // holding: pre-uploads wait
    QMutex heldMutex;
    QSet<QString> held;             // content the household already has
    std::function<void()> onUpload; // runs on the server's thread
    QString settingsPath, ledgerDir;
    std::unique_ptr<Rig> rig;

    // A fresh engine on this case's settings file and ledger: a restart.
    void makeRig(const std::function<void(Settings&)>& prepare) {
        rig.reset();
        rig = std::make_unique<Rig>(*server, settingsPath, ledgerDir, prepare);
    }
    FakeServer::Handler keep(const QString& key) {
        return [this, key](const FakeServer::Request& request) {
            QMutexLocker lock(&heldMutex);
            held.insert(field(request, key));
            return Reply::json(200, R"({"deduplicated":false,"message":"Registered"})");
        };
    }
    int preUploads() const { return int(server->requests("POST", "/api/files/pre-upload").size()); }

private Q_SLOTS:
    void init();
    void cleanup();
    void newAndDuplicateFilesThenAnUnchangedPass();
    void backendFailure_data();
    void backendFailure();
    void emptyDeletedThenFullFolder();
    void pauseMidPass_data();
    void pauseMidPass();
    void folderChangeDuringCollectionStopsThePass();
    void changedAndKnownFiles();
    void lifecycleIsKeptAcrossRestarts();
    void notificationTexts();
    void closingDoesNotWaitForAHungVault();
};

void TestFolderSync::init() {
    backendDown = storageDown = holding = false;
    held.clear();
    onUpload = nullptr;
    server = std::make_unique<FakeServer>();
    // The handler may still run while the server is being torn down: it keeps its own address.
    server->on("POST", "/api/files/pre-upload",
               [this, base = server->baseUrl()](const FakeServer::Request& request) {
                   while (holding)
                       QThread::msleep(5);
                   const QString hash = field(request, u"file_hash"_s);
                   QMutexLocker lock(&heldMutex);
                   if (backendDown || held.contains(hash))
                       return Reply::json(backendDown ? 500 : 200, R"({"deduplicated":true})");
                   const QString url = base + u"/upload/"_s + hash;
                   return Reply::json(200, R"({"deduplicated":false,"storage_key":"k","upload_url":")" +
                                               url.toUtf8() + "\"}");
               });
    server->onPrefix("PUT", "/upload/", [this](const FakeServer::Request&) {
        if (onUpload)
            onUpload();
        return Reply::json(200, "{}");
    });
    server->on("POST", "/api/files/confirm", keep(u"file_hash"_s));
    server->on("POST", "/rest/v1/rpc/register_or_deduplicate_file", keep(u"p_file_hash"_s));
    server->onPrefix("POST", "/storage/v1/object/orlavant-files/", [this](const FakeServer::Request&) {
        return Reply::json(storageDown ? 500 : 200, "{}");
    });
    settingsPath = makeTempDir(u"settings"_s) + u"/orlavant.conf"_s;
    ledgerDir = makeTempDir(u"ledger"_s);
    makeRig(signIn);
}

void TestFolderSync::cleanup() {
    holding = false;
    rig.reset();
    server.reset();
}

void TestFolderSync::newAndDuplicateFilesThenAnUnchangedPass() {
    const QString folder = makeTempDir(u"Sync"_s);
    writeFile(folder + u"/a.txt"_s, "alpha");
    writeFile(folder + u"/Photos/b.jpg"_s, "beta");
    writeFile(folder + u"/copy.pdf"_s, "known");
    held.insert(sha256Of("known"));
    // A name that is not valid UTF-8 is left out, and said so once, not on every pass.
    const QByteArray latin1 = QFile::encodeName(folder) + "/caf\xe9.txt";
    ::close(::open(latin1.constData(), O_CREAT | O_WRONLY, 0600));
    const auto remove = qScopeGuard([&] { ::unlink(latin1.constData()); });
    LogCapture log;
    QCOMPARE(rig->pass(folder), u"Sync complete: 2 uploaded, 1 deduplicated"_s);
    QCOMPARE(rig->engine->totalSyncedCount(), 3);
    QCOMPARE(rig->engine->deduplicatedCount(), 1);
    QVERIFY(
        rig->ledger.isSynced(u"Photos/b.jpg"_s, 4, QFileInfo(folder + u"/Photos/b.jpg"_s).lastModified()));
    QCOMPARE(rig->ledger.record(u"a.txt"_s)->sha256Hash, sha256Of("alpha"));
    for (const QString& text : {u"Scanning files in %1..."_s.arg(QFileInfo(folder).fileName()),
                                u"Syncing: a.txt..."_s, u"Syncing: b.jpg..."_s})
        QVERIFY2(rig->statuses.contains(text), qPrintable(text));
    std::sort(rig->synced.begin(), rig->synced.end());
    QCOMPARE(rig->synced, (QList<std::pair<QString, bool>>{
                              {u"a.txt"_s, false}, {u"b.jpg"_s, false}, {u"copy.pdf"_s, true}}));
    // A duplicate is counted in the summary but not announced on its own.
    QCOMPARE(rig->sink.posted().size(), 3);
    QCOMPARE(rig->sink.posted().last().body, u"2 new file(s) uploaded, 1 duplicate(s) skipped."_s);
    QCOMPARE(server->requests("PUT", "/upload/" + sha256Of("beta").toLatin1()).first().body,
             QByteArray("beta"));
    QCOMPARE(server->requests("PUT", "/upload/" + sha256Of("known").toLatin1()).size(), 0);

    // A second pass over the unchanged folder asks nothing and posts nothing.
    server->clearRequests();
    QCOMPARE(rig->pass(), u"Up to date (3 files in cloud vault)"_s);
    QCOMPARE(server->requestCount(), 0);
    QCOMPARE(rig->sink.posted().size(), 3);
    QCOMPARE(log.linesStartingWith(u"[FolderSync] Skipping a file whose name"_s).size(), 1);
}

void TestFolderSync::backendFailure_data() {
    QTest::addColumn<bool>("storageRefused");
    QTest::newRow("storage answers 500") << false;
    QTest::newRow("storage unreachable") << true;
}

void TestFolderSync::backendFailure() {
    QFETCH(bool, storageRefused);
    backendDown = storageDown = true;
    if (storageRefused)
        rig->client->configure(FakeServer::refusedBaseUrl(), u"test-anon-key"_s);
    const QString folder = makeTempDir(u"fallback"_s);
    writeFile(folder + u"/sub/a b.txt"_s, "gamma");
    // Both paths failing: nothing is recorded, and the next pass takes the file from the start.
    QCOMPARE(rig->pass(folder), u"Up to date (0 files in cloud vault)"_s);
    QVERIFY(rig->ledger.totalSyncedCount() == 0 && rig->synced.isEmpty() && rig->sink.posted().isEmpty());
    QCOMPARE(server->requests("POST", "/rest/v1/rpc/register_or_deduplicate_file").size(), 0);

    storageDown = false;
    rig->client->configure(server->baseUrl(), u"test-anon-key"_s);
    QCOMPARE(rig->pass(), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    const qsizetype notice = rig->statuses.lastIndexOf(u"Sync notice: The server returned a bad response."_s);
    QCOMPARE(rig->statuses.value(notice + 1), u"Uploading: a b.txt..."_s);
    const QString path =
        u"u1/mac/Anna's_Mac/%1/%2_a b.txt"_s.arg(QFileInfo(folder).fileName(), sha256Of("gamma"));
    const QList<FakeServer::Request> uploads =
        server->requests("POST", "/storage/v1/object/orlavant-files/" + path.toUtf8());
    QCOMPARE(uploads.size(), storageRefused ? 1 : 2);
    QCOMPARE(uploads.last().body, QByteArray("gamma"));
    const FakeServer::Request registration =
        server->requests("POST", "/rest/v1/rpc/register_or_deduplicate_file").value(0);
    QCOMPARE(field(registration, u"p_file_path"_s), path);
    QCOMPARE(field(registration, u"p_folder_path"_s), folder + u"/sub"_s);
    QVERIFY(rig->ledger.record(u"sub/a b.txt"_s));
}

void TestFolderSync::emptyDeletedThenFullFolder() {
    rig->ledger.recordSync(u"elsewhere.txt"_s, 1, QDateTime::currentDateTimeUtc(), sha256Of("x"));
    const QString folder = makeTempDir(u"empty"_s);
    QCOMPARE(rig->pass(folder), u"Up to date (1 files in cloud vault)"_s);
    QCOMPARE(preUploads(), 0);
    QVERIFY(rig->sink.posted().isEmpty());
    QVERIFY(QDir(folder).removeRecursively());
    QCOMPARE(rig->pass(), u"Unable to read folder contents"_s);
    // The engine still takes the next pass; per-file notifications stop at ten, the summary counts all.
    for (int i = 0; i < 12; ++i)
        writeFile(folder + u"/f%1.txt"_s.arg(i), "n" + QByteArray::number(i));
    QCOMPARE(rig->pass(), u"Sync complete: 12 uploaded, 0 deduplicated"_s);
    QCOMPARE(rig->ledger.totalSyncedCount(), 13);
    QCOMPARE(rig->synced.size(), 12); // the callback still hears about every file
    QCOMPARE(rig->sink.posted().size(), 10 + 1);
    QCOMPARE(rig->sink.posted().last().body, u"12 new file(s) uploaded."_s);
}

void TestFolderSync::pauseMidPass_data() {
    QTest::addColumn<bool>("firstFileGetsIn");
    QTest::newRow("one file uploaded before the pause") << true;
    QTest::newRow("nothing uploaded before the pause") << false;
}

void TestFolderSync::pauseMidPass() {
    QFETCH(bool, firstFileGetsIn);
    backendDown = storageDown = !firstFileGetsIn;
    LogCapture log;
    const QString folder = makeTempDir(u"pause"_s);
    for (int i = 0; i < 5; ++i)
        writeFile(folder + u"/f%1.txt"_s.arg(i), QByteArray::number(i));
    rig->engine->changeFolder(folder);
    holding = true;
    QSignalSpy finished(rig->engine.get(), &FolderSyncManager::passFinished);
    rig->engine->startSync();
    QTRY_COMPARE(preUploads(), 1);
    rig->engine->stopSync();
    holding = false;
    QVERIFY(finished.wait(20000));
    QCOMPARE(preUploads(), 1); // the current file finished, no other started
    QVERIFY(rig->engine->lastSyncTime() && rig->engine->isSyncStopped() && !rig->engine->isSyncing());
    QCOMPARE(rig->ledger.totalSyncedCount(), firstFileGetsIn ? 1 : 0);
    QCOMPARE(log.linesStartingWith(u"[FolderSync] Sync scan aborted mid-batch"_s).size(), 1);
    QCOMPARE(rig->status(),
             firstFileGetsIn ? u"Sync complete: 1 uploaded, 0 deduplicated"_s : u"Sync Paused by User"_s);
}

void TestFolderSync::folderChangeDuringCollectionStopsThePass() {
    const QString big = makeTempDir(u"big"_s);
    for (int i = 0; i < 3000; ++i)
        writeFile(big + u"/d%1/f%2.txt"_s.arg(i % 30).arg(i), QByteArray::number(i));
    rig->engine->changeFolder(big);
    rig->engine->startSync();
    // The pass is queued, collecting or on its first file now: whichever, it ends there (a
    // collection cut short is also covered by the scanner's own cancellation test).
    rig->engine->changeFolder(makeTempDir(u"other"_s));
    QTest::qWait(300);
    QVERIFY(preUploads() <= 1);
    QVERIFY(!rig->engine->isSyncing());
    QVERIFY(rig->status().startsWith(u"Folder set: other"_s));
}

void TestFolderSync::changedAndKnownFiles() {
    LogCapture log;
    const QString folder = makeTempDir(u"files"_s), video = folder + u"/video.mp4"_s;
    writeFile(video, "first part");
    onUpload = [video] { writeFile(video, "first part and more"); };
    // Known from the ledger, it must not be read again: sparse, it costs no disk but 256 MiB of reading.
    writeFile(folder + u"/disk-image.iso"_s, {});
    QVERIFY(QFile::resize(folder + u"/disk-image.iso"_s, 256 << 20));
    rig->ledger.recordSync(u"disk-image.iso"_s, 256 << 20,
                           QFileInfo(folder + u"/disk-image.iso"_s).lastModified(), QString(64, u'0'));
    const qint64 before = bytesReadByProcess();
    QCOMPARE(rig->pass(folder), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    QVERIFY(before < 0 || bytesReadByProcess() - before < (64 << 20));
    QCOMPARE(preUploads(), 1);
    // The video grew during its upload: not recorded, and taken again by the next pass.
    QVERIFY(!rig->ledger.record(u"video.mp4"_s));
    QCOMPARE(log.linesStartingWith(u"[FolderSync] video.mp4 changed while it was being synced"_s).size(), 1);
    onUpload = nullptr;
    QCOMPARE(rig->pass(), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    QCOMPARE(rig->ledger.record(u"video.mp4"_s)->sha256Hash, sha256Of("first part and more"));
}

void TestFolderSync::lifecycleIsKeptAcrossRestarts() {
    QCOMPARE(rig->status(), u"Sync paused \u2014 click Start Sync"_s); // signed in, nothing stored yet
    rig->engine->setDeviceName(u"annas-mac"_s);                        // a name that can travel in a URL path
    const QString folder = makeTempDir(u"Chosen Folder"_s);
    writeFile(folder + u"/a.txt"_s, "kept");
    rig->engine->startSync(); // no folder yet: asks for one, and nothing happens when cancelled
    QCOMPARE(rig->status(), u"No folder selected. Please select a folder to sync."_s);
    QTRY_COMPARE(rig->dialogs.asked().size(), 1);
    const Dialogs::OpenOptions asked = rig->dialogs.asked().first().open;
    QCOMPARE(asked.title + u'|' + asked.message + u'|' + asked.prompt,
             u"Select Orlavant Cloud Sync Directory|Choose a local directory to sync with your private cloud "
             u"vault.|Select Folder to Sync"_s);
    QVERIFY(asked.chooseDirectories && !asked.chooseFiles && !asked.allowsMultiple);
    rig->dialogs.setNextOpen(QStringList{folder});
    rig->engine->promptChooseFolder();
    QTRY_COMPARE(rig->engine->watchedFolderPath(), std::optional<QString>(folder));
    QCOMPARE(rig->status(), u"Folder set: %1. Ready \u2014 click 'Start Sync' to begin."_s.arg(
                                QFileInfo(folder).fileName()));
    QCOMPARE(rig->settings.boolean(u"orlavant_sync_stopped"_s), std::optional<bool>(true));
    QCOMPARE(rig->settings.string(u"orlavant_watched_folder_path"_s), std::optional<QString>(folder));
    QCOMPARE(FolderBookmark::resolve(*rig->settings.data(u"orlavant_watched_folder_bookmark"_s))->path,
             folder);
    // The folder is bound to this machine in the background.
    QTRY_COMPARE(server->requests("PUT", "/api/devices/annas-mac/sync-folder").size(), 1);
    rig->engine->triggerFolderScan(); // paused: a second Start Sync is needed
    QCOMPARE(preUploads(), 0);
    rig->engine->changeFolder(folder + u"/missing"_s); // cannot be bookmarked: the chosen folder stays
    QCOMPARE(rig->settings.string(u"orlavant_watched_folder_path"_s), std::optional<QString>(folder));

    QCOMPARE(rig->pass(folder), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    QCOMPARE(rig->settings.boolean(u"orlavant_sync_stopped"_s), std::optional<bool>(false));
    QCOMPARE(rig->engine->findChild<QTimer*>(u"scanTimer"_s)->interval(), 30000);
    makeRig([](Settings& settings) { settings.remove(u"orlavant_supabase_session"_s); });
    QCOMPARE(rig->status(), u"Please log in to activate cloud sync"_s);
    QVERIFY(!rig->engine->watchedFolderPath());
    rig->engine->startSync();
    QCOMPARE(rig->status(), u"Please log in first to enable sync"_s);
    makeRig(signIn);
    QCOMPARE(rig->engine->watchedFolderPath(), std::optional<QString>(folder));
    QCOMPARE(rig->status(), u"Ready to sync"_s);
    QCOMPARE(rig->engine->totalSyncedCount(), 1);
    // Creation never starts watching or scanning.
    QTest::qWait(100);
    QVERIFY(!rig->engine->findChild<QTimer*>(u"scanTimer"_s));

    rig->engine->stopSync();
    QCOMPARE(rig->status(), u"Sync Paused by User"_s);
    QCOMPARE(rig->settings.boolean(u"orlavant_sync_stopped"_s), std::optional<bool>(true));
    makeRig([](Settings& settings) { settings.setString(u"orlavant_sync_stopped"_s, u"yes"_s); });
    QCOMPARE(rig->status(), u"Sync paused \u2014 click Start Sync"_s); // a stored value that is not a boolean
    QSignalSpy finished(rig->engine.get(), &FolderSyncManager::passFinished);
    rig->engine->toggleSync();
    QCOMPARE(rig->status(), u"Sync Active"_s);
    QVERIFY(finished.wait(20000));
    QCOMPARE(preUploads(), 1); // the reloaded ledger still knows a.txt

    rig->client->signOut();
    QCOMPARE(rig->status(), u"Logged out. Sync engine inactive."_s);
    QVERIFY(rig->engine->isSyncStopped());
    // The stored flag stays as it was: a sign-out is not a pause.
    QCOMPARE(rig->settings.boolean(u"orlavant_sync_stopped"_s), std::optional<bool>(false));
}

void TestFolderSync::notificationTexts() {
    RecordingNotificationSink sink;
    sink.grant = false;
    MacNotificationHelper helper(sink);
    helper.requestPermission();
    QCOMPARE(sink.authorizationRequests(), 1);
    // Posting neither waits for nor checks the answer.
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    helper.notifyDuplicateSkipped(u"b.pdf"_s);
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    helper.notifyBatchComplete(2, 1);
    helper.notifyBatchComplete(0, 0); // nothing to say: nothing posted
    helper.notifyBatchComplete(-1, -3);
    helper.notifyBatchComplete(-2, 4);
    helper.notifyBatchComplete(1, 0);
    QStringList described;
    QSet<QString> identifiers;
    for (const DesktopNotification& posted : sink.posted()) {
        described.append(posted.title + u'|' + posted.subtitle.value_or(u"-"_s) + u'|' + posted.body +
                         (posted.playSound ? u"|sound"_s : QString()));
        QCOMPARE(posted.identifier.size(), 36); // the textual UUID form
        identifiers.insert(posted.identifier);
    }
    const QString uploaded =
        u"Orlavant Cloud Sync|New file uploaded securely|\u201CHoliday <1> & more.jpg\u201D "
        u"was added to your family cloud vault.|sound"_s;
    QCOMPARE(described, (QStringList{uploaded,
                                     u"Orlavant Deduplication|Duplicate file skipped|\u201C"
                                     u"b.pdf\u201D already exists in your cloud vault (identical SHA-256)."_s,
                                     uploaded,
                                     u"Orlavant Auto-Sync Complete|-|2 new file(s) uploaded, 1 duplicate(s) "
                                     u"skipped.|sound"_s,
                                     u"Orlavant Auto-Sync Complete|-|4 duplicate(s) skipped.|sound"_s,
                                     u"Orlavant Auto-Sync Complete|-|1 new file(s) uploaded.|sound"_s}));
    // Identical notifications must not replace each other.
    QCOMPARE(identifiers.size(), 6);
    // Notification servers render a subset of HTML: a file name must not become markup.
    QCOMPARE(DbusNotificationSink::wireBody(sink.posted().first()),
             u"New file uploaded securely\n\u201CHoliday &lt;1&gt; &amp; more.jpg\u201D was added to your "
             u"family cloud vault."_s);
}

void TestFolderSync::closingDoesNotWaitForAHungVault() {
    rig.reset();
    auto app = std::make_unique<TestServices>(TestServices::session());
    CoreServices& core = *app->services;
    core.client.configure(server->baseUrl(), u"test-anon-key"_s);
    core.client.setBackendUrl(server->baseUrl());
    const QString folder = makeTempDir(u"hung"_s);
    writeFile(folder + u"/a.txt"_s, "a");
    holding = true; // the vault takes the pre-upload and does not answer
    core.folderSync.changeFolder(folder);
    core.folderSync.startSync();
    QTRY_COMPARE(preUploads(), 1);
    // Closing cancels the network first; waiting instead would sit out the 60-second request
    // time-out (a liveness bound, not a speed measure).
    QElapsedTimer closing;
    closing.start();
    app.reset();
    QVERIFY2(closing.elapsed() < 20000, "closing waited for the vault's answer");
}

ORLAVANT_TEST_GUILESS_MAIN(TestFolderSync)
#include "tst_foldersync.moc"
