// The web host in a real browser view: one view for the whole run (the engine is slow to start),
// real pages from a temporary web directory, a loopback vault and the real sync engine.
#include <QApplication>

#include "app/AppState.h"
#include "platform/VaultError.h"
#include "support/FakeServer.h"
#include "support/LogCapture.h"
#include "support/TestServices.h"
#include "web/BridgeScripts.h"
#include "web/DesktopActions.h"
#include "web/DownloadNames.h"
#include "web/WebViewBox.h"
#include "web/WebViewContainer.h"
#include "web/WebViewCoordinator.h"

#include <QDir>
#include <QFile>
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

// Records the status pushes, for exact comparison as JSON text.
const char* ProbePage = R"HTML(<!DOCTYPE html><html><head><title>Probe</title></head><body><script>
window.statusCalls = [];
window.updateMacSyncStatus = function () { statusCalls.push([].slice.call(arguments)); };
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

// The text as a script literal (the escaping itself is tested on its own).
QString js(const QString& text) {
    return "'" + BridgeScripts::escapeJsString(text) + "'";
}

} // namespace

class TestWebViewContainer : public QObject {
    Q_OBJECT

private:
    QString m_webDir;
    QString m_downloads;
    std::shared_ptr<RecordingDesktop> m_desktop = std::make_shared<RecordingDesktop>();
    FakeServer m_server;
    FakeServer m_otherServer;
    std::unique_ptr<TestServices> m_services;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<WebViewBox> m_box;
    std::unique_ptr<WebViewContainer> m_container;

    TestDialogs& dialogs() { return m_services->dialogs; }
    FolderSyncManager& sync() { return m_services->services->folderSync; }
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
    QString byId(const char* id) {
        return QStringLiteral("document.getElementById('%1')").arg(QLatin1String(id));
    }
    QString text(const char* id) { return runJs(byId(id) + ".textContent").toString(); }
    void click(const char* id) { runJs(byId(id) + ".click()"); }
    void post(const QString& body) {
        runJs("window.webkit.messageHandlers.orlavantMac.postMessage(" + body + ")");
    }

    // Loads through the box and waits until the host has finished with the load (AppState
    // updated, status push and login script issued).
    bool load(const QUrl& url) {
        QSignalSpy finished(view(), &QWebEngineView::loadFinished);
        m_box->load(url);
        return finished.wait(Wait) &&
               QTest::qWaitFor([&] { return !m_appState->isLoading() && view()->url() == url; }, Wait);
    }

    // Posts a message the bridge accepts and waits for it: everything posted before has been
    // handled by then.
    void postMarkerAndWait(QSignalSpy& accepted) {
        const qsizetype before = accepted.size();
        post(QStringLiteral("{action: 'getSyncStatus', token: 'marker'}"));
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() > before, Wait);
    }

    void clearDownloads() {
        QDir dir(m_downloads);
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
            dir.remove(name);
        *m_desktop = RecordingDesktop();
        m_server.clearRequests();
        m_otherServer.clearRequests();
    }
    QStringList downloadedNames() const {
        return QDir(m_downloads).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private Q_SLOTS:
    void initTestCase() {
        m_webDir = makeTempDir(QStringLiteral("web"));
        const QDir source(qEnvironmentVariable("ORLAVANT_SOURCE_DIR") + QStringLiteral("/resources/web"));
        for (const QString& name : source.entryList(QDir::Files))
            QVERIFY(QFile::copy(source.filePath(name), m_webDir + QLatin1Char('/') + name));
        writeFile(m_webDir + QStringLiteral("/probe.html"), ProbePage);
        writeFile(m_webDir + QStringLiteral("/sibling.js"), "");

        // Every reply's content is its own path, so a saved file shows what was fetched.
        const auto route = [](FakeServer& server, const char* path, std::string name = {}) {
            FakeServer::Reply reply = FakeServer::Reply::text(200, path);
            reply.contentType = QByteArray(path).endsWith(".html") ? "text/html" : "application/octet-stream";
            if (!name.empty())
                reply.headers.push_back({"Content-Disposition", "attachment; filename=\"" + name + "\""});
            server.on("GET", path, reply);
        };
        for (const char* path :
             {"/archive/all", "/dl/notes.txt", "/web/page.html", "/web/Download.html", "/viewer/page.html"})
            route(m_server, path);
        route(m_otherServer, "/dl/notes.txt");
        route(m_server, "/api/files/7/download", "seven.txt");
        route(m_server, "/dl/named", "server.txt");
        route(m_server, "/dl/evil", "../../.bashrc");
        route(m_server, "/files/hostile", "../../evil.sh");
        FakeServer::Reply hang;
        hang.hang = true;
        m_server.on("GET", "/web/hang.html", hang);
        m_server.on("GET", "/dl/missing", FakeServer::Reply::json(404, "{\"error\":\"not found\"}"));

        // Signed in before the engine starts: the session is restored from the settings.
        m_services = std::make_unique<TestServices>(TestServices::session());
        CoreServices& core = *m_services->services;
        core.client.setBackendUrl(FakeServer::refusedBaseUrl());
        sync().apiBaseUrl = m_server.baseUrl();
        m_appState = std::make_unique<AppState>(sync(), core.client, core.http,
                                                AppState::WebLocations{m_webDir, QString(), m_webDir});
        m_box = std::make_unique<WebViewBox>(m_webDir);
        m_container = std::make_unique<WebViewContainer>(WebViewContainer::Services{
            *m_appState, *m_box, sync(), core.client, core.http, dialogs(), m_desktop});
        m_container->resize(900, 700);
        m_container->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_container.get()));
        m_downloads = *DownloadNames::downloadsDirectory();
        QVERIFY(m_downloads.startsWith(QDir::homePath()));
    }

    void cleanupTestCase() { m_container.reset(); }

    // --- The view and its page state --------------------------------------------------------------

    void appStateFollowsTheView() {
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QString::fromUtf8("Orlavant – Sign in"), Wait);
        QCOMPARE(m_appState->currentUrl(), std::optional<QUrl>(page("login.html")));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->progress(), 1.0, Wait);
        QCOMPARE(m_appState->errorMessage(), std::nullopt);
        QVERIFY(m_container->profile()->persistentStoragePath().startsWith(QDir::homePath()));
        // The vault recognises the client by its user agent.
        const QUrl remote = m_server.url(QStringLiteral("/web/page.html"));
        QVERIFY(load(remote));
        QCOMPARE(m_server.requests().value(0).header("user-agent"), WebViewContainer::UserAgent.toUtf8());
        // A page without a title leaves the last one standing.
        QTest::qWait(100);
        runJs(
            QStringLiteral("1")); // answers come back in order: the host's title question is answered by now
        QCOMPARE(m_appState->currentTitle(), QString::fromUtf8("Orlavant – Sign in"));
        QVERIFY(load(page("dashboard.html")));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QString::fromUtf8("Orlavant – Dashboard"),
                                  Wait);
        QVERIFY(!m_appState->canGoForward());
        m_box->goBack();
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentUrl(), std::optional<QUrl>(remote), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->canGoForward() && m_appState->canGoBack(), Wait);
    }

    void fileAccessIsConfinedToTheWebDirectory() {
        QVERIFY(load(page("probe.html")));
        // Climbing out with ".." reaches the same file as the absolute address.
        const QString outside = makeTempDir(QStringLiteral("outside")) + QStringLiteral("/secret.js");
        writeFile(outside, "window.secret = 1;");
        const QStringList sources{"sibling.js", QUrl::fromLocalFile(outside).toString(),
                                  QDir(m_webDir).relativeFilePath(outside)};
        runJs("window.results = []; [" + js(sources[0]) + ", " + js(sources[1]) + ", " + js(sources[2]) +
              "].forEach(function (src, i) { var s = document.createElement('script'); s.src = src;"
              " s.onload = function () { results[i] = 'loaded'; }; s.onerror = function () { results[i] = "
              "'refused'; };"
              " document.head.appendChild(s); })");
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("results.join() + ',' + window.secret")).toString(),
                                  QStringLiteral("loaded,refused,refused,undefined"), Wait);
    }

    void failedLoadSetsTheErrorAndCancelledLoadDoesNot() {
        m_box->load(QUrl(FakeServer::refusedBaseUrl() + QStringLiteral("/web/login.html")));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_appState->errorMessage(),
            std::optional(VaultError::url(VaultError::CannotConnectToHost).description()), Wait);
        QVERIFY(!m_appState->isLoading());

        // Stopped while it waits for the server: cancelled, not failed.
        m_box->load(m_server.url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(!m_server.requests("GET", "/web/hang.html").isEmpty(), Wait);
        m_appState->setErrorMessage(QStringLiteral("earlier error"));
        QSignalSpy loading(view()->page(), &QWebEnginePage::loadingChanged);
        view()->stop();
        QVERIFY(loading.wait(Wait));
        QTest::qWait(200); // let the host's queued work run, if it wrongly queued any
        QCOMPARE(m_appState->errorMessage(), std::optional<QString>(QStringLiteral("earlier error")));

        // Replaced by another navigation while it waits: no error ever shows.
        m_box->load(m_server.url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->isLoading(), Wait);
        QStringList errorsShown;
        QObject listening; // disconnects on every way out
        connect(m_appState.get(), &AppState::errorMessageChanged, &listening,
                [&] { errorsShown << m_appState->errorMessage().value_or(QString()); });
        QVERIFY(load(m_server.url(QStringLiteral("/web/page.html"))));
        QTest::qWait(200);
        QCOMPARE(errorsShown.join(QString()), QString());

        // A remote load that makes no progress for 15 s is given up.
        m_box->load(m_server.url(QStringLiteral("/web/hang.html")));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->errorMessage(),
                                  std::optional(VaultError::url(VaultError::TimedOut).description()), 25000);
        QVERIFY(!m_appState->isLoading());
    }

    // --- The script bridge ----------------------------------------------------------------------------

    void statusIsPushedOnLoadAndOnRequest() {
        QVERIFY(!sync().watchedFolderPath());
        QVERIFY(load(page("probe.html")));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("statusCalls.length")).toInt(), 1, Wait);
        post(QStringLiteral("{action: 'getSyncStatus', token: 't', householdId: 'h'}"));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("statusCalls.length")).toInt(), 2, Wait);
        QCOMPARE(runJs(QStringLiteral("JSON.stringify(statusCalls[1])")).toString(),
                 QStringLiteral("[\"\",false,%1,\"%2\",%3]")
                     .arg(QString::number(sync().totalSyncedCount()), sync().syncStatusMessage(),
                          QLatin1String(sync().isSyncStopped() ? "true" : "false")));
    }

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
        runJs("localStorage.clear(); localStorage.setItem('orlavant_household', " + js(household) + ")");
        if (!token.isNull())
            runJs("localStorage.setItem('orlavant_token', " + js(token) + ")");
        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        QVERIFY(load(page("dashboard.html")));
        postMarkerAndWait(accepted);
        const QJsonObject login{
            {"action", "loginSuccess"}, {"token", token}, {"household", QJsonObject{{"id", householdId}}}};
        const QJsonObject marker{{"action", "getSyncStatus"}, {"token", "marker"}};
        QCOMPARE(accepted.first().at(1).toJsonObject(), token.isNull() ? marker : login);
        // Nothing on the native side changed: the client's own session stays.
        QCOMPARE(m_services->services->client.currentSession(), std::optional(TestServices::session()));
        runJs(QStringLiteral("localStorage.clear();"));
    }

    void malformedMessagesAreIgnored_data() {
        QTest::addColumn<QString>("body");
        row("text body", "'toggleSync'");
        row("array body", "[{action: 'toggleSync'}]");
        row("number action", "{action: 1}");
        row("other case", "{action: 'ToggleSync'}");
        row("unknown action", "{action: 'formatDisk', url: '/dl/notes.txt'}");
        row("download without url", "{action: 'downloadFile', filename: 'x.txt'}");
        row("download with number url", "{action: 'downloadAllFiles', url: 7}");
        row("login without token", "{action: 'loginSuccess', household: {id: 'h'}}");
    }
    void malformedMessagesAreIgnored() {
        QFETCH(QString, body);
        const bool stopped = sync().isSyncStopped();
        m_server.clearRequests();
        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        post(body);
        postMarkerAndWait(accepted);
        // Only the "orlavantMac" handler is heard.
        coordinator().handleScriptMessage(QStringLiteral("orlavant"),
                                          QJsonObject{{"action", "getSyncStatus"}});
        QTest::qWait(50);
        QCOMPARE(accepted.size(), 1);
        QCOMPARE(sync().isSyncStopped(), stopped);
        QCOMPARE(m_server.requestCount(), 0);
    }

    void dashboardAndMessagesDriveTheEngine() {
        QVERIFY(load(page("dashboard.html")));
        const QString folder = makeTempDir(QStringLiteral("synced"));
        dialogs().setNextOpen(QStringList{folder});
        click("choose-folder");
        QTRY_COMPARE_WITH_TIMEOUT(sync().watchedFolderPath(), std::optional(folder), Wait);
        QVERIFY(dialogs().asked().last().open.chooseDirectories);
        // The engine's own reports reach the page.
        post(QStringLiteral("{action: 'stopSync'}"));
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-badge"), QStringLiteral("Paused"), Wait);
        QCOMPARE(text("sync-path"), folder);
        QCOMPARE(text("sync-message"), sync().syncStatusMessage());
        click("toggle-sync");
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-badge"), QStringLiteral("Watching"), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncing(), Wait);
        QSignalSpy passes(&sync(), &FolderSyncManager::passFinished);
        click("trigger-sync");
        QVERIFY(passes.wait(Wait));
        click("toggle-sync");
        QTRY_VERIFY_WITH_TIMEOUT(sync().isSyncStopped(), Wait);
        post(QStringLiteral("{action: 'startSync'}"));
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncStopped(), Wait);
        post(QStringLiteral("{action: 'stopSync'}"));
        QTRY_VERIFY_WITH_TIMEOUT(sync().isSyncStopped(), Wait);
        // A hostile name arrives intact, as text.
        const QString name = QString::fromUtf16(u"it's <b>b</b>\\');window.pwned=1;('\n\u2028</script>.txt");
        sync().onFileSynced(name, true);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("document.querySelector('#activity li').textContent")),
                                  QVariant("Already in the vault: " + name), Wait);
        QCOMPARE(
            runJs(QStringLiteral("typeof window.pwned + document.querySelectorAll('#activity b').length")),
            QVariant(QStringLiteral("undefined0")));
        QCOMPARE(text("sync-duplicates"), QStringLiteral("1"));
    }

    // --- Navigation policy, new windows, dialogs ------------------------------------------------------

    void navigationPolicy_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("outcome"); // a saved name, "browser" or "view"
        const QString link = QStringLiteral("var a = document.createElement('a'); a.href = %1; a.click()");
        const QString open = QStringLiteral("window.open(%1)");
        row("download path", link, "/api/files/7/download", "seven.txt");
        row("archive path", link, "/archive/all", "all");
        row("ordinary page", link, "/web/page.html", "view");
        row("capital letter is not a match", link, "/web/Download.html", "view");
        row("new window: download", open, "/api/files/7/download", "seven.txt");
        row("new window: viewer opens the browser", open, "/viewer/page.html", "browser");
        row("new window: other pages stay in this view", open, "/web/page.html", "view");
    }
    void navigationPolicy() {
        QFETCH(QString, how);
        QFETCH(QString, path);
        QFETCH(QString, outcome);
        QVERIFY(load(page("probe.html")));
        clearDownloads();
        const QUrl target = m_server.url(path);
        runJs(how.arg(js(target.toString())) + "; true");
        const bool download = outcome != QLatin1String("view") && outcome != QLatin1String("browser");
        if (outcome == QLatin1String("view"))
            QTRY_COMPARE_WITH_TIMEOUT(view()->url(), target, Wait);
        else if (outcome == QLatin1String("browser"))
            QTRY_COMPARE_WITH_TIMEOUT(m_desktop->opened, QList<QUrl>{target}, Wait);
        else
            QTRY_COMPARE_WITH_TIMEOUT(m_desktop->revealed, QStringList{inDownloads(outcome)}, Wait);
        QTest::qWait(100);
        QCOMPARE(view()->url(), outcome == QLatin1String("view") ? target : page("probe.html"));
        QCOMPARE(downloadedNames(), download ? QStringList{outcome} : QStringList());
        QCOMPARE(m_desktop->opened.size(), outcome == QLatin1String("browser") ? 1 : 0);
    }

    void scriptDialogsAnswerAsTheUserDid() {
        dialogs().clear();
        dialogs().setNextConfirm(true);
        dialogs().setNextConfirm(false);
        QCOMPARE(runJs(QStringLiteral("[confirm('Keep?'), confirm('Delete?'), alert('Done') === undefined]")),
                 QVariant(QVariantList{true, false, true}));
        QStringList asked;
        for (const TestDialogs::Asked& question : dialogs().asked())
            asked << (question.kind == TestDialogs::Asked::Alert ? "alert " : "confirm ") + question.title +
                         ": " + question.message;
        QCOMPARE(asked, (QStringList{"confirm Orlavant: Keep?", "confirm Orlavant: Delete?",
                                     "alert Orlavant: Done"}));
    }

    // --- Downloads ------------------------------------------------------------------------------------

    void downloadMessages_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("savedAs"); // empty: nothing is saved
        QTest::addColumn<QString>("logged");
        const QString file = QStringLiteral("{action: 'downloadFile', url: '%1', filename: %2}");
        row("page's name, numbered", file.arg("/dl/notes.txt", "'report.pdf'"), "report (2).pdf", "");
        row("page's traversal", file.arg("/dl/notes.txt", "'../../x.txt'"), "x.txt", "");
        row("server's name, relative", file.arg("dl/named", "null"), "server.txt", "");
        row("server's traversal", file.arg("/dl/evil", "undefined"), "bashrc", "");
        row("all files, address's name", "{action: 'downloadAllFiles', url: '/archive/all'}", "all", "");
        row("absolute on the vault", file.arg(m_server.url("/dl/notes.txt").toString(), "null"), "notes.txt",
            "");
        row("elsewhere: no token", file.arg(m_otherServer.url("/dl/notes.txt").toString(), "null"),
            "notes.txt", "");
        row("error status", file.arg("/dl/missing", "'x.txt'"), "",
            "[WebViewContainer] Direct download failed: the server answered with status 404.");
        row("unusable address", file.arg("/dl/my notes.txt", "'x.txt'"), "", "");
    }
    void downloadMessages() {
        QFETCH(QString, body);
        QFETCH(QString, savedAs);
        QFETCH(QString, logged);
        QVERIFY(load(page("probe.html")));
        clearDownloads();
        const QStringList older{"report (1).pdf", "report.pdf"};
        for (const QString& name : older)
            writeFile(inDownloads(name), "older");
        m_appState->setLastDownloadedFile(std::nullopt);
        LogCapture log;
        post(body);
        const QString saved = inDownloads(savedAs);
        QTRY_COMPARE_WITH_TIMEOUT(m_desktop->revealed, savedAs.isEmpty() ? QStringList() : QStringList{saved},
                                  Wait);
        QTRY_COMPARE_WITH_TIMEOUT(log.linesStartingWith(QStringLiteral("[WebViewContainer]")),
                                  logged.isEmpty() ? QStringList() : QStringList{logged}, Wait);
        QTest::qWait(200);
        QCOMPARE(m_appState->lastDownloadedFile(), savedAs.isEmpty() ? std::nullopt : std::optional(saved));
        QCOMPARE(m_desktop->sounds.size(), savedAs.isEmpty() ? 0 : 1);
        // Nothing but the file arrives (no error page, no temporary file) and nothing is replaced.
        QStringList expected = older + (savedAs.isEmpty() ? QStringList() : QStringList{savedAs});
        expected.sort();
        QCOMPARE(downloadedNames(), expected);
        QCOMPARE(readFile(inDownloads(older[0])) + readFile(inDownloads(older[1])), QByteArray("olderolder"));
        const auto requests = m_server.requests() + m_otherServer.requests();
        QCOMPARE(requests.size(),
                 savedAs.isEmpty() && logged.isEmpty() ? 0 : 1); // an unusable address is not tried
        if (savedAs.isEmpty())
            return;
        QCOMPARE(readFile(saved), requests.first().path);
        // The token goes only to the vault's own origin.
        const bool elsewhere = !m_otherServer.requests().isEmpty();
        QCOMPARE(requests.first().hasHeader("authorization"), !elsewhere);
        QCOMPARE(requests.first().header("authorization"),
                 elsewhere ? QByteArray() : "Bearer " + TestServices::session().accessToken.toUtf8());
    }

    void viewDownloadsGetSafeFreeNames() {
        clearDownloads();
        for (int i = 1; i <= 2; ++i) {
            runJs("location.href = " + js(m_server.url("/files/hostile").toString()));
            QTRY_COMPARE_WITH_TIMEOUT(m_desktop->sounds.size(), i, Wait);
        }
        QCOMPARE(downloadedNames(), (QStringList{"evil (1).sh", "evil.sh"}));
        QCOMPARE(readFile(inDownloads("evil.sh")), QByteArray("/files/hostile"));
        QCOMPARE(view()->url(), page("probe.html"));
        QVERIFY(m_desktop->revealed.isEmpty());
    }

    // --- Sign-out (last: it ends the session) ---------------------------------------------------------

    void logoutSignsOutAndShowsTheLoginPage() {
        QVERIFY(load(page("dashboard.html")));
        sync().startSync();
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncing(), Wait);
        runJs(QStringLiteral("localStorage.setItem('orlavant_token', 'page-token')"));
        click("logout");
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentUrl(), std::optional<QUrl>(page("login.html")), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), page("login.html"), Wait);
        QCOMPARE(sync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
        QVERIFY(sync().isSyncStopped() && !m_services->services->client.isAuthenticated());
        // The page forgot its own login too.
        QTRY_VERIFY_WITH_TIMEOUT(!m_appState->isLoading(), Wait);
        QCOMPARE(runJs(QStringLiteral("localStorage.getItem('orlavant_token')")), QVariant());
    }

    void removedHostLeavesHarmlessCallbacks() {
        m_container.reset();
        QCOMPARE(m_box->webView(), nullptr);
        // The engine still holds the callbacks; they find the coordinator gone and do nothing.
        sync().onStatusChanged(std::nullopt, false, 0, QStringLiteral("late"), true);
        sync().onFileSynced(QStringLiteral("late.txt"), false);
        m_box->load(page("probe.html"));
        QTest::qWait(50);
    }
};

ORLAVANT_TEST_MAIN(TestWebViewContainer)
#include "tst_webviewcontainer.moc"
