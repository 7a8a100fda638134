// The engine when a session ends for good, and the ledger per account: nothing is asked of a
// vault that says no, it is said once, signing in again picks up where sync was, and one
// account's ledger never decides what another account's vault gets.
#include "app/CoreServices.h"
#include "support/FakeSessionVault.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"
#include "support/TestServices.h"
#include "sync/DigestCache.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QSignalSpy>
#include <QTimer>

using namespace Qt::StringLiterals;
using Reply = FakeServer::Reply;

namespace {

const QString Expired = u"Session expired \u2014 sign in again"_s;
const QString OwnerKey = u"orlavant_ledger_owner"_s;

QByteArray ledgerOf(const QStringList& paths) {
    const QDateTime date = QDateTime::fromSecsSinceEpoch(1'760'000'000, Qt::UTC);
    QHash<QString, SyncRecord> records;
    for (const QString& path : paths)
        records.insert(path, {path, 3, date, QString(64, 'c'), date});
    return SyncLedger::encode(records);
}

QString digestName(const QString& id) {
    return u"sync_ledger.sha256-"_s +
           QString::fromLatin1(QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha256).toHex()) +
           u".json"_s;
}

// Everything below the composition root, against a scripted vault: the backend's upload path
// takes only accepted tokens, the hosted auth service signs in and refreshes.
struct Rig {
    explicit Rig(const std::optional<QString>& signedInAs = u"user-1"_s) {
        Settings settings(settingsPath());
        TestServices::pointAt(settings, server.baseUrl());
        if (signedInAs) {
            settings.setData(
                u"orlavant_supabase_session"_s,
                SupabaseSession{u"access-0"_s, u"refresh-0"_s, *signedInAs, u"anna@example.org"_s}.toJson());
            vault.accept(u"access-0"_s);
        }
        vault.protect("POST", "/api/files/pre-upload",
                      Reply::json(200, QStringLiteral(R"({"deduplicated":false,"upload_url":"%1/upload/blob",
                                                          "storage_key":"k"})")
                                           .arg(server.baseUrl())
                                           .toUtf8()));
        vault.protect("POST", "/api/files/confirm", Reply::json(200, "{}"));
        server.on("PUT", "/upload/blob", Reply::json(200, "{}"));
        server.on("POST", "/api/devices/register", Reply::json(200, "{}"));
        // One transfer at a time: an expiry then falls between two files, as the cases expect.
        settings.setInteger(u"orlavant_parallel_transfers"_s, 1);
        start();
    }
    void start() {
        services = std::make_unique<CoreServices>(
            CoreServices::Options{settingsPath(), ledgerDir(), &dialogs, &sink, nullptr});
        engine().setDeviceName(u"Anna's Mac"_s);
    }
    QString settingsPath() const { return root + u"/config/orlavant.conf"_s; }
    QString ledgerDir() const { return root + u"/data/store.orlavant.mac"_s; }
    FolderSyncManager& engine() { return services->folderSync; }
    SupabaseClient& client() { return services->client; }
    Settings& settings() { return services->settings; }

    QString passAfter(const std::function<void()>& action) {
        QSignalSpy finished(&engine(), &FolderSyncManager::passFinished);
        action(); // the pass may end before a wait() would begin to count: the count is awaited
        return QTest::qWaitFor([&] { return !finished.isEmpty(); }, 20000) ? engine().syncStatusMessage()
                                                                           : u"(no pass ended)"_s;
    }
    // Signs in with the password grant as `userId`, with tokens of its own.
    void signIn(const QString& userId, const QString& tokens) {
        vault.signInAs(userId, userId + u"@example.org"_s, u"access-"_s + tokens, u"refresh-"_s + tokens);
        auto future = client().signIn(userId + u"@example.org"_s, u"pw"_s);
        QVERIFY(QTest::qWaitFor([&] { return future.isFinished(); }, 20000));
        QVERIFY(client().isAuthenticated());
    }
    int expiryNotifications() const {
        int count = 0;
        for (const DesktopNotification& n : sink.posted())
            count += n.subtitle == Expired;
        return count;
    }
    int uploads() const { return server.requests("PUT", "/upload/blob").size(); }
    // What the user sees and what the next start would find, compared whole.
    QString state() {
        const QTimer* timer = engine().findChild<QTimer*>(u"scanTimer"_s);
        const std::optional<bool> paused = settings().boolean(u"orlavant_sync_stopped"_s);
        return QStringList{engine().syncStatusMessage(),
                           engine().isSyncStopped() ? u"stopped"_s : u"syncing"_s,
                           paused ? (*paused ? u"paused"_s : u"not paused"_s) : u"no pause flag"_s,
                           client().isAuthenticated() ? u"signed in"_s : u"signed out"_s,
                           timer && timer->isActive() ? u"timer"_s : u"no timer"_s,
                           engine().watchedFolderPath() == std::optional(folder) ? u"folder"_s
                                                                                 : u"no folder"_s,
                           u"%1 records"_s.arg(services->ledger.totalSyncedCount()),
                           u"%1 notices"_s.arg(expiryNotifications())}
            .join(u", "_s);
    }

    FakeServer server;
    FakeSessionVault vault{server};
    QString root = makeTempDir(u"expiry"_s);
    QString folder = root + u"/Family"_s;
    TestDialogs dialogs;
    RecordingNotificationSink sink;
    std::unique_ptr<CoreServices> services;
};

QStringList filesUnder(const QString& root) {
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(root).relativeFilePath(it.next()));
    files.sort();
    return files;
}

} // namespace

class TestSessionExpiry : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void expiredSessionStopsTheEngine();
    void signingInAgainResumes_data();
    void signingInAgainResumes();
    void eachAccountGetsEveryFile();
    void ledgerOwner_data();
    void ledgerOwner();
};

void TestSessionExpiry::expiredSessionStopsTheEngine() {
    Rig r;
    writeFile(r.folder + u"/a.jpg"_s, "a");
    r.engine().changeFolder(r.folder);
    QCOMPARE(r.passAfter([&] { r.engine().startSync(); }), u"Sync complete: 1 uploaded, 0 deduplicated"_s);

    // The hour ends during the next pass, right after its first file; the refresh is refused.
    r.server.on("POST", "/api/files/confirm", [&](const FakeServer::Request&) {
        r.vault.expireEveryToken();
        return Reply::json(200, "{}");
    });
    r.vault.answerRefreshWith([](int) {
        return Reply::json(400, R"({"error":"invalid_grant","error_description":"Invalid Refresh Token"})");
    });
    for (const QString& name : {u"b.jpg"_s, u"c.jpg"_s, u"d.jpg"_s})
        writeFile(r.folder + '/' + name, name.toUtf8());
    r.server.clearRequests();
    r.sink.clear();
    // The pass's own summary does not replace what the user has to do now.
    QCOMPARE(r.passAfter([&] { r.engine().triggerFolderScan(); }), Expired);

    // One file synced, the next one refused and the refresh refused; no request for the last.
    QStringList asked;
    for (const FakeServer::Request& request : r.server.requests())
        asked.append(request.method + ' ' + request.path);
    QCOMPARE(asked, (QStringList{u"POST /api/files/pre-upload"_s, u"PUT /upload/blob"_s,
                                 u"POST /api/files/confirm"_s, u"POST /api/files/pre-upload"_s,
                                 u"POST /auth/v1/token"_s}));
    // Kept: the folder, the stored pause flag (still running), the ledger.
    const QString stopped =
        Expired + u", stopped, not paused, signed out, no timer, folder, 2 records, 1 notices"_s;
    QCOMPARE(r.state(), stopped);

    // What the 30-second timer and a folder event would do: nothing reaches the vault.
    r.server.clearRequests();
    r.engine().triggerFolderScan();
    writeFile(r.folder + u"/e.jpg"_s, "e");
    r.engine().triggerFolderScan();
    QCoreApplication::processEvents();
    QCOMPARE(r.server.requestCount(), 0);
    QCOMPARE(r.state(), stopped);
}

void TestSessionExpiry::signingInAgainResumes_data() {
    QTest::addColumn<bool>("wasRunning");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("state"); // once signed in again (and a pass, if one runs)
    // a.jpg was synced before the session expired; the folder and the pause flag stay.
    const QString idle = u"Authenticated. Select folder or click Start Sync., stopped, "_s;
    QTest::newRow("running, same account")
        << true << u"user-1"_s
        << u"Sync complete: 2 uploaded, 0 deduplicated, syncing, not paused, signed in, timer, folder, "
           u"3 records, 1 notices"_s;
    QTest::newRow("paused, same account")
        << false << u"user-1"_s << idle + u"paused, signed in, no timer, folder, 1 records, 1 notices"_s;
    // Another account's vault is its own decision: its ledger is fresh and nothing starts.
    QTest::newRow("running, another account")
        << true << u"user-2"_s << idle + u"not paused, signed in, no timer, folder, 0 records, 1 notices"_s;
}

void TestSessionExpiry::signingInAgainResumes() {
    QFETCH(bool, wasRunning);
    QFETCH(QString, account);
    QFETCH(QString, state);
    Rig r;
    writeFile(r.folder + u"/a.jpg"_s, "a");
    r.engine().changeFolder(r.folder);
    QCOMPARE(r.passAfter([&] { r.engine().startSync(); }), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    if (!wasRunning)
        r.engine().stopSync();

    // The file browser's listing is what finds out here.
    r.vault.protect("GET", "/rest/v1/files", Reply::json(200, "[]"));
    r.vault.expireEveryToken();
    r.vault.answerRefreshWith([](int) { return Reply::json(401, R"({"msg":"invalid refresh token"})"); });
    QSignalSpy expired(&r.client(), &SupabaseClient::sessionExpired);
    r.client().fetchAllUserFiles();
    QVERIFY(expired.wait(20000));
    QCOMPARE(r.engine().syncStatusMessage(), Expired);
    writeFile(r.folder + u"/b.jpg"_s, "b");
    writeFile(r.folder + u"/c.jpg"_s, "c");

    r.vault.answerRefreshWith(nullptr);
    QSignalSpy passes(&r.engine(), &FolderSyncManager::passFinished);
    r.signIn(account, u"again"_s);
    if (wasRunning && account == "user-1") {
        // Signing in runs the event loop, so the resumed pass may already be over.
        QTRY_VERIFY_WITH_TIMEOUT(!passes.isEmpty(), 20000);
        // The files that waited go with the new session.
        for (const FakeServer::Request& request : r.server.requests("POST", "/api/files/pre-upload").mid(1))
            QCOMPARE(request.header("authorization"), "Bearer access-again");
    }
    QCOMPARE(r.state(), state);
}

void TestSessionExpiry::eachAccountGetsEveryFile() {
    Rig r;
    writeFile(r.folder + u"/f.jpg"_s, "f");
    r.engine().changeFolder(r.folder);
    QCOMPARE(r.passAfter([&] { r.engine().startSync(); }), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    QCOMPARE(r.uploads(), 1);

    // A second account on this computer: the first one's ledger does not keep its vault from
    // getting the file.
    r.client().signOut();
    r.signIn(u"user-2"_s, u"b"_s);
    QCOMPARE(r.services->ledger.totalSyncedCount(), 0);
    QCOMPARE(r.passAfter([&] { r.engine().startSync(); }), u"Sync complete: 1 uploaded, 0 deduplicated"_s);
    QCOMPARE(r.uploads(), 2);

    // The first account back: its ledger is back, so nothing goes again.
    r.client().signOut();
    r.signIn(u"user-1"_s, u"a"_s);
    QCOMPARE(r.services->ledger.totalSyncedCount(), 1);
    QCOMPARE(r.passAfter([&] { r.engine().startSync(); }), u"Up to date (1 files in cloud vault)"_s);
    QCOMPARE(r.uploads(), 2);
    // Beside them, the digests of files hashed but not yet recorded, which name content, not accounts.
    QCOMPARE(filesUnder(r.ledgerDir()),
             (QStringList{DigestCache::fileName(), u"sync_ledger.json"_s, u"sync_ledger.user-2.json"_s}));

    // And after a restart, each still finds its own.
    r.services.reset();
    r.start();
    QCOMPARE(r.services->ledger.totalSyncedCount(), 1);
    r.signIn(u"user-2"_s, u"c"_s);
    QCOMPARE(r.services->ledger.totalSyncedCount(), 1);
    QCOMPARE(r.settings().string(OwnerKey), std::optional(u"user-2"_s));
}

void TestSessionExpiry::ledgerOwner_data() {
    // owner: the recorded owner ("-": none, a ledger from before owners were recorded)
    // files: the ledger directory afterwards
    QTest::addColumn<QString>("owner");
    QTest::addColumn<QString>("account");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("ownerAfter");
    QTest::addColumn<QStringList>("files");
    const QStringList current{u"sync_ledger.json"_s};
    QTest::newRow("from before owners: claimed") << u"-"_s << u"user-1"_s << 2 << u"user-1"_s << current;
    // The same account and a switch both ways are walked with real sign-ins in eachAccountGetsEveryFile.
    QTest::newRow("owner id unfit for a file name")
        << u"../../Mail/ x%"_s << u"user-2"_s << 0 << u"user-2"_s
        << QStringList{u"sync_ledger.%2E%2E%2F%2E%2E%2FMail%2F%20x%25.json"_s};
    // File names end at 255 bytes: an id whose escaped form passes 128 bytes is named by its digest.
    const QString tooLong(129, u'x');
    QTest::newRow("owner id one byte too long")
        << tooLong << u"user-2"_s << 0 << u"user-2"_s << QStringList{digestName(tooLong)};
}

void TestSessionExpiry::ledgerOwner() {
    QFETCH(QString, owner);
    QFETCH(QString, account);
    QFETCH(int, count);
    QFETCH(QString, ownerAfter);
    QFETCH(QStringList, files);
    Rig r(std::nullopt);
    r.services.reset();
    const QByteArray before = ledgerOf({u"a.jpg"_s, u"b.jpg"_s});
    writeFile(r.ledgerDir() + u"/sync_ledger.json"_s, before);
    if (owner != "-")
        Settings(r.settingsPath()).setString(OwnerKey, owner);
    r.start();

    r.engine().handleLogin(SupabaseSession{u"t"_s, std::nullopt, account, std::nullopt});
    QCOMPARE(r.services->ledger.totalSyncedCount(), count);
    QCOMPARE(r.engine().totalSyncedCount(), count);
    QCOMPARE(r.settings().string(OwnerKey), std::optional(ownerAfter));
    r.services->ledger.flush();
    QCOMPARE(filesUnder(r.ledgerDir()), files);
    // Set aside means renamed: the other account's ledger whole, and nothing outside the folder.
    QFile aside(r.services->ledger.setAsideFilePath(owner));
    if (owner != "-" && owner != account && !account.isEmpty())
        QVERIFY(aside.open(QIODevice::ReadOnly) && aside.readAll() == before);
    QStringList everything{u"config/orlavant.conf"_s};
    for (const QString& file : files)
        everything.append(u"data/store.orlavant.mac/"_s + file);
    QCOMPARE(filesUnder(r.root), everything);
}

ORLAVANT_TEST_GUILESS_MAIN(TestSessionExpiry)
#include "tst_sessionexpiry.moc"
