// The web host in a real browser view: one view for the whole run (the engine is slow to start),
// real pages from a temporary web directory, a loopback vault and the real sync engine.
#include <QApplication>

#include "app/AppState.h"
#include "app/CoreServices.h"
#include "platform/Settings.h"
#include "platform/VaultError.h"
#include "support/FakeServer.h"
#include "support/LogCapture.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "support/TestMain.h"
#include "web/DesktopActions.h"
#include "web/DownloadNames.h"
#include "web/WebViewBox.h"
#include "web/WebViewContainer.h"
#include "web/WebViewCoordinator.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {

constexpr int Wait = 15000;

class RecordingDesktop final : public DesktopActions {
public:
    QStringList sounds;
    QStringList revealed;
    QList<QUrl> opened;
    void playSound(const QString& name) override { sounds << name; }
    void revealFile(const QString& path) override { revealed << path; }
    void openUrl(const QUrl& url) override { opened << url; }
};

// Records what the host calls, for exact comparison as JSON text.
const char* ProbePage =
    R"HTML(<!DOCTYPE html><html><head><meta charset="utf-8"><title>Probe</title></head><body>
<input id="files" type="file" multiple style="position:absolute; left:10px; top:10px; width:300px; height:40px">
<script>
window.statusCalls = []; window.syncedCalls = [];
window.updateMacSyncStatus = function () { statusCalls.push([].slice.call(arguments)); };
window.onMacFileSynced = function () { syncedCalls.push([].slice.call(arguments)); };
</script></body></html>)HTML";

template <typename... T> void row(const char* name, const T&... values) {
    (QTest::newRow(name) << ... << values);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

QString json(const QJsonArray& array) {
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QString jsString(const QString& text) {
    return json(QJsonArray{text}).mid(1).chopped(1);
}

} // namespace

class TestWebViewContainer : public QObject {
    Q_OBJECT

private:
    QString m_webDir;
    QString m_downloads;
    QString m_folder;
    QString m_outsideDir;
    TestDialogs m_dialogs;
    RecordingNotificationSink m_sink;
    std::shared_ptr<RecordingDesktop> m_desktop = std::make_shared<RecordingDesktop>();
    std::unique_ptr<FakeServer> m_server;
    std::unique_ptr<FakeServer> m_otherServer;
    std::unique_ptr<CoreServices> m_core;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<WebViewBox> m_box;
    std::unique_ptr<WebViewContainer> m_container;

    FolderSyncManager& sync() { return m_core->folderSync; }
    WebViewCoordinator& coordinator() { return m_container->coordinator(); }
    QWebEngineView* view() { return m_container->view(); }
    QUrl page(const char* name) const { return QUrl::fromLocalFile(m_webDir + QLatin1Char('/') + name); }
    QString inDownloads(const QString& name) const { return m_downloads + QLatin1Char('/') + name; }

    QVariant runJs(const QString& script) {
        auto state = std::make_shared<std::pair<bool, QVariant>>(false, QVariant());
        view()->page()->runJavaScript(script, [state](const QVariant& value) { *state = {true, value}; });
        if (!QTest::qWaitFor([&] { return state->first; }, Wait))
            qWarning("script did not finish: %s", qPrintable(script));
        return state->second;
    }
    QString runJsJson(const QString& expression) {
        return runJs(QStringLiteral("JSON.stringify(") + expression + ")").toString();
    }
    QString text(const char* id) {
        return runJs(QStringLiteral("document.getElementById('%1').textContent").arg(QLatin1String(id)))
            .toString();
    }
    void click(const char* id) {
        runJs(QStringLiteral("document.getElementById('%1').click()").arg(QLatin1String(id)));
    }
    void post(const QString& body) {
        runJs(QStringLiteral("window.webkit.messageHandlers.orlavantMac.postMessage(") + body + ")");
    }

    // Loads through the box and waits until the host has finished with the load (AppState
    // updated, status push and login script issued).
    bool load(const QUrl& url) {
        QSignalSpy finished(view(), &QWebEngineView::loadFinished);
        m_box->load(url);
        return finished.wait(Wait) &&
               QTest::qWaitFor([&] { return !m_appState->isLoading() && view()->url() == url; }, Wait);
    }
    bool onProbe() { return view()->url() == page("probe.html") || load(page("probe.html")); }

    void clearDownloads() {
        QDir dir(m_downloads);
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
            dir.remove(name);
        m_desktop->sounds.clear();
        m_desktop->revealed.clear();
        m_desktop->opened.clear();
        m_appState->setLastDownloadedFile(std::nullopt);
    }
    QStringList downloadedNames() const {
        return QDir(m_downloads).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    // Posts a message the bridge accepts and waits for it: everything posted before has been
    // handled by then.
    void postMarkerAndWait(QSignalSpy& accepted) {
        const qsizetype before = accepted.size();
        post(QStringLiteral("{action: 'getSyncStatus', token: 'marker'}"));
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() > before, Wait);
    }

private Q_SLOTS:
    void initTestCase() {
        m_webDir = makeTempDir(QStringLiteral("web"));
        const QDir source(qEnvironmentVariable("ORLAVANT_SOURCE_DIR") + QStringLiteral("/resources/web"));
        QVERIFY2(source.exists(), qPrintable(source.path()));
        for (const QString& name : source.entryList(QDir::Files))
            QVERIFY(QFile::copy(source.filePath(name), m_webDir + QLatin1Char('/') + name));
        writeFile(m_webDir + QStringLiteral("/probe.html"), ProbePage);
        writeFile(m_webDir + QStringLiteral("/sibling.js"), "window.siblingLoaded = true;");
        writeFile(m_webDir + QStringLiteral("/untitled.html"), "<html><body>no title</body></html>");
        m_outsideDir = makeTempDir(QStringLiteral("outside"));
        writeFile(m_outsideDir + QStringLiteral("/secret.js"), "window.secretLoaded = true;");
        m_folder = makeTempDir(QStringLiteral("synced"));

        m_server = std::make_unique<FakeServer>();
        m_otherServer = std::make_unique<FakeServer>();
        const auto route = [this](const char* path, const QByteArray& body, std::string name = {},
                                  const QByteArray& type = "text/plain") {
            FakeServer::Reply reply = FakeServer::Reply::text(200, body);
            reply.contentType = type;
            if (!name.empty())
                reply.headers.push_back({"Content-Disposition", "attachment; filename=\"" + name + "\""});
            m_server->on("GET", path, reply);
        };
        route("/api/files/7/download", "seven", "seven.txt");
        route("/archive/all", "zip");
        for (const char* path : {"/web/page.html", "/web/Download.html", "/viewer/page.html"})
            route(path, "<html><head><title>Remote</title></head><body>r</body></html>", {}, "text/html");
        route("/dl/notes.txt", "notes");
        route("/dl/named", "named", "server.txt");
        route("/dl/evil", "evil", "../../.bashrc");
        route("/files/hostile", QByteArray("\x00\x01\x02blob", 7), "../../evil.sh",
              "application/octet-stream");
        FakeServer::Reply hang;
        hang.hang = true;
        m_server->on("GET", "/web/hang.html", hang);
        m_server->on("GET", "/dl/missing", FakeServer::Reply::json(404, "{\"error\":\"not found\"}"));
        m_otherServer->on("GET", "/dl/notes.txt", FakeServer::Reply::text(200, "notes"));

        // Signed in before the engine starts: the session is restored from the settings.
        const QString settingsPath =
            makeTempDir(QStringLiteral("settings")) + QStringLiteral("/orlavant.conf");
        {
            Settings settings(settingsPath);
            SupabaseSession session{QStringLiteral("tok-123"), std::nullopt, QStringLiteral("user-1"),
                                    QStringLiteral("me@example.org")};
            settings.setData(QStringLiteral("orlavant_supabase_session"), session.toJson());
            settings.sync();
        }
        CoreServices::Options options;
        options.settingsPath = settingsPath;
        options.ledgerDirectory = makeTempDir(QStringLiteral("ledger"));
        options.dialogs = &m_dialogs;
        options.notificationSink = &m_sink;
        m_core = std::make_unique<CoreServices>(options);
        QVERIFY(m_core->client.isAuthenticated());
        m_core->client.setBackendUrl(FakeServer::refusedBaseUrl());
        sync().apiBaseUrl = m_server->baseUrl();

        m_appState = std::make_unique<AppState>(sync(), m_core->client, m_core->http,
                                                AppState::WebLocations{m_webDir, QString(), m_webDir});
        m_box = std::make_unique<WebViewBox>(m_webDir);
        m_container = std::make_unique<WebViewContainer>(WebViewContainer::Services{
            *m_appState, *m_box, sync(), m_core->client, m_core->http, m_dialogs, m_desktop});
        m_container->resize(900, 700);
        m_container->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_container.get()));
        m_downloads = *DownloadNames::downloadsDirectory();
        QVERIFY(m_downloads.startsWith(QDir::homePath()));
    }

    void cleanupTestCase() {
        m_container.reset();
        m_box.reset();
        m_appState.reset();
        m_core.reset();
    }

    // --- The view and its page state --------------------------------------------------------------

    void placedHostLoadsTheLoginPageAsTheClient() {
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), page("login.html"), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(!m_appState->isLoading(), Wait);
        QCOMPARE(m_appState->currentUrl(), std::optional<QUrl>(page("login.html")));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QString::fromUtf8("Orlavant – Sign in"), Wait);
        QCOMPARE(m_appState->progress(), 1.0);
        QCOMPARE(m_appState->errorMessage(), std::nullopt);
        QVERIFY(!m_container->profile()->isOffTheRecord());
        QVERIFY(m_container->profile()->persistentStoragePath().startsWith(QDir::homePath()));
        // The vault recognises the client by its user agent.
        QVERIFY(load(m_server->url(QStringLiteral("/web/page.html"))));
        const auto requests = m_server->requests("GET", "/web/page.html");
        QVERIFY(!requests.isEmpty());
        QCOMPARE(QString::fromUtf8(requests.first().header("user-agent")), WebViewContainer::UserAgent);
    }

    void fileAccessIsConfinedToTheWebDirectory() {
        QVERIFY(load(page("probe.html")));
        // Script elements load asynchronously; the outcome lands in window.loadResult.
        const auto tryLoad = [this](const QString& src) {
            runJs(QStringLiteral(
                      "window.loadResult = ''; var s = document.createElement('script'); s.src = %1;"
                      " s.onload = function () { loadResult = 'loaded'; };"
                      " s.onerror = function () { loadResult = 'refused'; }; document.head.appendChild(s);")
                      .arg(jsString(src)));
            QString result;
            (void)QTest::qWaitFor(
                [&] { return !(result = runJs(QStringLiteral("loadResult")).toString()).isEmpty(); }, Wait);
            return result;
        };
        QCOMPARE(tryLoad(QStringLiteral("sibling.js")), QStringLiteral("loaded"));
        QCOMPARE(tryLoad(QUrl::fromLocalFile(m_outsideDir + QStringLiteral("/secret.js")).toString()),
                 QStringLiteral("refused"));
        // Climbing out with ".." is the same file.
        QCOMPARE(tryLoad("../" + QFileInfo(m_outsideDir).fileName() + "/secret.js"),
                 QStringLiteral("refused"));
        QCOMPARE(runJs(QStringLiteral("window.secretLoaded === true")).toBool(), false);
    }

    void historyTitleAndAddressFollowTheView() {
        QVERIFY(load(page("probe.html")));
        QVERIFY(load(page("dashboard.html")));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QString::fromUtf8("Orlavant – Dashboard"),
                                  Wait);
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->canGoBack(), Wait);
        QVERIFY(!m_appState->canGoForward());
        m_box->goBack();
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentUrl(), std::optional<QUrl>(page("probe.html")), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->canGoForward(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QStringLiteral("Probe"), Wait);
        // A page without a title leaves the last one standing.
        QVERIFY(load(page("untitled.html")));
        QTest::qWait(100);
        runJs(
            QStringLiteral("1")); // answers come back in order: the host's title question is answered by now
        QCOMPARE(m_appState->currentTitle(), QStringLiteral("Probe"));
    }

    void failedLoadSetsTheErrorAndCancelledLoadDoesNot() {
        QVERIFY(load(page("probe.html")));
        m_box->load(QUrl(FakeServer::refusedBaseUrl() + QStringLiteral("/web/login.html")));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_appState->errorMessage(),
            std::optional<QString>(VaultError::url(VaultError::CannotConnectToHost).description()), Wait);
        QVERIFY(!m_appState->isLoading());

        // Stopped while it waits for the server: cancelled, not failed.
        m_box->load(m_server->url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(!m_server->requests("GET", "/web/hang.html").isEmpty(), Wait);
        m_appState->setErrorMessage(QStringLiteral("earlier error"));
        QSignalSpy loading(view()->page(), &QWebEnginePage::loadingChanged);
        view()->stop();
        QVERIFY(loading.wait(Wait));
        QTest::qWait(200); // let the host's queued work run, if it wrongly queued any
        QCOMPARE(m_appState->errorMessage(), std::optional<QString>(QStringLiteral("earlier error")));

        // Replaced by another navigation while it waits: no error ever shows.
        m_box->load(m_server->url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->isLoading(), Wait);
        QStringList errorsShown;
        QObject listening; // disconnects on every way out
        connect(m_appState.get(), &AppState::errorMessageChanged, &listening, [&] {
            if (const auto message = m_appState->errorMessage())
                errorsShown << *message;
        });
        QVERIFY(load(m_server->url(QStringLiteral("/web/page.html"))));
        QTest::qWait(200);
        QCOMPARE(errorsShown, QStringList());
        QCOMPARE(m_appState->errorMessage(), std::nullopt);
    }

    void remoteLoadTimesOutAfterFifteenSeconds() {
        QVERIFY(load(page("probe.html")));
        m_box->load(m_server->url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->isLoading(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->errorMessage(),
                                  std::optional<QString>(VaultError::url(VaultError::TimedOut).description()),
                                  25000);
        QVERIFY(!m_appState->isLoading());
    }

    // --- Native to page ---------------------------------------------------------------------------

    void statusIsPushedOnLoadAndOnRequest() {
        QVERIFY(!sync().watchedFolderPath());
        QVERIFY(load(page("probe.html")));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("statusCalls.length")).toInt(), 1, Wait);
        post(QStringLiteral("{action: 'getSyncStatus', token: 't', householdId: 'h'}"));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("statusCalls.length")).toInt(), 2, Wait);
        QCOMPARE(runJsJson(QStringLiteral("statusCalls[1]")),
                 json({QString(), false, sync().totalSyncedCount(), sync().syncStatusMessage(),
                       sync().isSyncStopped()}));
    }

    void textsArriveInThePageIntact_data() {
        QTest::addColumn<QString>("text");
        row("ordinary", "Sync Active");
        row("breakout", "');window.pwned=1;('");
        row("backslash then quote", "C:\\\\'; window.pwned=1; //");
        row("line breaks and separators", QString::fromUtf16(u"one\ntwo\rthree\u2028b\u2029c"));
        row("script end tag and unicode",
            QString::fromUtf16(u"</script><script>window.pwned=1</script>\u00e9"));
    }
    void textsArriveInThePageIntact() {
        QFETCH(QString, text);
        QVERIFY(onProbe());
        runJs(QStringLiteral("statusCalls = []; syncedCalls = []; window.pwned = 0;"));
        coordinator().sendSyncStatusToWeb(QStringLiteral("/home/") + text, true, 7, text, false);
        sync().onFileSynced(text, true);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("syncedCalls.length")).toInt(), 1, Wait);
        QCOMPARE(runJsJson(QStringLiteral("statusCalls")),
                 "[" + json({"/home/" + text, true, 7, text, false}) + "]");
        QCOMPARE(runJsJson(QStringLiteral("syncedCalls[0]")), json({text, true}));
        QCOMPARE(runJs(QStringLiteral("window.pwned")).toInt(), 0);
    }

    // --- Page to native -----------------------------------------------------------------------------

    void loginTokenScriptReachesTheNativeSide_data() {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("household");
        QTest::addColumn<QJsonValue>("householdId");
        row("token and household", "tok-a", "{\"id\":\"hh-9\",\"name\":\"Smiths\"}", QJsonValue("hh-9"));
        row("household not JSON", "tok-b", "{oops", QJsonValue(QJsonValue::Null));
        row("no token", QString(), "{\"id\":\"hh-9\"}", QJsonValue());
    }
    void loginTokenScriptReachesTheNativeSide() {
        QFETCH(QString, token);
        QFETCH(QString, household);
        QFETCH(QJsonValue, householdId);
        QVERIFY(load(page("probe.html")));
        runJs(QStringLiteral("localStorage.clear(); localStorage.setItem('orlavant_household', %1)")
                  .arg(jsString(household)));
        if (!token.isNull())
            runJs(QStringLiteral("localStorage.setItem('orlavant_token', %1)").arg(jsString(token)));
        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        QVERIFY(load(page("dashboard.html")));
        postMarkerAndWait(accepted);
        const QJsonObject body = accepted.first().at(1).toJsonObject();
        QCOMPARE(accepted.first().at(0).toString(),
                 QLatin1String(token.isNull() ? "getSyncStatus" : "loginSuccess"));
        if (!token.isNull())
            QCOMPARE(body, (QJsonObject{{"action", "loginSuccess"},
                                        {"token", token},
                                        {"household", QJsonObject{{"id", householdId}}}}));
        // Nothing on the native side changed: the client's own session stays.
        QCOMPARE(m_core->client.currentSession()->accessToken, QStringLiteral("tok-123"));
        runJs(QStringLiteral("localStorage.clear();"));
    }

    void malformedMessagesAreIgnored_data() {
        QTest::addColumn<QString>("body");
        row("text body", "'toggleSync'");
        row("array body", "[{action: 'toggleSync'}]");
        row("null body", "null");
        row("number action", "{action: 1}");
        row("missing action", "{url: '/api/files/7/download'}");
        row("other case", "{action: 'ToggleSync'}");
        row("unknown action", "{action: 'formatDisk'}");
        row("download without url", "{action: 'downloadFile', filename: 'x.txt'}");
        row("download with number url", "{action: 'downloadAllFiles', url: 7}");
        row("login without token", "{action: 'loginSuccess', household: {id: 'h'}}");
    }
    void malformedMessagesAreIgnored() {
        QFETCH(QString, body);
        QVERIFY(onProbe());
        const bool stopped = sync().isSyncStopped();
        m_server->clearRequests();
        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        post(body);
        postMarkerAndWait(accepted);
        QCOMPARE(accepted.size(), 1);
        QCOMPARE(accepted.first().at(0).toString(), QStringLiteral("getSyncStatus"));
        QTest::qWait(50);
        QCOMPARE(sync().isSyncStopped(), stopped);
        QCOMPARE(m_server->requestCount(), 0);
        // Only the "orlavantMac" handler is heard.
        coordinator().handleScriptMessage(QStringLiteral("orlavant"),
                                          QJsonObject{{"action", "getSyncStatus"}});
        QCOMPARE(accepted.size(), 1);
    }

    void dashboardDrivesTheEngine() {
        QVERIFY(load(page("dashboard.html")));
        m_dialogs.clear();
        m_dialogs.setNextOpen(QStringList{m_folder});
        click("choose-folder");
        QTRY_COMPARE_WITH_TIMEOUT(sync().watchedFolderPath(), std::optional<QString>(m_folder), Wait);
        QCOMPARE(m_dialogs.asked().size(), 1);
        QVERIFY(m_dialogs.asked().first().open.chooseDirectories);
        // The engine's own reports reach the page.
        sync().stopSync();
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-badge"), QStringLiteral("Paused"), Wait);
        QCOMPARE(text("sync-path"), m_folder);
        QCOMPARE(text("sync-message"), sync().syncStatusMessage());

        click("toggle-sync");
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncStopped(), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-badge"), QStringLiteral("Watching"), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncing(), Wait);
        QSignalSpy passes(&sync(), &FolderSyncManager::passFinished);
        click("trigger-sync");
        QVERIFY(passes.wait(Wait));
        sync().stopSync();

        sync().onFileSynced(QStringLiteral("it's <b>bold</b>.txt"), true);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("document.querySelector('#activity li').textContent")),
                                  QVariant(QStringLiteral("Already in the vault: it's <b>bold</b>.txt")),
                                  Wait);
        QCOMPARE(runJs(QStringLiteral("document.querySelectorAll('#activity b').length")).toInt(), 0);
        QCOMPARE(text("sync-duplicates"), QStringLiteral("1"));
    }

    void syncActionsDriveTheEngine_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("stoppedBefore");
        QTest::addColumn<bool>("stoppedAfter");
        row("toggle starts a stopped engine", "toggleSync", true, false);
        row("toggle stops a running engine", "toggleSync", false, true);
        row("start", "startSync", true, false);
        row("stop", "stopSync", false, true);
    }
    void syncActionsDriveTheEngine() {
        QFETCH(QString, action);
        QFETCH(bool, stoppedBefore);
        QFETCH(bool, stoppedAfter);
        QVERIFY(onProbe());
        stoppedBefore ? sync().stopSync() : sync().startSync();
        QCOMPARE(sync().isSyncStopped(), stoppedBefore);
        post(QStringLiteral("{action: '%1'}").arg(action));
        QTRY_COMPARE_WITH_TIMEOUT(sync().isSyncStopped(), stoppedAfter, Wait);
        sync().stopSync();
    }

    // --- Navigation policy, new windows, dialogs ------------------------------------------------------

    void navigationPolicy_data() {
        QTest::addColumn<bool>("newWindow");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("outcome"); // a saved name, "browser" or "view"
        row("download path", false, "/api/files/7/download", "seven.txt");
        row("archive path", false, "/archive/all", "all");
        row("ordinary page", false, "/web/page.html", "view");
        row("capital letter is not a match", false, "/web/Download.html", "view");
        row("new window: download", true, "/api/files/7/download", "seven.txt");
        row("new window: viewer opens the browser", true, "/viewer/page.html", "browser");
        row("new window: other pages stay in this view", true, "/web/page.html", "view");
    }
    void navigationPolicy() {
        QFETCH(bool, newWindow);
        QFETCH(QString, path);
        QFETCH(QString, outcome);
        QVERIFY(load(page("probe.html")));
        clearDownloads();
        const QUrl target = m_server->url(path);
        if (newWindow)
            runJs(QStringLiteral("window.open(%1); true").arg(jsString(target.toString())));
        else
            runJs(QStringLiteral(
                      "var a = document.createElement('a'); a.href = %1; document.body.appendChild(a);"
                      " a.click();")
                      .arg(jsString(target.toString())));
        const bool download = outcome != QLatin1String("view") && outcome != QLatin1String("browser");
        if (outcome == QLatin1String("view")) {
            QTRY_COMPARE_WITH_TIMEOUT(view()->url(), target, Wait);
            QVERIFY(m_desktop->opened.isEmpty());
        } else if (outcome == QLatin1String("browser")) {
            QTRY_COMPARE_WITH_TIMEOUT(m_desktop->opened, QList<QUrl>{target}, Wait);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(m_appState->lastDownloadedFile(), std::optional(inDownloads(outcome)),
                                      Wait);
            QCOMPARE(m_desktop->sounds, QStringList{QStringLiteral("Glass")});
            QCOMPARE(m_desktop->revealed, QStringList{inDownloads(outcome)});
        }
        QTest::qWait(100);
        QCOMPARE(view()->url(), outcome == QLatin1String("view") ? target : page("probe.html"));
        QCOMPARE(downloadedNames(), download ? QStringList{outcome} : QStringList());
    }

    void scriptDialogs_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<std::optional<bool>>("answer");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<int>("kind");
        row("confirm OK", "confirm('Delete it?')", std::optional(true), QVariant(true),
            int(TestDialogs::Asked::Confirm));
        row("confirm Cancel", "confirm('Delete it?')", std::optional(false), QVariant(false),
            int(TestDialogs::Asked::Confirm));
        row("alert", "alert('Delete it?') === undefined", std::optional<bool>(), QVariant(true),
            int(TestDialogs::Asked::Alert));
    }
    void scriptDialogs() {
        QFETCH(QString, script);
        QFETCH(std::optional<bool>, answer);
        QFETCH(QVariant, result);
        QFETCH(int, kind);
        QVERIFY(onProbe());
        m_dialogs.clear();
        if (answer)
            m_dialogs.setNextConfirm(*answer);
        QCOMPARE(runJs(script), result);
        QCOMPARE(m_dialogs.asked().size(), 1);
        QCOMPARE(int(m_dialogs.asked().first().kind), kind);
        QCOMPARE(m_dialogs.asked().first().title, QStringLiteral("Orlavant"));
        QCOMPARE(m_dialogs.asked().first().message, QStringLiteral("Delete it?"));
    }

    void fileChooserAsksWithItsTexts_data() {
        QTest::addColumn<std::optional<QStringList>>("answer");
        row("two files", std::optional(QStringList{"a.txt", "b.txt"}));
        row("cancelled", std::optional<QStringList>());
    }
    void fileChooserAsksWithItsTexts() {
        QFETCH(std::optional<QStringList>, answer);
        QVERIFY(load(page("probe.html")));
        const QString dir = makeTempDir(QStringLiteral("uploads"));
        QStringList paths;
        for (const QString& name : answer.value_or(QStringList())) {
            writeFile(dir + QLatin1Char('/') + name, "content");
            paths << dir + QLatin1Char('/') + name;
        }
        m_dialogs.clear();
        m_dialogs.setNextOpen(answer ? std::optional(paths) : std::nullopt);
        // A file input opens only for a real click.
        QVERIFY(view()->focusProxy());
        QTest::mouseClick(view()->focusProxy(), Qt::LeftButton, {}, QPoint(60, 30));
        QTRY_COMPARE_WITH_TIMEOUT(m_dialogs.asked().size(), 1, Wait);
        const Dialogs::OpenOptions options = m_dialogs.asked().first().open;
        QCOMPARE(options.message, QStringLiteral("Choose files to upload to Orlavant"));
        QCOMPARE(options.prompt, QStringLiteral("Upload"));
        QVERIFY(options.chooseFiles && !options.chooseDirectories && options.allowsMultiple);
        QTRY_COMPARE_WITH_TIMEOUT(
            runJs(QStringLiteral("document.getElementById('files').files.length")).toInt(), int(paths.size()),
            Wait);
    }

    // --- Downloads ------------------------------------------------------------------------------------

    void directDownloads_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<std::optional<QString>>("filename");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("savedAs");
        QTest::addColumn<QByteArray>("content");
        const std::optional<QString> none;
        row("page's name, numbered", "/dl/notes.txt", std::optional<QString>("report.pdf"),
            QStringList{"report.pdf", "report (1).pdf"}, "report (2).pdf", QByteArray("notes"));
        row("page's traversal", "/dl/notes.txt", std::optional<QString>("../../x.txt"), QStringList{},
            "x.txt", QByteArray("notes"));
        row("server's name", "dl/named", none, QStringList{}, "server.txt", QByteArray("named"));
        row("server's traversal", "/dl/evil", none, QStringList{}, "bashrc", QByteArray("evil"));
        row("address's name, absolute on the vault", m_server->url("/dl/notes.txt").toString(), none,
            QStringList{}, "notes.txt", QByteArray("notes"));
        row("elsewhere: no token", m_otherServer->url("/dl/notes.txt").toString(), none, QStringList{},
            "notes.txt", QByteArray("notes"));
    }
    void directDownloads() {
        QFETCH(QString, url);
        QFETCH(std::optional<QString>, filename);
        QFETCH(QStringList, existing);
        QFETCH(QString, savedAs);
        QFETCH(QByteArray, content);
        clearDownloads();
        for (const QString& name : existing)
            writeFile(inDownloads(name), "older");
        const bool elsewhere = url.startsWith(m_otherServer->baseUrl());
        FakeServer& server = elsewhere ? *m_otherServer : *m_server;
        server.clearRequests();
        coordinator().downloadUrlDirectly(url, filename);
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->lastDownloadedFile(), std::optional(inDownloads(savedAs)),
                                  Wait);
        QCOMPARE(readFile(inDownloads(savedAs)), content);
        for (const QString& name : existing)
            QCOMPARE(readFile(inDownloads(name)), QByteArray("older"));
        QCOMPARE(downloadedNames().size(), existing.size() + 1); // no temporary file left behind
        QCOMPARE(m_desktop->sounds, QStringList{QStringLiteral("Glass")});
        QCOMPARE(m_desktop->revealed, QStringList{inDownloads(savedAs)});
        // The token goes only to the vault's own origin.
        const auto requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().hasHeader("authorization"), !elsewhere);
        QCOMPARE(requests.first().header("authorization"), elsewhere ? QByteArray() : "Bearer tok-123");
    }

    void downloadMessages_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("savedAs");
        row("file, relative to the base",
            "{action: 'downloadFile', url: 'api/files/7/download', filename: 'S.txt'}", "S.txt");
        row("all files", "{action: 'downloadAllFiles', url: '/archive/all'}", "all");
    }
    void downloadMessages() {
        QFETCH(QString, body);
        QFETCH(QString, savedAs);
        QVERIFY(onProbe());
        clearDownloads();
        post(body);
        QTRY_COMPARE_WITH_TIMEOUT(downloadedNames(), QStringList{savedAs}, Wait);
    }

    void failedDownloadsLeaveNothing_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("line"); // empty: nothing is even tried
        row("error status", "/dl/missing",
            "[WebViewContainer] Direct download failed: the server answered with status 404.");
        row("refused", FakeServer::refusedBaseUrl() + "/x",
            "[WebViewContainer] Direct download failed: " +
                VaultError::url(VaultError::CannotConnectToHost).description());
        row("unusable address", "/dl/my notes.txt", "");
    }
    void failedDownloadsLeaveNothing() {
        QFETCH(QString, url);
        QFETCH(QString, line);
        clearDownloads();
        m_server->clearRequests();
        LogCapture log;
        coordinator().downloadUrlDirectly(url, QStringLiteral("x.txt"));
        QTest::qWait(200);
        QTRY_COMPARE_WITH_TIMEOUT(log.linesStartingWith(QStringLiteral("[WebViewContainer]")),
                                  line.isEmpty() ? QStringList() : QStringList{line}, Wait);
        if (line.isEmpty())
            QCOMPARE(m_server->requestCount(), 0);
        QVERIFY(downloadedNames().isEmpty());
        QVERIFY(m_desktop->sounds.isEmpty());
    }

    void viewDownloadsGetSafeFreeNames() {
        QVERIFY(load(page("probe.html")));
        clearDownloads();
        for (int i = 1; i <= 2; ++i) {
            runJs(QStringLiteral("location.href = %1")
                      .arg(jsString(m_server->url("/files/hostile").toString())));
            QTRY_COMPARE_WITH_TIMEOUT(m_desktop->sounds.size(), i, Wait);
        }
        QCOMPARE(downloadedNames(), (QStringList{"evil (1).sh", "evil.sh"}));
        QCOMPARE(readFile(inDownloads("evil.sh")), QByteArray("\x00\x01\x02blob", 7));
        QCOMPARE(m_appState->lastDownloadedFile(), std::nullopt);
        QVERIFY(m_desktop->revealed.isEmpty());
        QCOMPARE(view()->url(), page("probe.html"));
    }

    // --- Sign-out (last: it ends the session) ---------------------------------------------------------

    void logoutSignsOutAndShowsTheLoginPage() {
        QVERIFY(load(page("dashboard.html")));
        sync().startSync();
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncing(), Wait);
        runJs(QStringLiteral("localStorage.setItem('orlavant_token', 'page-token')"));
        click("logout");
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), page("login.html"), Wait);
        QCOMPARE(m_appState->currentUrl(), std::optional<QUrl>(page("login.html")));
        QVERIFY(sync().isSyncStopped());
        QCOMPARE(sync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
        QVERIFY(!m_core->client.isAuthenticated());
        // The page forgot its own login too.
        QTRY_VERIFY_WITH_TIMEOUT(!m_appState->isLoading(), Wait);
        QCOMPARE(runJs(QStringLiteral("localStorage.getItem('orlavant_token')")), QVariant());
    }

    void removedHostLeavesHarmlessCallbacks() {
        m_container.reset();
        QCOMPARE(m_box->webView(), nullptr);
        // The engine still holds the callbacks; they find the coordinator gone and do nothing.
        QVERIFY(sync().onStatusChanged && sync().onFileSynced);
        sync().onStatusChanged(std::nullopt, false, 0, QStringLiteral("late"), true);
        sync().onFileSynced(QStringLiteral("late.txt"), false);
        m_box->load(page("probe.html"));
        m_box->goBack();
        QTest::qWait(50);
    }
};

ORLAVANT_TEST_MAIN(TestWebViewContainer)
#include "tst_webviewcontainer.moc"
