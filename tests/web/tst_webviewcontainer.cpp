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
#include "web/OrlavantWebPage.h"
#include "web/WebViewBox.h"
#include "web/WebViewContainer.h"
#include "web/WebViewCoordinator.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {

constexpr int LoadWaitMs = 15000;

class RecordingDesktop final : public DesktopActions {
public:
    QStringList sounds;
    QStringList revealed;
    QList<QUrl> opened;
    void playSound(const QString& name) override { sounds << name; }
    void revealFile(const QString& path) override { revealed << path; }
    void openUrl(const QUrl& url) override { opened << url; }
};

// Calls that the probe page records, as JSON text for exact comparison.
const char* ProbePage = R"HTML(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Probe</title></head>
<body>
<input id="files" type="file" multiple style="position:absolute; left:10px; top:10px; width:300px; height:40px">
<script>
window.statusCalls = [];
window.syncedCalls = [];
window.updateMacSyncStatus = function () { window.statusCalls.push(Array.prototype.slice.call(arguments)); };
window.onMacFileSynced = function () { window.syncedCalls.push(Array.prototype.slice.call(arguments)); };
</script>
</body></html>
)HTML";

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

QString jsString(const QString& text) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
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
    QUrl probeUrl() const { return QUrl::fromLocalFile(m_webDir + QStringLiteral("/probe.html")); }

    QVariant runJs(const QString& script) {
        auto state = std::make_shared<std::pair<bool, QVariant>>(false, QVariant());
        view()->page()->runJavaScript(script, [state](const QVariant& value) {
            state->first = true;
            state->second = value;
        });
        if (!QTest::qWaitFor([&] { return state->first; }, LoadWaitMs))
            qWarning("script did not finish: %s", qPrintable(script));
        return state->second;
    }

    QString runJsJson(const QString& expression) {
        return runJs(QStringLiteral("JSON.stringify(") + expression + ")").toString();
    }

    void post(const QString& body) {
        runJs(QStringLiteral("window.webkit.messageHandlers.orlavantMac.postMessage(") + body + ")");
    }

    // Loads through the box and waits until the host has finished with the load (AppState
    // updated, status push and login script issued).
    bool load(const QUrl& url) {
        QSignalSpy finished(view(), &QWebEngineView::loadFinished);
        m_box->load(url);
        if (!finished.wait(LoadWaitMs))
            return false;
        return QTest::qWaitFor([&] { return !m_appState->isLoading() && view()->url() == url; }, LoadWaitMs);
    }

    void clearDownloads() {
        QDir dir(m_downloads);
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
            dir.remove(name);
        m_desktop->sounds.clear();
        m_desktop->revealed.clear();
        m_desktop->opened.clear();
    }

    QStringList downloadedNames() const {
        return QDir(m_downloads).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    // Posts a message the bridge accepts and waits for it: everything posted before has been
    // handled by then.
    void postMarkerAndWait(QSignalSpy& accepted) {
        const qsizetype before = accepted.size();
        post(QStringLiteral("{action: 'getSyncStatus', token: 'marker'}"));
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() > before, LoadWaitMs);
    }

private Q_SLOTS:
    void initTestCase() {
        // The real pages, plus a probe page that records what the host calls.
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
        FakeServer::Reply seven = FakeServer::Reply::text(200, "seven");
        seven.headers.push_back({"Content-Disposition", "attachment; filename=\"seven.txt\""});
        m_server->on("GET", "/api/files/7/download", seven);
        m_server->on("GET", "/archive/all", FakeServer::Reply::text(200, "zip"));
        for (const char* path : {"/web/page.html", "/web/Download.html", "/viewer/page.html"}) {
            FakeServer::Reply page =
                FakeServer::Reply::text(200, "<html><head><title>Remote</title></head><body>r</body></html>");
            page.contentType = "text/html";
            m_server->on("GET", path, page);
        }
        FakeServer::Reply hang;
        hang.hang = true;
        m_server->on("GET", "/web/hang.html", hang);
        m_server->on("GET", "/dl/notes.txt", FakeServer::Reply::text(200, "notes"));
        FakeServer::Reply named = FakeServer::Reply::text(200, "named");
        named.headers.push_back({"Content-Disposition", "attachment; filename=\"server.txt\""});
        m_server->on("GET", "/dl/named", named);
        FakeServer::Reply evil = FakeServer::Reply::text(200, "evil");
        evil.headers.push_back({"Content-Disposition", "attachment; filename=\"../../.bashrc\""});
        m_server->on("GET", "/dl/evil", evil);
        m_server->on("GET", "/dl/missing", FakeServer::Reply::json(404, "{\"error\":\"not found\"}"));
        FakeServer::Reply blob = FakeServer::Reply::text(200, QByteArray("\x00\x01\x02blob", 7));
        blob.contentType = "application/octet-stream";
        m_server->on("GET", "/files/blob.bin", blob);
        FakeServer::Reply hostile = blob;
        hostile.headers.push_back({"Content-Disposition", "attachment; filename=\"../../evil.sh\""});
        m_server->on("GET", "/files/hostile", hostile);
        m_otherServer->on("GET", "/files/x.txt", FakeServer::Reply::text(200, "other"));

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
        QSignalSpy firstLoad(m_box.get(), &WebViewBox::webViewChanged);
        m_container = std::make_unique<WebViewContainer>(WebViewContainer::Services{
            *m_appState, *m_box, sync(), m_core->client, m_core->http, m_dialogs, m_desktop});
        m_container->resize(900, 700);
        m_container->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_container.get()));
        QCOMPARE(firstLoad.size(), 1);
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

    void placedHostLoadsTheLoginPageFromDisk() {
        const QUrl login = QUrl::fromLocalFile(m_webDir + QStringLiteral("/login.html"));
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), login, LoadWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!m_appState->isLoading(), LoadWaitMs);
        QCOMPARE(m_appState->currentUrl(), std::optional<QUrl>(login));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QString::fromUtf8("Orlavant – Sign in"),
                                  LoadWaitMs);
        QCOMPARE(m_appState->progress(), 1.0);
        QCOMPARE(m_appState->errorMessage(), std::nullopt);
        // The page's shared script and style came from the web directory.
        QCOMPARE(runJs(QStringLiteral("typeof window.Orlavant")).toString(), QStringLiteral("object"));
        QCOMPARE(runJs(QStringLiteral("getComputedStyle(document.body).backgroundColor")).toString(),
                 QStringLiteral("rgb(251, 247, 240)"));
        QCOMPARE(runJs(QStringLiteral("navigator.userAgent")).toString(), WebViewContainer::UserAgent);
        QCOMPARE(WebViewContainer::UserAgent.size(), 107);
        QCOMPARE(m_container->profile()->isOffTheRecord(), false);
        QVERIFY(m_container->profile()->persistentStoragePath().startsWith(QDir::homePath()));
    }

    void remoteRequestsCarryTheUserAgent() {
        m_server->clearRequests();
        QVERIFY(load(m_server->url(QStringLiteral("/web/page.html"))));
        const auto requests = m_server->requests("GET", "/web/page.html");
        QVERIFY(!requests.isEmpty());
        QCOMPARE(QString::fromUtf8(requests.first().header("user-agent")), WebViewContainer::UserAgent);
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QStringLiteral("Remote"), LoadWaitMs);
    }

    void fileAccessIsConfinedToTheWebDirectory() {
        QVERIFY(load(probeUrl()));
        // Script elements load asynchronously; the outcome lands in window.loadResult.
        const auto tryLoad = [this](const QString& src) {
            runJs(
                QStringLiteral("window.loadResult = ''; var s = document.createElement('script'); s.src = %1;"
                               " s.onload = function () { window.loadResult = 'loaded'; };"
                               " s.onerror = function () { window.loadResult = 'refused'; };"
                               " document.head.appendChild(s);")
                    .arg(jsString(src)));
            QString result;
            (void)QTest::qWaitFor(
                [&] {
                    result = runJs(QStringLiteral("window.loadResult")).toString();
                    return !result.isEmpty();
                },
                LoadWaitMs);
            return result;
        };
        QCOMPARE(tryLoad(QStringLiteral("sibling.js")), QStringLiteral("loaded"));
        QCOMPARE(runJs(QStringLiteral("window.siblingLoaded === true")).toBool(), true);
        const QString secret = QUrl::fromLocalFile(m_outsideDir + QStringLiteral("/secret.js")).toString();
        QCOMPARE(tryLoad(secret), QStringLiteral("refused"));
        QCOMPARE(runJs(QStringLiteral("window.secretLoaded === true")).toBool(), false);
        // Climbing out with ".." is the same file.
        const QString climbing =
            QStringLiteral("../") + QFileInfo(m_outsideDir).fileName() + QStringLiteral("/secret.js");
        QCOMPARE(tryLoad(climbing), QStringLiteral("refused"));
    }

    void historyTitleAndAddressFollowTheView() {
        QVERIFY(load(probeUrl()));
        const QUrl dashboard = QUrl::fromLocalFile(m_webDir + QStringLiteral("/dashboard.html"));
        QVERIFY(load(dashboard));
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QString::fromUtf8("Orlavant – Dashboard"),
                                  LoadWaitMs);
        QCOMPARE(m_appState->currentUrl(), std::optional<QUrl>(dashboard));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->canGoBack(), LoadWaitMs);
        QVERIFY(!m_appState->canGoForward());
        m_box->goBack();
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentUrl(), std::optional<QUrl>(probeUrl()), LoadWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->canGoForward(), LoadWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->currentTitle(), QStringLiteral("Probe"), LoadWaitMs);

        // A page without a title leaves the last one standing.
        QVERIFY(load(QUrl::fromLocalFile(m_webDir + QStringLiteral("/untitled.html"))));
        QTest::qWait(100);
        runJs(
            QStringLiteral("1")); // answers come back in order: the host's title question is answered by now
        QCOMPARE(m_appState->currentTitle(), QStringLiteral("Probe"));
    }

    void failedLoadSetsTheErrorAndCancelledLoadDoesNot() {
        QVERIFY(load(probeUrl()));
        m_box->load(QUrl(FakeServer::refusedBaseUrl() + QStringLiteral("/web/login.html")));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_appState->errorMessage(),
            std::optional<QString>(VaultError::url(VaultError::CannotConnectToHost).description()),
            LoadWaitMs);
        QVERIFY(!m_appState->isLoading());

        // A load that is stopped while it waits for the server is cancelled, not failed.
        m_box->load(m_server->url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->isLoading(), LoadWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!m_server->requests("GET", "/web/hang.html").isEmpty(), LoadWaitMs);
        m_appState->setErrorMessage(QStringLiteral("earlier error"));
        QSignalSpy loading(view()->page(), &QWebEnginePage::loadingChanged);
        view()->stop();
        QVERIFY(loading.wait(LoadWaitMs));
        QTest::qWait(200); // let the host's queued work run, if it wrongly queued any
        QCOMPARE(m_appState->errorMessage(), std::optional<QString>(QStringLiteral("earlier error")));

        // Navigating away from a load that is still waiting cancels it: no error ever shows.
        QVERIFY(load(probeUrl()));
        m_box->load(m_server->url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->isLoading(), LoadWaitMs);
        auto errorsShown = std::make_shared<QStringList>();
        const auto connection =
            connect(m_appState.get(), &AppState::errorMessageChanged, this, [this, errorsShown] {
                if (const auto message = m_appState->errorMessage())
                    *errorsShown << *message;
            });
        const auto disconnectLater = qScopeGuard([connection] { disconnect(connection); });
        const QUrl page = m_server->url(QStringLiteral("/web/page.html"));
        m_box->load(page);
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), page, LoadWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!m_appState->isLoading(), LoadWaitMs);
        QTest::qWait(200);
        QCOMPARE(*errorsShown, QStringList());
        QCOMPARE(m_appState->errorMessage(), std::nullopt);
    }

    void remoteLoadTimesOutAfterFifteenSeconds() {
        QVERIFY(load(probeUrl()));
        m_box->load(m_server->url(QStringLiteral("/web/hang.html")));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->isLoading(), LoadWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->errorMessage(),
                                  std::optional<QString>(VaultError::url(VaultError::TimedOut).description()),
                                  25000);
        QVERIFY(!m_appState->isLoading());
    }

    // --- Native to page ---------------------------------------------------------------------------

    void getSyncStatusWithoutFolderPushesEmptyPath() {
        QVERIFY(!sync().watchedFolderPath());
        QVERIFY(load(probeUrl()));
        // Every finished load pushes the status once by itself.
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("window.statusCalls.length")).toInt(), 1, LoadWaitMs);
        runJs(QStringLiteral("window.statusCalls = []"));
        post(QStringLiteral("{action: 'getSyncStatus', token: 't', householdId: 'h'}"));
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("window.statusCalls.length")).toInt(), 1, LoadWaitMs);
        const QJsonArray expected{QString(), false, sync().totalSyncedCount(), sync().syncStatusMessage(),
                                  sync().isSyncStopped()};
        QCOMPARE(runJsJson(QStringLiteral("window.statusCalls[0]")),
                 QString::fromUtf8(QJsonDocument(expected).toJson(QJsonDocument::Compact)));
    }

    void textsArriveInThePageIntact_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("ordinary") << "Sync Active";
        QTest::newRow("apostrophe") << "it's.txt";
        QTest::newRow("breakout") << "');window.pwned=1;('";
        QTest::newRow("backslash then quote") << "C:\\\\'; window.pwned=1; //";
        QTest::newRow("double quotes") << "\"quoted\"";
        QTest::newRow("line breaks") << "one\ntwo\rthree";
        QTest::newRow("line separators") << QString::fromUtf16(u"a\u2028b\u2029c");
        QTest::newRow("script end tag") << "</script><script>window.pwned=1</script>";
        QTest::newRow("unicode") << QString::fromUtf16(u"\u00e9t\u00e9 \U0001F4F7.jpg");
    }
    void textsArriveInThePageIntact() {
        QFETCH(QString, text);
        if (view()->url() != probeUrl())
            QVERIFY(load(probeUrl()));
        runJs(QStringLiteral("window.statusCalls = []; window.syncedCalls = []; window.pwned = 0;"));

        coordinator().sendSyncStatusToWeb(QStringLiteral("/home/") + text, true, 7, text, false);
        sync().onFileSynced(text, true);
        QTRY_COMPARE_WITH_TIMEOUT(runJs(QStringLiteral("window.syncedCalls.length")).toInt(), 1, LoadWaitMs);
        QCOMPARE(runJs(QStringLiteral("window.statusCalls.length")).toInt(), 1);

        const auto json = [](const QJsonArray& array) {
            return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
        };
        QCOMPARE(runJsJson(QStringLiteral("window.statusCalls[0]")),
                 json({QStringLiteral("/home/") + text, true, 7, text, false}));
        QCOMPARE(runJsJson(QStringLiteral("window.syncedCalls[0]")), json({text, true}));
        QCOMPARE(runJs(QStringLiteral("window.pwned")).toInt(), 0);
    }

    // --- Page to native -----------------------------------------------------------------------------

    void loginTokenScriptReachesTheNativeSide_data() {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("household");
        QTest::addColumn<QJsonValue>("householdId");
        QTest::newRow("token and household") << "tok-a"
                                             << "{\"id\":\"hh-9\",\"name\":\"Smiths\"}" << QJsonValue("hh-9");
        QTest::newRow("household not JSON") << "tok-b"
                                            << "{oops" << QJsonValue(QJsonValue::Null);
        QTest::newRow("no household") << "tok-c" << QString() << QJsonValue(QJsonValue::Null);
        QTest::newRow("no token") << QString() << "{\"id\":\"hh-9\"}" << QJsonValue();
    }
    void loginTokenScriptReachesTheNativeSide() {
        QFETCH(QString, token);
        QFETCH(QString, household);
        QFETCH(QJsonValue, householdId);
        QVERIFY(load(probeUrl()));
        runJs(QStringLiteral("localStorage.clear();"));
        if (!token.isNull())
            runJs(QStringLiteral("localStorage.setItem('orlavant_token', %1)").arg(jsString(token)));
        if (!household.isNull())
            runJs(QStringLiteral("localStorage.setItem('orlavant_household', %1)").arg(jsString(household)));

        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        QVERIFY(load(QUrl::fromLocalFile(m_webDir + QStringLiteral("/dashboard.html"))));
        postMarkerAndWait(accepted);
        const QString firstAction = accepted.first().at(0).toString();
        if (token.isNull()) {
            QCOMPARE(firstAction, QStringLiteral("getSyncStatus"));
        } else {
            QCOMPARE(firstAction, QStringLiteral("loginSuccess"));
            const QJsonObject body = accepted.first().at(1).toJsonObject();
            QCOMPARE(body.value(QLatin1String("token")).toString(), token);
            QCOMPARE(body.value(QLatin1String("household")).toObject().value(QLatin1String("id")),
                     householdId);
        }
        // Nothing on the native side changed: the client's own session stays.
        QCOMPARE(m_core->client.currentSession()->accessToken, QStringLiteral("tok-123"));
        runJs(QStringLiteral("localStorage.clear();"));
    }

    void malformedMessagesAreIgnored_data() {
        QTest::addColumn<QString>("body");
        QTest::newRow("text body") << "'toggleSync'";
        QTest::newRow("array body") << "[{action: 'toggleSync'}]";
        QTest::newRow("null body") << "null";
        QTest::newRow("number action") << "{action: 1}";
        QTest::newRow("missing action") << "{url: '/api/files/7/download'}";
        QTest::newRow("object action") << "{action: {name: 'toggleSync'}}";
        QTest::newRow("other case") << "{action: 'ToggleSync'}";
        QTest::newRow("unknown action") << "{action: 'formatDisk'}";
        QTest::newRow("download without url") << "{action: 'downloadFile', filename: 'x.txt'}";
        QTest::newRow("download with number url") << "{action: 'downloadAllFiles', url: 7}";
        QTest::newRow("login without token") << "{action: 'loginSuccess', household: {id: 'h'}}";
    }
    void malformedMessagesAreIgnored() {
        QFETCH(QString, body);
        if (view()->url() != probeUrl())
            QVERIFY(load(probeUrl()));
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
    }

    void messagesForAnotherHandlerAreIgnored() {
        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        coordinator().handleScriptMessage(QStringLiteral("orlavant"),
                                          QJsonObject{{"action", "getSyncStatus"}});
        coordinator().handleScriptMessage(QStringLiteral("orlavantMac"),
                                          QJsonObject{{"action", "getSyncStatus"}});
        QCOMPARE(accepted.size(), 1);
    }

    void chooseFolderAsksForAFolder() {
        QVERIFY(load(probeUrl()));
        m_dialogs.clear();
        m_dialogs.setNextOpen(QStringList{m_folder});
        runJs(QStringLiteral("window.statusCalls = []"));
        post(QStringLiteral("{action: 'chooseFolder'}"));
        QTRY_COMPARE_WITH_TIMEOUT(sync().watchedFolderPath(), std::optional<QString>(m_folder), LoadWaitMs);
        QCOMPARE(m_dialogs.asked().size(), 1);
        QVERIFY(m_dialogs.asked().first().open.chooseDirectories);
        // The engine's own status report reaches the page.
        QTRY_VERIFY_WITH_TIMEOUT(runJs(QStringLiteral("window.statusCalls.length")).toInt() > 0, LoadWaitMs);
        const QJsonArray last =
            QJsonDocument::fromJson(
                runJsJson(QStringLiteral("window.statusCalls[window.statusCalls.length - 1]")).toUtf8())
                .array();
        QCOMPARE(last.at(0).toString(), m_folder);
        QCOMPARE(last.at(1).toBool(), true);
        QCOMPARE(last.at(3).toString(), sync().syncStatusMessage());
    }

    void syncActionsDriveTheEngine_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("stoppedBefore");
        QTest::addColumn<bool>("stoppedAfter");
        QTest::newRow("toggle starts a stopped engine") << "toggleSync" << true << false;
        QTest::newRow("toggle stops a running engine") << "toggleSync" << false << true;
        QTest::newRow("start") << "startSync" << true << false;
        QTest::newRow("start when running") << "startSync" << false << false;
        QTest::newRow("stop") << "stopSync" << false << true;
        QTest::newRow("stop when stopped") << "stopSync" << true << true;
    }
    void syncActionsDriveTheEngine() {
        QFETCH(QString, action);
        QFETCH(bool, stoppedBefore);
        QFETCH(bool, stoppedAfter);
        QVERIFY(sync().watchedFolderPath());
        if (view()->url() != probeUrl())
            QVERIFY(load(probeUrl()));
        if (stoppedBefore)
            sync().stopSync();
        else
            sync().startSync();
        QCOMPARE(sync().isSyncStopped(), stoppedBefore);
        QSignalSpy accepted(&coordinator(), &WebViewCoordinator::scriptMessageAccepted);
        post(QStringLiteral("{action: '%1'}").arg(action));
        QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, LoadWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(sync().isSyncStopped(), stoppedAfter, LoadWaitMs);
        sync().stopSync();
    }

    void triggerSyncRunsAPass() {
        sync().startSync();
        QSignalSpy passes(&sync(), &FolderSyncManager::passFinished);
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncing() && passes.size() >= 1, LoadWaitMs);
        passes.clear();
        post(QStringLiteral("{action: 'triggerSync'}"));
        QVERIFY(passes.wait(LoadWaitMs));
        sync().stopSync();
    }

    void dashboardShowsAndDrivesTheEngine() {
        QVERIFY(load(QUrl::fromLocalFile(m_webDir + QStringLiteral("/dashboard.html"))));
        const auto text = [this](const char* id) {
            return runJs(QStringLiteral("document.getElementById('%1').textContent").arg(QLatin1String(id)))
                .toString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-message"), sync().syncStatusMessage(), LoadWaitMs);
        QCOMPARE(text("sync-path"), m_folder);
        QCOMPARE(text("sync-badge"), QStringLiteral("Paused"));

        runJs(QStringLiteral("document.getElementById('toggle-sync').click()"));
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncStopped(), LoadWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(text("toggle-sync"), QStringLiteral("Pause Sync"), LoadWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(text("sync-badge"), QStringLiteral("Watching"), LoadWaitMs);
        runJs(QStringLiteral("document.getElementById('toggle-sync').click()"));
        QTRY_VERIFY_WITH_TIMEOUT(sync().isSyncStopped(), LoadWaitMs);

        sync().onFileSynced(QStringLiteral("it's <b>bold</b>.txt"), true);
        QTRY_COMPARE_WITH_TIMEOUT(
            runJs(QStringLiteral("document.querySelector('#activity li').textContent")).toString(),
            QStringLiteral("Already in the vault: it's <b>bold</b>.txt"), LoadWaitMs);
        QCOMPARE(runJs(QStringLiteral("document.querySelectorAll('#activity b').length")).toInt(), 0);
        QCOMPARE(text("sync-duplicates"), QStringLiteral("1"));
    }

    // --- Navigation policy, new windows, dialogs ------------------------------------------------------

    void navigationPolicy_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("intercepted");
        QTest::addColumn<QString>("savedAs");
        QTest::newRow("download path") << "/api/files/7/download" << true << "seven.txt";
        QTest::newRow("archive path") << "/archive/all" << true << "all";
        QTest::newRow("ordinary page") << "/web/page.html" << false << "";
        QTest::newRow("capital letter is not a match") << "/web/Download.html" << false << "";
    }
    void navigationPolicy() {
        QFETCH(QString, path);
        QFETCH(bool, intercepted);
        QFETCH(QString, savedAs);
        QVERIFY(load(probeUrl()));
        clearDownloads();
        m_server->clearRequests();
        const QUrl target = m_server->url(path);
        runJs(QStringLiteral("var a = document.createElement('a'); a.href = %1; a.id = 'go';"
                             " document.body.appendChild(a); a.click();")
                  .arg(jsString(target.toString())));
        if (intercepted) {
            QTRY_COMPARE_WITH_TIMEOUT(m_appState->lastDownloadedFile(),
                                      std::optional<QString>(m_downloads + QLatin1Char('/') + savedAs),
                                      LoadWaitMs);
            QCOMPARE(view()->url(), probeUrl());
            QCOMPARE(m_desktop->sounds, QStringList{QStringLiteral("Glass")});
            QCOMPARE(m_desktop->revealed, QStringList{m_downloads + QLatin1Char('/') + savedAs});
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(view()->url(), target, LoadWaitMs);
            QVERIFY(downloadedNames().isEmpty());
        }
    }

    void newWindowRequests_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("view opens the browser") << "/viewer/page.html"
                                                << "browser";
        QTest::newRow("download is fetched") << "/api/files/7/download"
                                             << "download";
        QTest::newRow("other pages stay in this view") << "/web/page.html"
                                                       << "navigate";
    }
    void newWindowRequests() {
        QFETCH(QString, path);
        QFETCH(QString, outcome);
        QVERIFY(load(probeUrl()));
        clearDownloads();
        const QUrl target = m_server->url(path);
        runJs(QStringLiteral("window.open(%1); true").arg(jsString(target.toString())));
        if (outcome == QLatin1String("browser")) {
            QTRY_COMPARE_WITH_TIMEOUT(m_desktop->opened, QList<QUrl>{target}, LoadWaitMs);
            QTest::qWait(100);
            QCOMPARE(view()->url(), probeUrl());
        } else if (outcome == QLatin1String("download")) {
            QTRY_COMPARE_WITH_TIMEOUT(downloadedNames(), QStringList{QStringLiteral("seven.txt")},
                                      LoadWaitMs);
            QCOMPARE(view()->url(), probeUrl());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(view()->url(), target, LoadWaitMs);
            QVERIFY(m_desktop->opened.isEmpty());
        }
    }

    void scriptDialogs_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<std::optional<bool>>("answer");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<int>("kind");
        QTest::newRow("confirm OK") << "confirm('Delete it?')" << std::optional<bool>(true) << QVariant(true)
                                    << int(TestDialogs::Asked::Confirm);
        QTest::newRow("confirm Cancel") << "confirm('Delete it?')" << std::optional<bool>(false)
                                        << QVariant(false) << int(TestDialogs::Asked::Confirm);
        QTest::newRow("confirm closed otherwise") << "confirm('Delete it?')" << std::optional<bool>()
                                                  << QVariant(false) << int(TestDialogs::Asked::Confirm);
        QTest::newRow("alert") << "alert('Delete it?') === undefined" << std::optional<bool>()
                               << QVariant(true) << int(TestDialogs::Asked::Alert);
    }
    void scriptDialogs() {
        QFETCH(QString, script);
        QFETCH(std::optional<bool>, answer);
        QFETCH(QVariant, result);
        QFETCH(int, kind);
        if (view()->url() != probeUrl())
            QVERIFY(load(probeUrl()));
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
        QTest::addColumn<int>("chosen");
        QTest::newRow("two files") << std::optional<QStringList>(QStringList{"a.txt", "b.txt"}) << 2;
        QTest::newRow("cancelled") << std::optional<QStringList>() << 0;
    }
    void fileChooserAsksWithItsTexts() {
        QFETCH(std::optional<QStringList>, answer);
        QFETCH(int, chosen);
        QVERIFY(load(probeUrl()));
        const QString dir = makeTempDir(QStringLiteral("uploads"));
        std::optional<QStringList> paths;
        if (answer) {
            paths = QStringList();
            for (const QString& name : *answer) {
                writeFile(dir + QLatin1Char('/') + name, "content");
                paths->append(dir + QLatin1Char('/') + name);
            }
        }
        m_dialogs.clear();
        m_dialogs.setNextOpen(paths);
        // A file input opens only for a real click.
        QWidget* input = view()->focusProxy();
        QVERIFY(input);
        QTest::mouseClick(input, Qt::LeftButton, {}, QPoint(60, 30));
        QTRY_COMPARE_WITH_TIMEOUT(m_dialogs.asked().size(), 1, LoadWaitMs);
        const Dialogs::OpenOptions options = m_dialogs.asked().first().open;
        QCOMPARE(options.message, QStringLiteral("Choose files to upload to Orlavant"));
        QCOMPARE(options.prompt, QStringLiteral("Upload"));
        QVERIFY(options.chooseFiles);
        QVERIFY(!options.chooseDirectories);
        QVERIFY(options.allowsMultiple);
        QTRY_COMPARE_WITH_TIMEOUT(
            runJs(QStringLiteral("document.getElementById('files').files.length")).toInt(), chosen,
            LoadWaitMs);
    }

    // --- Downloads ------------------------------------------------------------------------------------

    void directDownloads_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<std::optional<QString>>("filename");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("savedAs");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("page's name") << "/dl/notes.txt" << std::optional<QString>("report.pdf")
                                     << QStringList{} << "report.pdf" << QByteArray("notes");
        QTest::newRow("numbered after two")
            << "/dl/notes.txt" << std::optional<QString>("report.pdf")
            << QStringList{"report.pdf", "report (1).pdf"} << "report (2).pdf" << QByteArray("notes");
        QTest::newRow("empty name") << "/dl/notes.txt" << std::optional<QString>("") << QStringList{}
                                    << "orlavant_download" << QByteArray("notes");
        QTest::newRow("empty name again")
            << "/dl/notes.txt" << std::optional<QString>("") << QStringList{"orlavant_download"}
            << "orlavant_download (1)" << QByteArray("notes");
        QTest::newRow("server's name")
            << "dl/named" << std::optional<QString>() << QStringList{} << "server.txt" << QByteArray("named");
        QTest::newRow("address's name") << "/dl/notes.txt" << std::optional<QString>() << QStringList{}
                                        << "notes.txt" << QByteArray("notes");
        QTest::newRow("page traversal") << "/dl/notes.txt" << std::optional<QString>("../../../escaped.txt")
                                        << QStringList{} << "escaped.txt" << QByteArray("notes");
        QTest::newRow("server traversal")
            << "/dl/evil" << std::optional<QString>() << QStringList{} << "bashrc" << QByteArray("evil");
    }
    void directDownloads() {
        QFETCH(QString, url);
        QFETCH(std::optional<QString>, filename);
        QFETCH(QStringList, existing);
        QFETCH(QString, savedAs);
        QFETCH(QByteArray, content);
        clearDownloads();
        for (const QString& name : existing)
            writeFile(m_downloads + QLatin1Char('/') + name, "older");
        m_appState->setLastDownloadedFile(std::nullopt);
        coordinator().downloadUrlDirectly(url, filename);
        const QString expected = m_downloads + QLatin1Char('/') + savedAs;
        QTRY_COMPARE_WITH_TIMEOUT(m_appState->lastDownloadedFile(), std::optional<QString>(expected),
                                  LoadWaitMs);
        QCOMPARE(readFile(expected), content);
        for (const QString& name : existing)
            QCOMPARE(readFile(m_downloads + QLatin1Char('/') + name), QByteArray("older"));
        QCOMPARE(downloadedNames().size(), existing.size() + 1); // no temporary file left behind
        QCOMPARE(m_desktop->sounds, QStringList{QStringLiteral("Glass")});
        QCOMPARE(m_desktop->revealed, QStringList{expected});
    }

    void downloadMessageUsesTheBaseAddress_data() {
        QTest::addColumn<QString>("url");
        QTest::newRow("leading slash") << "/api/files/7/download";
        QTest::newRow("no leading slash") << "api/files/7/download";
    }
    void downloadMessageUsesTheBaseAddress() {
        QFETCH(QString, url);
        if (view()->url() != probeUrl())
            QVERIFY(load(probeUrl()));
        clearDownloads();
        m_server->clearRequests();
        post(QStringLiteral("{action: 'downloadFile', url: %1, filename: 'Seven Days.txt'}")
                 .arg(jsString(url)));
        QTRY_COMPARE_WITH_TIMEOUT(downloadedNames(), QStringList{QStringLiteral("Seven Days.txt")},
                                  LoadWaitMs);
        QCOMPARE(m_server->requests("GET", "/api/files/7/download").size(), 1);
    }

    void tokenGoesOnlyToTheVaultOrigin_data() {
        QTest::addColumn<bool>("otherServer");
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<bool>("withToken");
        QTest::newRow("relative address") << false << false << true;
        QTest::newRow("absolute address on the vault") << false << true << true;
        QTest::newRow("absolute address elsewhere") << true << true << false;
    }
    void tokenGoesOnlyToTheVaultOrigin() {
        QFETCH(bool, otherServer);
        QFETCH(bool, absolute);
        QFETCH(bool, withToken);
        FakeServer& server = otherServer ? *m_otherServer : *m_server;
        if (otherServer)
            server.on("GET", "/dl/notes.txt", FakeServer::Reply::text(200, "notes"));
        server.clearRequests();
        clearDownloads();
        m_appState->setLastDownloadedFile(std::nullopt);
        const QString path = QStringLiteral("/dl/notes.txt");
        coordinator().downloadUrlDirectly(absolute ? server.url(path).toString() : path,
                                          QStringLiteral("n.txt"));
        QTRY_VERIFY_WITH_TIMEOUT(m_appState->lastDownloadedFile(), LoadWaitMs);
        const auto requests = server.requests("GET", path.toUtf8());
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().hasHeader("authorization"), withToken);
        if (withToken)
            QCOMPARE(requests.first().header("authorization"), QByteArray("Bearer tok-123"));
    }

    void failedDownloadsAreLogged_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("line");
        QTest::newRow("error status")
            << "/dl/missing"
            << "[WebViewContainer] Direct download failed: the server answered with status 404.";
        QTest::newRow("refused") << FakeServer::refusedBaseUrl() + "/x"
                                 << "[WebViewContainer] Direct download failed: " +
                                        VaultError::url(VaultError::CannotConnectToHost).description();
    }
    void failedDownloadsAreLogged() {
        QFETCH(QString, url);
        QFETCH(QString, line);
        clearDownloads();
        LogCapture log;
        coordinator().downloadUrlDirectly(url, QStringLiteral("x.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(log.linesStartingWith(QStringLiteral("[WebViewContainer]")),
                                  QStringList{line}, LoadWaitMs);
        QVERIFY(downloadedNames().isEmpty());
        QVERIFY(m_desktop->sounds.isEmpty());
    }

    void invalidAddressesDoNothing() {
        clearDownloads();
        LogCapture log;
        const QString base = sync().apiBaseUrl;
        sync().apiBaseUrl = QString();
        m_server->clearRequests();
        coordinator().downloadUrlDirectly(QStringLiteral("/api/files/7/download"), std::nullopt);
        sync().apiBaseUrl = base;
        QTest::qWait(200);
        QCOMPARE(m_server->requestCount(), 0);
        QVERIFY(log.lines().isEmpty());
    }

    void viewDownloadsGoToDownloads_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("savedAs");
        QTest::newRow("twice the same name") << "/files/blob.bin" << QStringList{"blob.bin", "blob (1).bin"};
        QTest::newRow("hostile server name") << "/files/hostile" << QStringList{"evil.sh", "evil (1).sh"};
    }
    void viewDownloadsGoToDownloads() {
        QFETCH(QString, path);
        QFETCH(QStringList, savedAs);
        QVERIFY(load(probeUrl()));
        clearDownloads();
        m_appState->setLastDownloadedFile(std::nullopt);
        for (qsizetype i = 0; i < savedAs.size(); ++i) {
            runJs(QStringLiteral("location.href = %1").arg(jsString(m_server->url(path).toString())));
            QTRY_COMPARE_WITH_TIMEOUT(m_desktop->sounds.size(), int(i + 1), LoadWaitMs);
        }
        QCOMPARE(downloadedNames(), [&] {
            QStringList sorted = savedAs;
            sorted.sort();
            return sorted;
        }());
        QCOMPARE(readFile(m_downloads + QLatin1Char('/') + savedAs.first()),
                 QByteArray("\x00\x01\x02blob", 7));
        QCOMPARE(m_appState->lastDownloadedFile(), std::nullopt);
        QVERIFY(m_desktop->revealed.isEmpty());
        QCOMPARE(view()->url(), probeUrl());
    }

    // --- Sign-out (last: it ends the session) ---------------------------------------------------------

    void logoutSignsOutAndShowsTheLoginPage() {
        QVERIFY(load(QUrl::fromLocalFile(m_webDir + QStringLiteral("/dashboard.html"))));
        sync().startSync();
        QTRY_VERIFY_WITH_TIMEOUT(!sync().isSyncing(), LoadWaitMs);
        runJs(QStringLiteral("localStorage.setItem('orlavant_token', 'page-token')"));
        runJs(QStringLiteral("document.getElementById('logout').click()"));
        const QUrl login = QUrl::fromLocalFile(m_webDir + QStringLiteral("/login.html"));
        QTRY_COMPARE_WITH_TIMEOUT(view()->url(), login, LoadWaitMs);
        QCOMPARE(m_appState->currentUrl(), std::optional<QUrl>(login));
        QVERIFY(sync().isSyncStopped());
        QCOMPARE(sync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
        QVERIFY(!m_core->client.isAuthenticated());
        // The page forgot its own login too.
        QTRY_VERIFY_WITH_TIMEOUT(!m_appState->isLoading(), LoadWaitMs);
        QCOMPARE(runJs(QStringLiteral("localStorage.getItem('orlavant_token')")), QVariant());
    }

    void removedHostLeavesHarmlessCallbacks() {
        m_container.reset();
        QCOMPARE(m_box->webView(), nullptr);
        // The engine still holds the callbacks; they find the coordinator gone and do nothing.
        QVERIFY(sync().onStatusChanged);
        QVERIFY(sync().onFileSynced);
        sync().onStatusChanged(std::nullopt, false, 0, QStringLiteral("late"), true);
        sync().onFileSynced(QStringLiteral("late.txt"), false);
        m_box->load(probeUrl());
        m_box->goBack();
        QTest::qWait(50);
    }
};

ORLAVANT_TEST_MAIN(TestWebViewContainer)
#include "tst_webviewcontainer.moc"
