// The web host in a real browser view: one view for the whole run (the engine is slow to start),
// real pages from a temporary web directory, a loopback vault and the real sync engine.
#include <QApplication>

#include "app/AppState.h"
#include "platform/VaultError.h"
#include "support/FakeServer.h"
#include "support/FakeSessionVault.h"
#include "support/LogCapture.h"
#include "support/TestFiles.h"
#include "support/TestServices.h"
#include "web/BridgeScripts.h"
#include "web/DesktopActions.h"
#include "web/DownloadNames.h"
#include "web/WebViewBox.h"
#include "web/WebViewContainer.h"
#include "web/WebViewCoordinator.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QWebEngineView>

constexpr int Wait = 20000;

class RecordingDesktop final : public DesktopActions {
public:
    QStringList calls;
    void playSound(const QString& name) override { calls << "sound " + name; }
    void revealFile(const QString& path) override { calls << "reveal " + path; }
    void openUrl(const QUrl& url) override { calls << "open " + url.toString(); }
};

template <typename... T> static void row(const char* name, const T&... values) {
    (QTest::newRow(name) << ... << values);
}

static QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The text as a script literal (the escaping itself is tested on its own).
static QString js(const QString& text) {
    return "'" + BridgeScripts::escapeJsString(text) + "'";
}

class TestWebViewContainer : public QObject {
    Q_OBJECT

private:
    QString m_webDir = makeTempDir(QStringLiteral("web"));
    QString m_downloads = DownloadNames::downloadsDirectory().value_or(QString());
    std::shared_ptr<RecordingDesktop> m_desktop = std::make_shared<RecordingDesktop>();
    FakeServer m_server;
    FakeServer m_otherServer;
    FakeSessionVault m_sessions{m_server};
    std::unique_ptr<TestServices> m_services;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<WebViewBox> m_box;
    std::unique_ptr<WebViewContainer> m_container;

    // A hosted session, as after a restart: what its token is worth only the vault can say.
    static SupabaseSession restoredSession() {
        SupabaseSession session = TestServices::session();
        session.refreshToken = QStringLiteral("refresh-1");
        return session;
    }
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
    QString el(const char* id) {
        return QStringLiteral("document.getElementById('%1')").arg(QLatin1String(id));
    }
    QString text(const char* id) { return runJs(el(id) + ".textContent").toString(); }
    void click(const char* id) { runJs(el(id) + ".click()"); }
    void post(const QString& body) {
        runJs("window.webkit.messageHandlers.orlavantMac.postMessage(" + body + ")");
    }

    // Loads through the box and waits until the host has finished with the load (AppState
    // updated, status push and login script issued).
    bool load(const QUrl& url) {
        QSignalSpy finished(view(), &QWebEngineView::loadFinished);
        m_box->load(url);
        // Counted, not waited for: the load may be over before anyone would wait.
        return QTest::qWaitFor(
            [&] { return !finished.isEmpty() && !m_appState->isLoading() && view()->url() == url; }, Wait);
    }

    // Lets whatever the host queued, rightly or wrongly, run: the page answers a script only
    // after everything the engine reported before it, and the answer comes through the event loop.
    void settle() {
        runJs(QStringLiteral("1"));
        QCoreApplication::processEvents();
    }

    // Posts a message the bridge accepts and waits for it: everything posted before has been
    // handled by then.
    void postMarkerAndWait(QSignalSpy& accepted) {
        const qsizetype before = accepted.size();
        post(QStringLiteral("{action: 'getSyncStatus', token: 'marker'}"));
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() > before, Wait);
    }

    QStringList downloadedNames() const {
        return QDir(m_downloads).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    void clearDownloads() {
        for (const QString& name : downloadedNames())
            QFile::remove(inDownloads(name));
        m_desktop->calls.clear();
        m_appState->setLastDownloadedFile(std::nullopt);
        m_server.clearRequests();
        m_otherServer.clearRequests();
    }

private Q_SLOTS:
    void initTestCase() {
        const QDir source(qEnvironmentVariable("ORLAVANT_SOURCE_DIR") + QStringLiteral("/resources/web"));
        for (const QString& name : source.entryList(QDir::Files))
            QVERIFY(QFile::copy(source.filePath(name), m_webDir + QLatin1Char('/') + name));
        writeFile(m_webDir + QStringLiteral("/blank.html"), "<html><body></body></html>");

        // Every reply's content is its own path, so a saved file shows what was fetched.
        const auto route = [](FakeServer& server, const char* path, std::string name = {}) {
            FakeServer::Reply reply =
                FakeServer::Reply::text(QByteArray(path).contains("missing") ? 404 : 200, path);
            reply.hang = QByteArray(path).contains("hang");
            reply.contentType = QByteArray(path).endsWith(".html") ? "text/html" : "application/octet-stream";
            if (!name.empty())
                reply.headers.push_back({"Content-Disposition", "attachment; filename=\"" + name + "\""});
            server.on("GET", path, reply);
        };
        for (const char* path : {"/archive/all", "/dl/notes.txt", "/dl/missing", "/web/hang.html",
                                 "/web/page.html", "/web/Download.html", "/viewer/page.html"})
            route(m_server, path);
        route(m_otherServer, "/dl/notes.txt");
        route(m_server, "/api/files/7/download", "seven.txt");
        route(m_server, "/files/hostile", "../../evil.sh");

        // Signed in before the engine starts: the session is restored from the settings.
        m_services = std::make_unique<TestServices>(restoredSession());
        CoreServices& core = *m_services->services;
        core.client.setBackendUrl(FakeServer::refusedBaseUrl());
        sync().apiBaseUrl = m_server.baseUrl();
        m_appState = std::make_unique<AppState>(sync(), core.client, core.http,
                                                AppState::WebLocations{m_webDir, QString(), m_webDir});
        m_box = std::make_unique<WebViewBox>(m_webDir);
        m_container = std::make_unique<WebViewContainer>(WebViewContainer::Services{
            *m_appState, *m_box, sync(), core.client, core.http, m_services->dialogs, m_desktop});
        m_container->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_container.get()));
        QVERIFY(m_downloads.startsWith(QDir::homePath()));
    }

    // --- The view and its page state --------------------------------------------------------------

    void fileAccessIsConfinedToTheWebDirectory() {
        QVERIFY(load(page("blank.html")));
        // Climbing out with ".." reaches the same file as the absolute address.
        const QString outside = makeTempDir(QStringLiteral("outside")) + QStringLiteral("/secret.js");
        writeFile(outside, "window.secret = 1;");
        const QString sources = js("app.js") + ", " + js(QUrl::fromLocalFile(outside).toString()) + ", " +
                                js(QDir(m_webDir).relativeFilePath(outside));
        runJs("window.results = []; [" + sources +
              "].forEach(function (src, i) { var s = document.createElement('script');"
              " s.src = src; s.onload = function () { results[i] = 'loaded'; };"
              " s.onerror = function () { results[i] = 'refused'; }; document.head.appendChild(s); })");
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("results.join() + ',' + window.secret")).toString(),
                                  QStringLiteral("loaded,refused,refused,undefined"), Wait);
    }

    void failedLoadSetsTheErrorAndCancelledLoadDoesNot() {
        m_box->load(QUrl(FakeServer::refusedBaseUrl() + QStringLiteral("/web/login.html")));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_appState->errorMessage(),
            std::optional(VaultError::url(VaultError::CannotConnectToHost).description()), Wait);

        // Stopped while it waits for the server: cancelled, not failed.
        m_box->load(m_server.url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(!m_server.requests("GET", "/web/hang.html").isEmpty(), Wait);
        m_appState->setErrorMessage(QStringLiteral("earlier error"));
        QSignalSpy loading(view()->page(), &QWebEnginePage::loadingChanged);
        view()->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!loading.isEmpty(), Wait);
        settle();
        QCOMPARE(m_appState->errorMessage(), std::optional<QString>(QStringLiteral("earlier error")));

        // Replaced by another navigation while it waits: no error ever shows.
        m_box->load(m_server.url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->isLoading(), Wait);
        QStringList errorsShown;
        QObject listening; // disconnects on every way out
        connect(m_appState.get(), &AppState::errorMessageChanged, &listening,
                [&] { errorsShown << m_appState->errorMessage().value_or(QString()); });
        QVERIFY(load(m_server.url(QStringLiteral("/web/page.html"))));
        settle();
        QCOMPARE(errorsShown.join(QString()), QString());

        // A remote load that makes no progress for 15 s is given up.
        m_box->load(m_server.url(QStringLiteral("/web/hang.html")));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->errorMessage(),
                                  std::optional(VaultError::url(VaultError::TimedOut).description()),
                                  2 * Wait);
    }

    // --- The script bridge ----------------------------------------------------------------------------

    void dashboardAndMessagesDriveTheEngine() {
        QVERIFY(load(page("dashboard.html")));
        // Every finished load pushes the status.
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-message"), sync().syncStatusMessage(), Wait);
        QCOMPARE(text("sync-path"), QStringLiteral("No folder chosen"));

        const QString folder = makeTempDir(QStringLiteral("synced"));
        m_services->dialogs.setNextOpen(QStringList{folder});
        click("choose-folder");
        QTRY_COMPARE_WITH_TIMEOUT(sync().watchedFolderPath(), std::optional(folder), Wait);
        // The engine's own reports reach the page.
        post(QStringLiteral("{action: 'stopSync'}"));
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-badge"), QStringLiteral("Paused"), Wait);
        QCOMPARE(text("sync-path"), folder);
        post(QStringLiteral("{action: 'startSync'}"));
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-badge"), QStringLiteral("Watching"), Wait);
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncing(), Wait);
        QSignalSpy passes(&sync(), &FolderSyncManager::passFinished);
        click("trigger-sync");
        // The click's script round trip runs the event loop: the pass may be over already.
        QTRY_VERIFY_WITH_TIMEOUT(!passes.isEmpty(), Wait);
        sync().stopSync();
        // A hostile name arrives intact, as text.
        const QString name =
            QString::fromUtf16(u"it's <b>b</b>\\');window.pwned=1;('\n\u2028\u2029</script>.txt");
        sync().onFileSynced(name, true);
        QTRY_COMPARE_WITH_TIMEOUT(
            runJs(QStringLiteral("[typeof window.pwned, document.querySelectorAll('#activity b')"
                                 ".length, document.querySelector('#activity li').textContent]"
                                 ".join('|')")),
            QVariant("undefined|0|Already in the vault: " + name), Wait);
    }

    // --- Navigation policy, new windows, dialogs ------------------------------------------------------

    void navigationPolicy_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("outcome"); // a saved name, "browser" or "view"
        const QString link = QStringLiteral("var a = document.createElement('a'); a.href = %1; a.click()");
        const QString open = QStringLiteral("window.open(%1)");
        row("download path", link, "/api/files/7/download", "seven.txt");
        row("capital letter is not a match", link, "/web/Download.html", "view");
        row("new window: viewer opens the browser", open, "/viewer/page.html", "browser");
        row("new window: other pages stay in this view", open, "/web/page.html", "view");
    }
    void navigationPolicy() {
        QFETCH(QString, how);
        QFETCH(QString, path);
        QFETCH(QString, outcome);
        QVERIFY(load(page("blank.html")));
        clearDownloads();
        const QUrl target = m_server.url(path);
        runJs(how.arg(js(target.toString())) + "; true");
        const bool navigates = outcome == QLatin1String("view"),
                   browser = outcome == QLatin1String("browser");
        const QStringList calls = browser     ? QStringList{"open " + target.toString()}
                                  : navigates ? QStringList()
                                              : QStringList{"sound Glass", "reveal " + inDownloads(outcome)};
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), navigates ? target : page("blank.html"), Wait);
        QTRY_COMPARE_WITH_TIMEOUT(m_desktop->calls, calls, Wait);
        settle();
        QCOMPARE(view()->url(), navigates ? target : page("blank.html"));
        QCOMPARE(m_desktop->calls, calls);
        QCOMPARE(downloadedNames(), navigates || browser ? QStringList() : QStringList{outcome});
    }

    // --- Messages from the page: what each one does, and that malformed ones do nothing -------------

    void pageMessages_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("outcome"); // the saved file's name, "404" for a logged failure, or nothing
        row("malformed: text body", "'toggleSync'", "");
        row("malformed: unknown action", "{action: 'formatDisk', url: '/dl/notes.txt'}", "");
        const QString file = QStringLiteral("{action: 'downloadFile', url: '%1', filename: %2}");
        row("page's name, numbered", file.arg("/dl/notes.txt", "'report.pdf'"), "report (2).pdf");
        row("server's name, relative", file.arg("api/files/7/download", "null"), "seven.txt");
        row("server's traversal", file.arg("/files/hostile", "undefined"), "evil.sh");
        row("all files, address's name", "{action: 'downloadAllFiles', url: '/archive/all'}", "all");
        row("elsewhere", file.arg(m_otherServer.url("/dl/notes.txt").toString(), "null"), "notes.txt");
        row("error status", file.arg("/dl/missing", "'x.txt'"), "404");
        row("unusable address", file.arg("/dl/my notes.txt", "'x.txt'"), "");
    }
    void pageMessages() {
        QFETCH(QString, body);
        QFETCH(QString, outcome);
        const bool malformed = QByteArray(QTest::currentDataTag()).startsWith("malformed");
        const bool failed = outcome == QLatin1String("404");
        const QString savedAs = failed ? QString() : outcome;
        clearDownloads();
        const QStringList older{"report (1).pdf", "report.pdf"};
        for (const QString& name : older)
            writeFile(inDownloads(name), "older");
        const bool stopped = sync().isSyncStopped();
        QSignalSpy accepts(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        LogCapture log;
        post(body);
        postMarkerAndWait(accepts);
        QCOMPARE(accepts.size(), malformed ? 1 : 2);
        const QString saved = inDownloads(savedAs);
        const QStringList calls =
            savedAs.isEmpty() ? QStringList() : QStringList{"sound Glass", "reveal " + saved};
        QTRY_COMPARE_WITH_TIMEOUT(m_desktop->calls, calls, Wait);
        const QString logged =
            "[WebViewContainer] Direct download failed: the server answered with status 404.";
        QTRY_COMPARE_WITH_TIMEOUT(log.linesStartingWith("[WebViewContainer]"),
                                  failed ? QStringList{logged} : QStringList(), Wait);
        settle();
        QCOMPARE(sync().isSyncStopped(), stopped);
        QCOMPARE(m_appState->lastDownloadedFile(), savedAs.isEmpty() ? std::nullopt : std::optional(saved));
        // Nothing but the file arrives (no error page, no temporary file) and nothing is replaced.
        QCOMPARE(readFile(inDownloads(older[0])) + readFile(inDownloads(older[1])), QByteArray("olderolder"));
        QCOMPARE(downloadedNames().size(), older.size() + (savedAs.isEmpty() ? 0 : 1));
        const auto requests = m_server.requests() + m_otherServer.requests();
        QCOMPARE(requests.size(), savedAs.isEmpty() && !failed ? 0 : 1); // nothing is tried
        if (savedAs.isEmpty())
            return;
        QCOMPARE(readFile(saved), requests.first().path);
        // The token goes only to the vault's own origin.
        const bool elsewhere = !m_otherServer.requests().isEmpty();
        QCOMPARE(requests.first().header("authorization"),
                 elsewhere ? QByteArray() : "Bearer " + TestServices::session().accessToken.toUtf8());
    }

    // --- Sign-in and sign-out (last: it ends the session) ---------------------------------------------

    // The hosted token has expired while the window stayed open: a download the dashboard asks
    // for renews it instead of saving nothing.
    void vaultDownloadRenewsAnExpiredToken() {
        SupabaseClient& client = m_services->services->client;
        const QString url = client.supabaseUrl(), key = client.supabaseAnonKey();
        client.configure(m_server.baseUrl(), QStringLiteral("anon-key"));
        const SupabaseSession session = restoredSession();
        m_sessions.signInAs(session.userId, session.email.value_or(QString()), session.accessToken,
                            *session.refreshToken);
        m_sessions.protect("GET", "/files/renewed", FakeServer::Reply::text(200, "renewed"));
        m_sessions.expireEveryToken();
        clearDownloads();

        post(QStringLiteral("{action: 'downloadFile', url: '/files/renewed'}"));
        QTRY_COMPARE_WITH_TIMEOUT(m_desktop->calls,
                                  (QStringList{"sound Glass", "reveal " + inDownloads("renewed")}), Wait);
        QCOMPARE(downloadedNames(), QStringList{"renewed"}); // the refusal left nothing behind
        QCOMPARE(readFile(inDownloads("renewed")), QByteArray("renewed"));
        QCOMPARE(m_sessions.refreshCount(), 1);
        QVERIFY(client.isAuthenticated() && client.currentSession()->accessToken != session.accessToken);
        client.configure(url, key);
    }

    void loginReachesTheNativeSideAndLogoutSignsOut() {
        QVERIFY(load(page("blank.html")));
        runJs(QStringLiteral(
            "localStorage.setItem('orlavant_token', 'page-token');"
            "localStorage.setItem('orlavant_household', '{\"id\":\"hh-9\",\"name\":\"Smiths\"}')"));
        const std::optional<SupabaseSession> own = m_services->services->client.currentSession();
        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        QVERIFY(load(page("dashboard.html")));
        postMarkerAndWait(accepted);
        QCOMPARE(QJsonDocument(accepted.first().at(1).toJsonObject()).toJson(QJsonDocument::Compact),
                 "{\"action\":\"loginSuccess\",\"household\":{\"id\":\"hh-9\"},\"token\":\"page-token\"}");
        // The page's login is taken as it is: the client's own session stays.
        QVERIFY(own);
        QCOMPARE(m_services->services->client.currentSession(), own);

        click("logout");
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), page("login.html"), Wait);
        QCOMPARE(m_appState->currentUrl(), std::optional<QUrl>(page("login.html")));
        QCOMPARE(sync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
        QVERIFY(sync().isSyncStopped() && !m_services->services->client.isAuthenticated());
        // The page forgot its own login too.
        QTRY_VERIFY_WITH_TIMEOUT(!m_appState->isLoading(), Wait);
        QCOMPARE(runJs(QStringLiteral("localStorage.getItem('orlavant_token')")), QVariant());
    }

    void removedHostLeavesHarmlessCallbacks() {
        m_container.reset();
        // The engine still holds the callbacks; they find the coordinator gone and do nothing.
        sync().onStatusChanged(std::nullopt, false, 0, QStringLiteral("late"), true);
        sync().onFileSynced(QStringLiteral("late.txt"), false);
        m_box->load(page("blank.html"));
        QCoreApplication::processEvents();
        QVERIFY(!m_box->webView());
    }
};

ORLAVANT_TEST_MAIN(TestWebViewContainer)
#include "tst_webviewcontainer.moc"
