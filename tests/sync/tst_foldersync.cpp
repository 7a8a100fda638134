#include "platform/FolderBookmark.h"
#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "support/FakeServer.h"
#include "support/LogCapture.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "sync/FolderSyncManager.h"
#include "sync/MacNotificationHelper.h"
#include "sync/SyncLedger.h"
#include "vault/SupabaseClient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTimer>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <unistd.h>

namespace {

const QString UserId = QStringLiteral("u1");
const QString Device = QStringLiteral("Anna's Mac");
const QString Paused = QStringLiteral("Sync paused \u2014 click Start Sync");

QString sha256Of(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(bytes);
}

QJsonObject jsonBody(const FakeServer::Request& request) {
    return QJsonDocument::fromJson(request.body).object();
}

// The two servers of the vault on one fake: the application backend (pre-upload, upload,
// confirm, devices) and the hosted project (storage, registry). Content it has confirmed or
// stored counts as held by the household.
class FakeVault {
public:
    enum class Mode { Ok, Fail };

    explicit FakeVault(FakeServer& server)
        : m_server(server) {
        server.on("POST", "/api/files/pre-upload", [this](const FakeServer::Request& request) {
            waitIfHeld();
            std::lock_guard lock(m_mutex);
            if (m_backend == Mode::Fail)
                return FakeServer::Reply::json(500, R"({"error":"down"})");
            const QString hash = jsonBody(request).value(QStringLiteral("file_hash")).toString();
            if (m_held.count(hash))
                return FakeServer::Reply::json(200, R"({"deduplicated":true})");
            QJsonObject reply{
                {QStringLiteral("deduplicated"), false},
                {QStringLiteral("upload_url"), m_server.baseUrl() + QStringLiteral("/upload/") + hash},
                {QStringLiteral("storage_key"), QStringLiteral("key-") + hash}};
            return FakeServer::Reply::json(200, QJsonDocument(reply).toJson(QJsonDocument::Compact));
        });
        server.onPrefix("PUT", "/upload/", [this](const FakeServer::Request&) {
            if (onUpload)
                onUpload();
            return FakeServer::Reply::json(200, "{}");
        });
        server.on("POST", "/api/files/confirm", [this](const FakeServer::Request& request) {
            std::lock_guard lock(m_mutex);
            m_held.insert(jsonBody(request).value(QStringLiteral("file_hash")).toString());
            return FakeServer::Reply::json(200, "{}");
        });
        server.onPrefix("POST", "/storage/v1/object/orlavant-files/", [this](const FakeServer::Request&) {
            std::lock_guard lock(m_mutex);
            return FakeServer::Reply::json(m_storage == Mode::Ok ? 200 : 500, "{}");
        });
        server.on("POST", "/rest/v1/rpc/register_or_deduplicate_file",
                  [this](const FakeServer::Request& request) {
                      std::lock_guard lock(m_mutex);
                      m_held.insert(jsonBody(request).value(QStringLiteral("p_file_hash")).toString());
                      return FakeServer::Reply::json(200, R"({"deduplicated":false,"message":"Registered"})");
                  });
        server.on("POST", "/api/devices/register", FakeServer::Reply::json(200, "{}"));
        server.onPrefix("PUT", "/api/devices/",
                        [](const FakeServer::Request&) { return FakeServer::Reply::json(200, "{}"); });
    }
    ~FakeVault() { release(); }

    void hold(const QString& hash) {
        std::lock_guard lock(m_mutex);
        m_held.insert(hash);
    }
    void setBackend(Mode mode) {
        std::lock_guard lock(m_mutex);
        m_backend = mode;
    }
    void setStorage(Mode mode) {
        std::lock_guard lock(m_mutex);
        m_storage = mode;
    }
    // Pre-upload requests wait until release(): a pass stays inside a vault call meanwhile.
    void holdRequests() {
        std::lock_guard lock(m_mutex);
        m_holding = true;
    }
    void release() {
        {
            std::lock_guard lock(m_mutex);
            m_holding = false;
        }
        m_released.notify_all();
    }
    int preUploads() const { return int(m_server.requests("POST", "/api/files/pre-upload").size()); }

    std::function<void()> onUpload; // runs on the server's thread

private:
    void waitIfHeld() {
        std::unique_lock lock(m_mutex);
        m_released.wait(lock, [this] { return !m_holding; });
    }

    FakeServer& m_server;
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_holding = false;
    std::set<QString> m_held;
    Mode m_backend = Mode::Ok;
    Mode m_storage = Mode::Ok;
};

// Everything an engine needs, signed in (or not) against the fake vault, with fresh settings
// and ledger per test.
struct Rig {
    explicit Rig(FakeServer& server, bool signedIn = true, const std::function<void(Settings&)>& prepare = {})
        : settingsPath(makeTempDir(QStringLiteral("settings")) + QStringLiteral("/orlavant.conf"))
        , ledgerDirectory(makeTempDir(QStringLiteral("ledger")))
        , settings(settingsPath) {
        init(server, signedIn, prepare);
    }
    // A restart: same settings file and ledger directory as `previous`.
    Rig(FakeServer& server, const QString& settingsFile, const QString& ledgerDir)
        : settingsPath(settingsFile)
        , ledgerDirectory(ledgerDir)
        , settings(settingsPath) {
        init(server, false, {});
    }

    void init(FakeServer& server, bool signedIn, const std::function<void(Settings&)>& prepare) {
        settings.setString(QStringLiteral("orlavant_supabase_url"), server.baseUrl());
        settings.setString(QStringLiteral("orlavant_supabase_key"), QStringLiteral("test-anon-key"));
        settings.setString(QStringLiteral("orlavant_backend_base_url"), server.baseUrl());
        if (signedIn) {
            SupabaseSession session{QStringLiteral("token-1"), std::nullopt, UserId, QStringLiteral("a@b.c")};
            settings.setData(QStringLiteral("orlavant_supabase_session"), session.toJson());
        }
        if (prepare)
            prepare(settings);
        client = std::make_unique<SupabaseClient>(settings, http);
        ledger = std::make_unique<SyncLedger>(ledgerDirectory);
        notifications = std::make_unique<MacNotificationHelper>(sink);
        engine = std::make_unique<FolderSyncManager>(settings, *client, *ledger, *notifications, dialogs);
        engine->setDeviceName(Device);
        QObject::connect(client.get(), &SupabaseClient::signedOut, engine.get(),
                         &FolderSyncManager::handleLogout);
        QObject::connect(engine.get(), &FolderSyncManager::syncStatusMessageChanged, engine.get(),
                         [this] { statuses.append(engine->syncStatusMessage()); });
        engine->onFileSynced = [this](const QString& name, bool duplicate) {
            synced.append({name, duplicate});
        };
    }

    // Chooses `folder`, starts sync and waits for the pass that starts.
    bool startIn(const QString& folder) {
        engine->changeFolder(folder);
        QSignalSpy finished(engine.get(), &FolderSyncManager::passFinished);
        engine->startSync();
        return finished.wait(20000);
    }
    bool runPass() {
        QSignalSpy finished(engine.get(), &FolderSyncManager::passFinished);
        engine->triggerFolderScan();
        return finished.wait(20000);
    }

    QString settingsPath;
    QString ledgerDirectory;
    Settings settings;
    HttpClient http;
    std::unique_ptr<SupabaseClient> client;
    std::unique_ptr<SyncLedger> ledger;
    RecordingNotificationSink sink;
    std::unique_ptr<MacNotificationHelper> notifications;
    TestDialogs dialogs;
    std::unique_ptr<FolderSyncManager> engine;
    QStringList statuses;
    QList<std::pair<QString, bool>> synced;
};

QStringList bodies(const QList<DesktopNotification>& posted) {
    QStringList result;
    for (const DesktopNotification& notification : posted)
        result.append(notification.body);
    return result;
}

} // namespace

class TestFolderSync : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void newFilesAreUploadedOnceThenSkipped();
    void duplicateIsCountedNotAnnounced();
    void backendFailureFallsBackToStorage();
    void bothPathsFailingRetriesNextPass_data();
    void bothPathsFailingRetriesNextPass();
    void emptyFolderIsUpToDate();
    void pauseMidPassEndsWithTheCountsSoFar_data();
    void pauseMidPassEndsWithTheCountsSoFar();
    void folderChangeMidCallEndsWithoutSummary();
    void folderChangeRightAfterStartStopsThePass();
    void perFileNotificationsAreCapped_data();
    void perFileNotificationsAreCapped();
    void fileChangedDuringUploadIsNotRecorded();
    void knownFilesAreNotHashedAgain();
    void deletedFolderCannotBeRead();
    void undecodableNameIsReportedOnce();
    void folderEventTriggersAPass();
    void destructionDoesNotWaitForTheNetwork();

    void startingTexts_data();
    void startingTexts();
    void startSyncWithoutSessionOrFolder();
    void choosingAFolderStoresItPaused();
    void folderThatCannotBeBookmarked();
    void savedFolderIsRestored_data();
    void savedFolderIsRestored();
    void staleBookmarkIsReplaced();
    void pauseAndLogout();
    void loginRegistersTheDevice();
    void statusCallbackReadsValuesWhenItRuns();
    void restartRestoresFolderPauseAndCount();
    void timerTickWhilePausedDoesNothing();
};

void TestFolderSync::newFilesAreUploadedOnceThenSkipped() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString folder = makeTempDir(QStringLiteral("Sync"));
    writeFile(folder + QStringLiteral("/a.txt"), "alpha");
    writeFile(folder + QStringLiteral("/Photos/b.jpg"), "beta");
    QVERIFY(rig.startIn(folder));

    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Sync complete: 2 uploaded, 0 deduplicated"));
    QCOMPARE(rig.engine->totalSyncedCount(), 2);
    QVERIFY(!rig.engine->isSyncing());
    QVERIFY(rig.engine->lastSyncTime());
    QVERIFY(rig.ledger->isSynced(QStringLiteral("Photos/b.jpg"), 4,
                                 QFileInfo(folder + QStringLiteral("/Photos/b.jpg")).lastModified()));
    QCOMPARE(rig.ledger->record(QStringLiteral("a.txt"))->sha256Hash, sha256Of("alpha"));
    const QString name = QFileInfo(folder).fileName();
    QVERIFY(rig.statuses.contains(QStringLiteral("Scanning files in ") + name + QStringLiteral("...")));
    QVERIFY(rig.statuses.contains(QStringLiteral("Syncing: a.txt...")));
    QVERIFY(rig.statuses.contains(QStringLiteral("Syncing: b.jpg...")));
    std::sort(rig.synced.begin(), rig.synced.end());
    QCOMPARE(rig.synced, (QList<std::pair<QString, bool>>{{QStringLiteral("a.txt"), false},
                                                          {QStringLiteral("b.jpg"), false}}));
    QStringList posted = bodies(rig.sink.posted());
    QCOMPARE(posted.size(), 3);
    QCOMPARE(posted.last(), QStringLiteral("2 new file(s) uploaded."));

    // What the backend was told about b.jpg.
    for (const FakeServer::Request& request : server.requests("POST", "/api/files/pre-upload")) {
        const QJsonObject body = jsonBody(request);
        QCOMPARE(body.value(QStringLiteral("device_id")).toString(), Device);
        if (body.value(QStringLiteral("filename")).toString() == QStringLiteral("b.jpg")) {
            QCOMPARE(body.value(QStringLiteral("folder_path")).toString(),
                     folder + QStringLiteral("/Photos"));
            QCOMPARE(body.value(QStringLiteral("file_hash")).toString(), sha256Of("beta"));
            QCOMPARE(body.value(QStringLiteral("file_size")).toInteger(), 4);
        }
    }
    QCOMPARE(server.requests("PUT", "/upload/" + sha256Of("beta").toLatin1()).first().body,
             QByteArray("beta"));

    // A second pass over the unchanged folder asks nothing and posts nothing.
    server.clearRequests();
    QVERIFY(rig.runPass());
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Up to date (2 files in cloud vault)"));
    QCOMPARE(rig.sink.posted().size(), 3);
}

void TestFolderSync::duplicateIsCountedNotAnnounced() {
    FakeServer server;
    FakeVault vault(server);
    vault.hold(sha256Of("known"));
    Rig rig(server);
    const QString folder = makeTempDir(QStringLiteral("dup"));
    writeFile(folder + QStringLiteral("/copy.pdf"), "known");
    QVERIFY(rig.startIn(folder));
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Sync complete: 0 uploaded, 1 deduplicated"));
    QCOMPARE(rig.engine->deduplicatedCount(), 1);
    QCOMPARE(rig.engine->totalSyncedCount(), 1);
    QCOMPARE(rig.synced, (QList<std::pair<QString, bool>>{{QStringLiteral("copy.pdf"), true}}));
    QCOMPARE(bodies(rig.sink.posted()), QStringList{QStringLiteral("1 duplicate(s) skipped.")});
    QCOMPARE(server.requests("PUT", "/upload/" + sha256Of("known").toLatin1()).size(), 0);
}

void TestFolderSync::backendFailureFallsBackToStorage() {
    FakeServer server;
    FakeVault vault(server);
    vault.setBackend(FakeVault::Mode::Fail);
    Rig rig(server);
    LogCapture log;
    const QString folder = makeTempDir(QStringLiteral("fallback"));
    writeFile(folder + QStringLiteral("/sub/a b.txt"), "gamma");
    QVERIFY(rig.startIn(folder));

    const QString digest = sha256Of("gamma");
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Sync complete: 1 uploaded, 0 deduplicated"));
    const int notice =
        int(rig.statuses.indexOf(QStringLiteral("Sync notice: The server returned a bad response.")));
    QVERIFY2(notice >= 0, qPrintable(rig.statuses.join(u'|')));
    QCOMPARE(rig.statuses.value(notice + 1), QStringLiteral("Uploading: a b.txt..."));
    QCOMPARE(log.linesStartingWith(QStringLiteral("[FolderSync] Sovereign sync error for a b.txt: ")).size(),
             1);

    const QString storagePath = UserId + QStringLiteral("/mac/Anna's_Mac/") + QFileInfo(folder).fileName() +
                                QLatin1Char('/') + digest + QStringLiteral("_a b.txt");
    QCOMPARE(FolderSyncManager::storagePath(UserId, Device, folder, digest, QStringLiteral("a b.txt")),
             storagePath);
    const QList<FakeServer::Request> uploads =
        server.requests("POST", "/storage/v1/object/orlavant-files/" + storagePath.toUtf8());
    QCOMPARE(uploads.size(), 1);
    QCOMPARE(uploads.first().body, QByteArray("gamma"));
    QCOMPARE(uploads.first().header("content-type"), QByteArray("text/plain"));
    const QList<FakeServer::Request> registrations =
        server.requests("POST", "/rest/v1/rpc/register_or_deduplicate_file");
    QCOMPARE(registrations.size(), 1);
    const QJsonObject registration = jsonBody(registrations.first());
    QCOMPARE(registration.value(QStringLiteral("p_file_path")).toString(), storagePath);
    QCOMPARE(registration.value(QStringLiteral("p_device_name")).toString(), Device); // spaces kept here
    QCOMPARE(registration.value(QStringLiteral("p_folder_path")).toString(), folder + QStringLiteral("/sub"));
    QVERIFY(rig.ledger->record(QStringLiteral("sub/a b.txt")));
    QCOMPARE(rig.synced, (QList<std::pair<QString, bool>>{{QStringLiteral("a b.txt"), false}}));

    QCOMPARE(FolderSyncManager::storagePath(std::nullopt, QStringLiteral("Mac"), QStringLiteral("/x/Sync"),
                                            QStringLiteral("d"), QStringLiteral("f")),
             QStringLiteral("vault/mac/Mac/Sync/d_f"));
}

void TestFolderSync::bothPathsFailingRetriesNextPass_data() {
    QTest::addColumn<bool>("storageRefused");
    QTest::newRow("storage answers 500") << false;
    QTest::newRow("storage unreachable") << true;
}

void TestFolderSync::bothPathsFailingRetriesNextPass() {
    QFETCH(bool, storageRefused);
    FakeServer server;
    FakeVault vault(server);
    vault.setBackend(FakeVault::Mode::Fail);
    vault.setStorage(FakeVault::Mode::Fail);
    Rig rig(server);
    if (storageRefused)
        rig.client->configure(FakeServer::refusedBaseUrl(), QStringLiteral("test-anon-key"));
    LogCapture log;
    const QString folder = makeTempDir(QStringLiteral("failing"));
    writeFile(folder + QStringLiteral("/a.txt"), "delta");
    QVERIFY(rig.startIn(folder));
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Up to date (0 files in cloud vault)"));
    QCOMPARE(rig.ledger->totalSyncedCount(), 0);
    QVERIFY(rig.synced.isEmpty());
    QVERIFY(rig.sink.posted().isEmpty());
    QCOMPARE(log.linesStartingWith(QStringLiteral("[FolderSync] Upload failed for a.txt: ")).size(),
             storageRefused ? 1 : 0);
    QCOMPARE(server.requests("POST", "/rest/v1/rpc/register_or_deduplicate_file").size(), 0);

    // The vault recovers: the next pass takes the file from the start.
    vault.setBackend(FakeVault::Mode::Ok);
    QVERIFY(rig.runPass());
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Sync complete: 1 uploaded, 0 deduplicated"));
    QCOMPARE(rig.ledger->totalSyncedCount(), 1);
}

void TestFolderSync::emptyFolderIsUpToDate() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    rig.ledger->recordSync(QStringLiteral("elsewhere.txt"), 1, QDateTime::currentDateTimeUtc(),
                           sha256Of("x"));
    QVERIFY(rig.startIn(makeTempDir(QStringLiteral("empty"))));
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Up to date (1 files in cloud vault)"));
    QCOMPARE(vault.preUploads(), 0);
    QVERIFY(rig.sink.posted().isEmpty());
}

void TestFolderSync::pauseMidPassEndsWithTheCountsSoFar_data() {
    QTest::addColumn<bool>("firstFileGetsIn");
    QTest::newRow("one file uploaded before the pause") << true;
    QTest::newRow("nothing uploaded before the pause") << false;
}

void TestFolderSync::pauseMidPassEndsWithTheCountsSoFar() {
    QFETCH(bool, firstFileGetsIn);
    FakeServer server;
    FakeVault vault(server);
    if (!firstFileGetsIn) {
        vault.setBackend(FakeVault::Mode::Fail);
        vault.setStorage(FakeVault::Mode::Fail);
    }
    Rig rig(server);
    LogCapture log;
    const QString folder = makeTempDir(QStringLiteral("pause"));
    for (int i = 0; i < 5; ++i)
        writeFile(folder + QStringLiteral("/f%1.txt").arg(i), QByteArray::number(i));
    rig.engine->changeFolder(folder);
    vault.holdRequests();
    QSignalSpy finished(rig.engine.get(), &FolderSyncManager::passFinished);
    rig.engine->startSync();
    QTRY_COMPARE(vault.preUploads(), 1);
    rig.engine->stopSync();
    vault.release();
    QVERIFY(finished.wait(20000));

    QCOMPARE(log.linesStartingWith(QStringLiteral("[FolderSync] Sync scan aborted mid-batch")).size(), 1);
    QCOMPARE(vault.preUploads(), 1); // the current file finished, no other started
    QVERIFY(rig.engine->lastSyncTime());
    QVERIFY(rig.engine->isSyncStopped());
    QCOMPARE(rig.engine->syncStatusMessage(),
             firstFileGetsIn ? QStringLiteral("Sync complete: 1 uploaded, 0 deduplicated")
                             : QStringLiteral("Sync Paused by User"));
    QCOMPARE(rig.ledger->totalSyncedCount(), firstFileGetsIn ? 1 : 0);
}

void TestFolderSync::folderChangeMidCallEndsWithoutSummary() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    LogCapture log;
    const QString first = makeTempDir(QStringLiteral("first"));
    const QString second = makeTempDir(QStringLiteral("second"));
    writeFile(first + QStringLiteral("/a.txt"), "a");
    writeFile(first + QStringLiteral("/b.txt"), "b");
    rig.engine->changeFolder(first);
    vault.holdRequests();
    QSignalSpy finished(rig.engine.get(), &FolderSyncManager::passFinished);
    rig.engine->startSync();
    QTRY_COMPARE(vault.preUploads(), 1);
    rig.engine->changeFolder(second);
    QVERIFY(!rig.engine->isSyncing());
    vault.release();
    QVERIFY(finished.wait(20000));

    const QString folderSet = QStringLiteral("Folder set: ") + QFileInfo(second).fileName() +
                              QStringLiteral(". Ready \u2014 click 'Start Sync' to begin.");
    QCOMPARE(rig.engine->syncStatusMessage(), folderSet);
    QCOMPARE(rig.engine->watchedFolderPath(), std::optional<QString>(second));
    QVERIFY(rig.engine->isSyncStopped());
    QVERIFY(rig.engine->lastSyncTime()); // the end-of-batch step ran, keeping the folder-set text
    QCOMPARE(vault.preUploads(), 1);
    // The answer came after the change: not counted or announced, but the vault has the file.
    QVERIFY(rig.synced.isEmpty());
    QVERIFY(rig.sink.posted().isEmpty());
    QCOMPARE(rig.ledger->totalSyncedCount(), 1);
    QVERIFY(log.linesStartingWith(QStringLiteral("[FolderSync] Sync scan aborted")).isEmpty());
    QCOMPARE(rig.settings.string(QStringLiteral("orlavant_watched_folder_path")),
             std::optional<QString>(second));
}

void TestFolderSync::folderChangeRightAfterStartStopsThePass() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString big = makeTempDir(QStringLiteral("big"));
    for (int i = 0; i < 3000; ++i)
        writeFile(big + QStringLiteral("/d%1/f%2.txt").arg(i % 30).arg(i), QByteArray::number(i));
    rig.engine->changeFolder(big);
    rig.engine->startSync();
    // The pass is queued, collecting or on its first file now: whichever, it ends there (a
    // collection cut short is also covered by the scanner's own cancellation test).
    rig.engine->changeFolder(makeTempDir(QStringLiteral("other")));
    QTest::qWait(300);
    QVERIFY(vault.preUploads() <= 1);
    QVERIFY(!rig.engine->isSyncing());
    QVERIFY(rig.engine->syncStatusMessage().startsWith(QStringLiteral("Folder set: other")));
}

void TestFolderSync::perFileNotificationsAreCapped_data() {
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("perFile");
    QTest::newRow("five files, five notifications") << 5 << 5;
    QTest::newRow("twelve files, ten notifications") << 12 << 10;
}

void TestFolderSync::perFileNotificationsAreCapped() {
    QFETCH(int, files);
    QFETCH(int, perFile);
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString folder = makeTempDir(QStringLiteral("many"));
    for (int i = 0; i < files; ++i)
        writeFile(folder + QStringLiteral("/f%1.txt").arg(i), "n" + QByteArray::number(i));
    QVERIFY(rig.startIn(folder));
    const QList<DesktopNotification> posted = rig.sink.posted();
    QCOMPARE(posted.size(), perFile + 1);
    QCOMPARE(posted.last().body, QStringLiteral("%1 new file(s) uploaded.").arg(files));
    QCOMPARE(rig.synced.size(), files); // the callback still hears about every file
}

void TestFolderSync::fileChangedDuringUploadIsNotRecorded() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    LogCapture log;
    const QString folder = makeTempDir(QStringLiteral("growing"));
    const QString file = folder + QStringLiteral("/video.mp4");
    writeFile(file, "first part");
    vault.onUpload = [file] {
        QFile grow(file);
        if (grow.open(QIODevice::Append))
            grow.write(" and more");
    };
    QVERIFY(rig.startIn(folder));
    QCOMPARE(rig.ledger->totalSyncedCount(), 0);
    QCOMPARE(log.linesStartingWith(QStringLiteral("[FolderSync] video.mp4 changed while it was being synced"))
                 .size(),
             1);

    vault.onUpload = nullptr;
    QVERIFY(rig.runPass());
    QCOMPARE(rig.ledger->record(QStringLiteral("video.mp4"))->sha256Hash, sha256Of("first part and more"));
}

// Bytes this process has read through read() and friends, from the kernel's own count.
qint64 bytesReadByProcess() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar: "))
            return line.mid(7).trimmed().toLongLong();
    }
    return -1;
}

void TestFolderSync::knownFilesAreNotHashedAgain() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString folder = makeTempDir(QStringLiteral("known"));
    const QString file = folder + QStringLiteral("/disk-image.iso");
    constexpr qint64 Size = 256LL * 1024 * 1024;
    {
        QFile sparse(file);
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(Size)); // sparse: costs no disk, but hashing would read it all
    }
    rig.ledger->recordSync(QStringLiteral("disk-image.iso"), Size, QFileInfo(file).lastModified(),
                           QString(64, u'0'));
    const qint64 before = bytesReadByProcess();
    if (before < 0)
        QSKIP("No per-process I/O accounting here");
    QVERIFY(rig.startIn(folder));
    QVERIFY(bytesReadByProcess() - before < Size / 4);
    QCOMPARE(vault.preUploads(), 0);
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Up to date (1 files in cloud vault)"));
}

void TestFolderSync::undecodableNameIsReportedOnce() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString folder = makeTempDir(QStringLiteral("latin1"));
    const QByteArray raw = QFile::encodeName(folder) + "/caf\xe9.txt";
    const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);
    const auto remove = qScopeGuard([&] { ::unlink(raw.constData()); });
    writeFile(folder + QStringLiteral("/fine.txt"), "fine");
    LogCapture log;
    QVERIFY(rig.startIn(folder));
    QVERIFY(rig.runPass());
    QCOMPARE(
        log.linesStartingWith(QStringLiteral("[FolderSync] Skipping a file whose name is not valid UTF-8"))
            .size(),
        1);
    QCOMPARE(rig.ledger->totalSyncedCount(), 1);
    QCOMPARE(vault.preUploads(), 1);
}

void TestFolderSync::deletedFolderCannotBeRead() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString folder = makeTempDir(QStringLiteral("doomed"));
    QVERIFY(rig.startIn(folder));
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(rig.runPass());
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Unable to read folder contents"));
    QVERIFY(!rig.engine->isSyncing());
    // The engine still takes the next pass.
    QDir().mkpath(folder);
    writeFile(folder + QStringLiteral("/back.txt"), "back");
    QVERIFY(rig.runPass());
    QCOMPARE(rig.ledger->totalSyncedCount(), 1);
}

void TestFolderSync::folderEventTriggersAPass() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString folder = makeTempDir(QStringLiteral("watched"));
    QVERIFY(rig.startIn(folder));
    QSignalSpy finished(rig.engine.get(), &FolderSyncManager::passFinished);
    writeFile(folder + QStringLiteral("/dropped.txt"), "dropped");
    writeFile(folder + QStringLiteral("/dropped2.txt"), "dropped2");
    // One second after the event, a pass; the burst's second event starts no second pass.
    QVERIFY(finished.wait(10000));
    QTRY_COMPARE(rig.ledger->totalSyncedCount(), 2);
    QTest::qWait(1500);
    QVERIFY(finished.size() <= 2);
    QCOMPARE(vault.preUploads(), 2);
}

void TestFolderSync::destructionDoesNotWaitForTheNetwork() {
    FakeServer server;
    FakeVault vault(server);
    auto rig = std::make_unique<Rig>(server);
    const QString folder = makeTempDir(QStringLiteral("shutdown"));
    writeFile(folder + QStringLiteral("/a.txt"), "a");
    rig->engine->changeFolder(folder);
    vault.holdRequests();
    rig->engine->startSync();
    QTRY_COMPARE(vault.preUploads(), 1);
    rig->engine.reset(); // returns while the request still hangs
    QCOMPARE(rig->ledger->totalSyncedCount(), 0);
    vault.release();
}

void TestFolderSync::startingTexts_data() {
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QVariant>("storedStopped");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("stopped");
    QTest::newRow("signed out") << false << QVariant(false) << "Please log in to activate cloud sync" << true;
    QTest::newRow("signed in, nothing stored") << true << QVariant() << Paused << true;
    QTest::newRow("signed in, stored pause") << true << QVariant(true) << Paused << true;
    QTest::newRow("signed in, stored active") << true << QVariant(false) << "Ready to sync" << false;
    QTest::newRow("signed in, not a boolean") << true << QVariant(QStringLiteral("yes")) << Paused << true;
}

void TestFolderSync::startingTexts() {
    QFETCH(bool, signedIn);
    QFETCH(QVariant, storedStopped);
    QFETCH(QString, status);
    QFETCH(bool, stopped);
    FakeServer server;
    FakeVault vault(server);
    const QString folder = makeTempDir(QStringLiteral("restored"));
    writeFile(folder + QStringLiteral("/a.txt"), "a");
    Rig rig(server, signedIn, [&](Settings& settings) {
        settings.setString(QStringLiteral("orlavant_watched_folder_path"), folder);
        if (storedStopped.typeId() == QMetaType::Bool)
            settings.setBool(QStringLiteral("orlavant_sync_stopped"), storedStopped.toBool());
        else if (storedStopped.isValid())
            settings.setString(QStringLiteral("orlavant_sync_stopped"), storedStopped.toString());
    });
    QCOMPARE(rig.engine->syncStatusMessage(), status);
    QCOMPARE(rig.engine->isSyncStopped(), stopped);
    QCOMPARE(rig.engine->watchedFolderPath().has_value(), signedIn);
    QCOMPARE(rig.engine->totalSyncedCount(), 0);
    // Creation never starts watching or scanning.
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0);
    QVERIFY(!rig.engine->findChild<QTimer*>(QStringLiteral("scanTimer")));
}

void TestFolderSync::startSyncWithoutSessionOrFolder() {
    FakeServer server;
    FakeVault vault(server);
    {
        Rig rig(server, false,
                [](Settings& settings) { settings.setBool(QStringLiteral("orlavant_sync_stopped"), false); });
        rig.engine->startSync();
        QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Please log in first to enable sync"));
        QVERIFY(rig.engine->isSyncStopped());
        QCOMPARE(rig.settings.boolean(QStringLiteral("orlavant_sync_stopped")), std::optional<bool>(false));
        rig.engine->promptChooseFolder();
        QTRY_COMPARE(rig.dialogs.asked().size(), 1);
        QCOMPARE(rig.dialogs.asked().first().kind, TestDialogs::Asked::Alert);
        QCOMPARE(rig.dialogs.asked().first().title, QStringLiteral("Authentication Required"));
        QCOMPARE(rig.dialogs.asked().first().message,
                 QStringLiteral("Please log in to your Orlavant account before selecting a folder to sync."));
        rig.engine->triggerFolderScan(); // paused: nothing, no text
        QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Please log in first to enable sync"));
    }
    Rig rig(server);
    rig.engine->startSync();
    QCOMPARE(rig.engine->syncStatusMessage(),
             QStringLiteral("No folder selected. Please select a folder to sync."));
    QTRY_COMPARE(rig.dialogs.asked().size(), 1);
    const TestDialogs::Asked asked = rig.dialogs.asked().first();
    QCOMPARE(asked.kind, TestDialogs::Asked::Open);
    QCOMPARE(asked.open.title, QStringLiteral("Select Orlavant Cloud Sync Directory"));
    QCOMPARE(asked.open.message,
             QStringLiteral("Choose a local directory to sync with your private cloud vault."));
    QCOMPARE(asked.open.prompt, QStringLiteral("Select Folder to Sync"));
    QVERIFY(asked.open.chooseDirectories);
    QVERIFY(!asked.open.chooseFiles);
    QVERIFY(!asked.open.allowsMultiple);
    QVERIFY(!rig.engine->watchedFolderPath()); // cancelled: nothing happens
}

void TestFolderSync::choosingAFolderStoresItPaused() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    rig.engine->setDeviceName(QStringLiteral("annas-mac")); // a name that can travel in a URL path
    LogCapture log;
    const QString folder = makeTempDir(QStringLiteral("Chosen Folder"));
    rig.dialogs.setNextOpen(QStringList{folder});
    rig.engine->promptChooseFolder();
    QTRY_COMPARE(rig.engine->watchedFolderPath(), std::optional<QString>(folder));
    const QString name = QFileInfo(folder).fileName();
    QCOMPARE(rig.engine->syncStatusMessage(),
             QStringLiteral("Folder set: ") + name +
                 QStringLiteral(". Ready \u2014 click 'Start Sync' to begin."));
    QVERIFY(rig.engine->isSyncStopped());
    QCOMPARE(rig.settings.boolean(QStringLiteral("orlavant_sync_stopped")), std::optional<bool>(true));
    QCOMPARE(rig.settings.string(QStringLiteral("orlavant_watched_folder_path")),
             std::optional<QString>(folder));
    const std::optional<QByteArray> bookmark =
        rig.settings.data(QStringLiteral("orlavant_watched_folder_bookmark"));
    QVERIFY(bookmark);
    QCOMPARE(FolderBookmark::resolve(*bookmark)->path, folder);
    QCOMPARE(log.lines(), (QStringList{QStringLiteral("[FolderSync] Changing folder to: ") + folder,
                                       QStringLiteral("[FolderSync] Fresh sync state initialized for ") +
                                           folder + QStringLiteral(". Awaiting Start Sync.")}));
    // The folder is bound to this machine in the background.
    QTRY_COMPARE(server.requests("PUT", "/api/devices/annas-mac/sync-folder").size(), 1);
    const QJsonObject binding =
        jsonBody(server.requests("PUT", "/api/devices/annas-mac/sync-folder").first());
    QCOMPARE(binding.value(QStringLiteral("folder_path")).toString(), folder);
    QCOMPARE(binding.value(QStringLiteral("folder_name")).toString(), name);
    QCOMPARE(vault.preUploads(), 0); // paused: a second Start Sync is needed
}

void TestFolderSync::folderThatCannotBeBookmarked() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    const QString previous = makeTempDir(QStringLiteral("previous"));
    rig.engine->changeFolder(previous);
    LogCapture log;
    const QString missing = makeTempDir(QStringLiteral("x")) + QStringLiteral("/missing");
    rig.engine->changeFolder(missing);
    QVERIFY(rig.engine->syncStatusMessage().startsWith(QStringLiteral("Error saving folder permissions: ")));
    QCOMPARE(
        log.linesStartingWith(QStringLiteral("[FolderSync] Failed to create security bookmark: ")).size(), 1);
    QCOMPARE(rig.engine->watchedFolderPath(), std::optional<QString>(previous));
    QCOMPARE(rig.settings.string(QStringLiteral("orlavant_watched_folder_path")),
             std::optional<QString>(previous));
}

void TestFolderSync::savedFolderIsRestored_data() {
    QTest::addColumn<bool>("withBookmark");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("restored");
    QTest::addColumn<int>("errorLines");
    QTest::newRow("bookmark, folder there") << true << true << true << 0;
    QTest::newRow("bookmark, folder gone") << true << false << false << 1;
    QTest::newRow("path only, folder there") << false << true << true << 0;
    QTest::newRow("path only, folder gone") << false << false << false << 0;
}

void TestFolderSync::savedFolderIsRestored() {
    QFETCH(bool, withBookmark);
    QFETCH(bool, folderExists);
    QFETCH(bool, restored);
    QFETCH(int, errorLines);
    FakeServer server;
    FakeVault vault(server);
    const QString folder = makeTempDir(QStringLiteral("saved"));
    const QByteArray bookmark = *FolderBookmark::create(folder);
    if (!folderExists)
        QVERIFY(QDir(folder).removeRecursively());
    LogCapture log;
    Rig rig(server, true, [&](Settings& settings) {
        if (withBookmark)
            settings.setData(QStringLiteral("orlavant_watched_folder_bookmark"), bookmark);
        settings.setString(QStringLiteral("orlavant_watched_folder_path"), folder);
    });
    QCOMPARE(rig.engine->watchedFolderPath().has_value(), restored);
    QCOMPARE(log.linesStartingWith(QStringLiteral("[FolderSync] Error restoring saved bookmark: ")).size(),
             errorLines);
}

void TestFolderSync::staleBookmarkIsReplaced() {
    FakeServer server;
    FakeVault vault(server);
    const QString folder = makeTempDir(QStringLiteral("stale"));
    const QByteArray old = *FolderBookmark::create(folder);
    // Keep the old inode busy so the new directory cannot reuse it.
    QVERIFY(QDir().rename(folder, folder + QStringLiteral("-moved")));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(FolderBookmark::resolve(old)->isStale);
    Rig rig(server, true, [&](Settings& settings) {
        settings.setData(QStringLiteral("orlavant_watched_folder_bookmark"), old);
    });
    QCOMPARE(rig.engine->watchedFolderPath(), std::optional<QString>(folder));
    const QByteArray fresh = *rig.settings.data(QStringLiteral("orlavant_watched_folder_bookmark"));
    QVERIFY(fresh != old);
    QVERIFY(!FolderBookmark::resolve(fresh)->isStale);
}

void TestFolderSync::pauseAndLogout() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    QVERIFY(rig.startIn(makeTempDir(QStringLiteral("pl"))));
    QVERIFY(!rig.engine->isSyncStopped());
    QCOMPARE(rig.settings.boolean(QStringLiteral("orlavant_sync_stopped")), std::optional<bool>(false));
    QTimer* timer = rig.engine->findChild<QTimer*>(QStringLiteral("scanTimer"));
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), 30000);

    rig.engine->stopSync();
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Sync Paused by User"));
    QCOMPARE(rig.settings.boolean(QStringLiteral("orlavant_sync_stopped")), std::optional<bool>(true));
    QTRY_VERIFY(!rig.engine->findChild<QTimer*>(QStringLiteral("scanTimer")));

    rig.engine->toggleSync();
    QVERIFY(!rig.engine->isSyncStopped());
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Sync Active"));
    QTRY_VERIFY(!rig.engine->isSyncing());

    rig.client->signOut();
    QCOMPARE(rig.engine->syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
    QVERIFY(rig.engine->isSyncStopped());
    // The stored flag stays as it was: a sign-out is not a pause.
    QCOMPARE(rig.settings.boolean(QStringLiteral("orlavant_sync_stopped")), std::optional<bool>(false));
    QTRY_VERIFY(!rig.engine->findChild<QTimer*>(QStringLiteral("scanTimer")));
}

void TestFolderSync::loginRegistersTheDevice() {
    FakeServer server;
    FakeVault vault(server);
    const QString folder = makeTempDir(QStringLiteral("login"));
    Rig signedIn(server, true, [&](Settings& settings) {
        settings.setString(QStringLiteral("orlavant_watched_folder_path"), folder);
    });
    signedIn.engine->handleLogin(*signedIn.client->currentSession());
    QCOMPARE(signedIn.engine->syncStatusMessage(),
             QStringLiteral("Authenticated. Select folder or click Start Sync."));
    QCOMPARE(signedIn.engine->watchedFolderPath(), std::optional<QString>(folder));
    QVERIFY(signedIn.engine->isSyncStopped());
    QTRY_COMPARE(server.requests("POST", "/api/devices/register").size(), 1);
    const QJsonObject body = jsonBody(server.requests("POST", "/api/devices/register").first());
    QCOMPARE(body.value(QStringLiteral("device_name")).toString(), Device);
    QCOMPARE(body.value(QStringLiteral("device_type")).toString(), QStringLiteral("mac"));
    QCOMPARE(vault.preUploads(), 0);
}

void TestFolderSync::statusCallbackReadsValuesWhenItRuns() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    struct Call {
        std::optional<QString> folder;
        bool hasFolder;
        int count;
        QString status;
        bool paused;
    };
    QList<Call> calls;
    rig.engine->notifyStatusPublic(); // unset: nothing happens
    QTest::qWait(10);
    rig.engine->onStatusChanged = [&](const std::optional<QString>& folder, bool hasFolder, int count,
                                      const QString& status, bool paused) {
        calls.append({folder, hasFolder, count, status, paused});
    };
    rig.engine->notifyStatusPublic();
    const QString folder = makeTempDir(QStringLiteral("cb"));
    rig.engine->changeFolder(folder);
    QTRY_COMPARE(calls.size(), 2);
    // Both calls ran after the folder change, and both see its values.
    for (const Call& call : calls) {
        QCOMPARE(call.folder, std::optional<QString>(folder));
        QVERIFY(call.hasFolder);
        QCOMPARE(call.count, 0);
        QVERIFY(call.status.startsWith(QStringLiteral("Folder set: ")));
        QVERIFY(call.paused);
    }
}

void TestFolderSync::timerTickWhilePausedDoesNothing() {
    FakeServer server;
    FakeVault vault(server);
    Rig rig(server);
    rig.engine->changeFolder(makeTempDir(QStringLiteral("tick")));
    const QString before = rig.engine->syncStatusMessage();
    QSignalSpy finished(rig.engine.get(), &FolderSyncManager::passFinished);
    rig.engine->triggerFolderScan();
    QTest::qWait(100);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(rig.engine->syncStatusMessage(), before);
}

void TestFolderSync::restartRestoresFolderPauseAndCount() {
    FakeServer server;
    FakeVault vault(server);
    const QString folder = makeTempDir(QStringLiteral("kept"));
    writeFile(folder + QStringLiteral("/a.txt"), "kept");
    QString settingsFile, ledgerDir;
    {
        Rig first(server);
        settingsFile = first.settingsPath;
        ledgerDir = first.ledgerDirectory;
        QVERIFY(first.startIn(folder));
        QCOMPARE(first.ledger->totalSyncedCount(), 1);
    }
    {
        Rig second(server, settingsFile, ledgerDir);
        QVERIFY(second.client->isAuthenticated());
        QCOMPARE(second.engine->watchedFolderPath(), std::optional<QString>(folder));
        QCOMPARE(second.engine->syncStatusMessage(), QStringLiteral("Ready to sync"));
        QCOMPARE(second.engine->totalSyncedCount(), 1);
        second.engine->stopSync();
    }
    Rig third(server, settingsFile, ledgerDir);
    QCOMPARE(third.engine->syncStatusMessage(), Paused);
    server.clearRequests();
    QSignalSpy finished(third.engine.get(), &FolderSyncManager::passFinished);
    third.engine->startSync();
    QVERIFY(finished.wait(20000));
    QCOMPARE(vault.preUploads(), 0); // the reloaded ledger still knows a.txt
}

ORLAVANT_TEST_GUILESS_MAIN(TestFolderSync)
#include "tst_foldersync.moc"
