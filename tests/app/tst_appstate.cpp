#include "app/AppState.h"
#include "support/FakeServer.h"
#include "support/TestServices.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

namespace {

QString describe(const ServerStatus& status) {
    switch (status.kind()) {
    case ServerStatus::Kind::online:
        return QStringLiteral("online(%1)").arg(status.text());
    case ServerStatus::Kind::offline:
        return QStringLiteral("offline(%1)").arg(status.text());
    case ServerStatus::Kind::checking:
        return QStringLiteral("checking");
    }
    return {};
}

// Web locations where nothing exists, so tests never depend on an installed copy.
AppState::WebLocations emptyLocations(const QString& root) {
    return {root + QStringLiteral("/not-installed"), QString(), root};
}

// The state under test, on the test's services, with a web directory search that finds nothing.
std::unique_ptr<AppState> makeState(TestServices& t, const QString& root) {
    return std::make_unique<AppState>(t.services->folderSync, t.services->client, t.services->http,
                                      emptyLocations(root));
}

} // namespace

class TestAppState : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void freshStateIsTheEmbeddedSetup();
    void switchingFromEmbeddedLandsOnTheLoginPage();
    void switchingBetweenServersKeepsThePage();
    void assigningTheSameSetupTwiceProbesTwice();
    void customSetupUsesTheInputUnchanged();
    void setCustomUrlNormalises_data();
    void setCustomUrlNormalises();
    void handleLogoutSignsOutAndShowsLogin();

    void healthFollowsTheServersAnswer_data();
    void healthFollowsTheServersAnswer();
    void healthOfARefusedOrInvalidAddress_data();
    void healthOfARefusedOrInvalidAddress();
    void healthTimesOutAfterThreeSeconds();
    void embeddedSetupSendsNoProbe();
    void probeOutlivingItsStateChangesNothing();

    void webDirectorySearchOrder_data();
    void webDirectorySearchOrder();
    void navigateToJoinsWithOneSlash_data();
    void navigateToJoinsWithOneSlash();
};

void TestAppState::freshStateIsTheEmbeddedSetup() {
    TestServices t;
    const QString root = makeTempDir(QStringLiteral("fresh"));
    const auto state = makeState(t, root);
    QCOMPARE(state->environment(), ServerEnvironment::embedded);
    QCOMPARE(state->baseUrl(), QStringLiteral("embedded://"));
    QCOMPARE(describe(state->serverStatus()), QStringLiteral("online(Embedded Vault)"));
    QCOMPARE(state->currentTitle(), QStringLiteral("Orlavant"));
    QCOMPARE(state->currentUrl(), QUrl::fromLocalFile(root + QStringLiteral("/resources/web/login.html")));
    QCOMPARE(state->customUrlInput(), QStringLiteral("http://127.0.0.1:8000"));
    QVERIFY(!state->errorMessage() && !state->lastDownloadedFile() && !state->isLoading());
    QCOMPARE(rawValue(ServerEnvironment::production), QStringLiteral("Orlavant Cloud (vault.orlavant.app)"));
    QCOMPARE(serverEnvironmentFromRawValue(QStringLiteral("Custom Address...")), ServerEnvironment::custom);
    QVERIFY(!serverEnvironmentFromRawValue(QStringLiteral("custom address...")));
}

void TestAppState::switchingFromEmbeddedLandsOnTheLoginPage() {
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("switch")));
    state->navigateTo(QStringLiteral("dashboard.html")); // a file URL: not kept by a switch
    state->setEnvironment(ServerEnvironment::local);
    QCOMPARE(state->baseUrl(), QStringLiteral("http://127.0.0.1:8000"));
    QCOMPARE(describe(state->serverStatus()), QStringLiteral("checking"));
    QCOMPARE(state->currentUrl(), QUrl(QStringLiteral("http://127.0.0.1:8000/web/login.html")));

    state->setEnvironment(ServerEnvironment::embedded);
    QCOMPARE(describe(state->serverStatus()), QStringLiteral("online(Embedded Vault)"));
    QVERIFY(state->currentUrl()->isLocalFile());
}

void TestAppState::switchingBetweenServersKeepsThePage() {
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("keep")));
    state->setEnvironment(ServerEnvironment::local);
    state->navigateTo(QStringLiteral("dashboard.html"));
    QCOMPARE(state->currentUrl(), QUrl(QStringLiteral("http://127.0.0.1:8000/web/dashboard.html")));
    state->setEnvironment(ServerEnvironment::production);
    QCOMPARE(state->baseUrl(), QStringLiteral("https://vault.orlavant.app"));
    QCOMPARE(state->currentUrl(), QUrl(QStringLiteral("https://vault.orlavant.app/web/dashboard.html")));
}

void TestAppState::assigningTheSameSetupTwiceProbesTwice() {
    FakeServer server;
    server.on("GET", "/health", FakeServer::Reply::json(200, "{}"));
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("twice")));
    state->setCustomUrl(server.baseUrl());
    state->setEnvironment(ServerEnvironment::custom);
    state->navigateTo(QStringLiteral("admin.html"));
    QSignalSpy urlChanges(state.get(), &AppState::currentUrlChanged);
    state->setEnvironment(ServerEnvironment::custom);
    QTRY_COMPARE(server.requests("GET", "/health").size(), 2);
    QCOMPARE(state->currentUrl(), server.url(QStringLiteral("/web/admin.html")));
    QCOMPARE(urlChanges.size(), 0); // rebuilt to the same page
}

void TestAppState::customSetupUsesTheInputUnchanged() {
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("custom")));
    state->setEnvironment(ServerEnvironment::custom);
    QCOMPARE(state->baseUrl(), QStringLiteral("http://127.0.0.1:8000"));
}

void TestAppState::setCustomUrlNormalises_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("blanks, no scheme, trailing slashes")
        << QStringLiteral("  127.0.0.1:9///\n") << QStringLiteral("http://127.0.0.1:9");
    QTest::newRow("https kept") << QStringLiteral("https://127.0.0.1:9/")
                                << QStringLiteral("https://127.0.0.1:9");
    QTest::newRow("scheme test is case-sensitive")
        << QStringLiteral("HTTPS://127.0.0.1") << QStringLiteral("http://HTTPS://127.0.0.1");
    QTest::newRow("only slashes") << QStringLiteral("///") << QStringLiteral("http://");
    QTest::newRow("empty") << QString() << QStringLiteral("http://");
}

void TestAppState::setCustomUrlNormalises() {
    QFETCH(QString, input);
    QFETCH(QString, expected);
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("normalise")));
    state->setEnvironment(ServerEnvironment::local);
    const QUrl pageBefore = state->currentUrlValue();
    state->setCustomUrl(input);
    QCOMPARE(state->customUrlInput(), expected);
    QCOMPARE(state->baseUrl(), expected);
    QCOMPARE(state->environment(), ServerEnvironment::local); // the setup itself is not switched
    QCOMPARE(state->currentUrlValue(), pageBefore);
    QVERIFY(state->serverStatus().kind() != ServerStatus::Kind::online);
}

void TestAppState::handleLogoutSignsOutAndShowsLogin() {
    TestServices t(TestServices::session());
    QVERIFY(t.services->client.isAuthenticated());
    const auto state = makeState(t, makeTempDir(QStringLiteral("logout")));
    state->navigateTo(QStringLiteral("dashboard.html"));
    int statusPushes = 0;
    t.services->folderSync.onStatusChanged = [&](const std::optional<QString>&, bool, int, const QString&,
                                                 bool paused) {
        QVERIFY(paused);
        ++statusPushes;
    };
    state->handleLogout();
    QVERIFY(!t.services->client.isAuthenticated());
    QVERIFY(t.services->folderSync.isSyncStopped());
    QCOMPARE(t.services->folderSync.syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
    QCOMPARE(state->currentUrl()->fileName(), QStringLiteral("login.html"));
    QTRY_VERIFY(statusPushes >= 1);
    QVERIFY(!t.services->settings.contains(QStringLiteral("orlavant_supabase_session")));
}

void TestAppState::healthFollowsTheServersAnswer_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");
    QTest::newRow("204") << 204 << QStringLiteral("online(Connected)");
    QTest::newRow("404") << 404 << QStringLiteral("offline(Server not reachable)");
    QTest::newRow("500") << 500 << QStringLiteral("offline(Server not reachable)");
    QTest::newRow("301 without location") << 301 << QStringLiteral("offline(Server not reachable)");
}

void TestAppState::healthFollowsTheServersAnswer() {
    QFETCH(int, status);
    QFETCH(QString, expected);
    FakeServer server;
    server.on("GET", "/health", FakeServer::Reply::text(status, "<html>whatever</html>"));
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("health")));
    state->setCustomUrl(server.baseUrl() + QStringLiteral("/"));
    state->setEnvironment(ServerEnvironment::custom);
    QCOMPARE(describe(state->serverStatus()), QStringLiteral("checking"));
    QTRY_COMPARE(describe(state->serverStatus()), expected);
    const auto probes = server.requests("GET", "/health");
    QCOMPARE(probes.size(), 1);
    QVERIFY(probes[0].body.isEmpty());
    QVERIFY(!probes[0].hasHeader("authorization"));

    state->checkHealth(); // the menu command probes again
    QTRY_COMPARE(server.requests("GET", "/health").size(), 2);
}

void TestAppState::healthOfARefusedOrInvalidAddress_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expected");
    QTest::newRow("refused") << FakeServer::refusedBaseUrl()
                             << QStringLiteral("offline(Could not connect to the server.)");
    QTest::newRow("space in the host")
        << QStringLiteral("127.0.0 .1:9") << QStringLiteral("offline(Invalid URL)");
}

void TestAppState::healthOfARefusedOrInvalidAddress() {
    QFETCH(QString, address);
    QFETCH(QString, expected);
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("refused")));
    state->setCustomUrl(address);
    state->setEnvironment(ServerEnvironment::custom);
    QTRY_COMPARE(describe(state->serverStatus()), expected);
}

void TestAppState::healthTimesOutAfterThreeSeconds() {
    FakeServer server;
    FakeServer::Reply hang;
    hang.hang = true;
    server.on("GET", "/health", hang);
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("hang")));
    state->setCustomUrl(server.baseUrl());
    state->setEnvironment(ServerEnvironment::custom);
    QTest::qWait(2000);
    QCOMPARE(describe(state->serverStatus()), QStringLiteral("checking"));
    QTRY_COMPARE_WITH_TIMEOUT(describe(state->serverStatus()),
                              QStringLiteral("offline(The request timed out.)"), 4000);
}

void TestAppState::embeddedSetupSendsNoProbe() {
    FakeServer server;
    TestServices t;
    const auto state = makeState(t, makeTempDir(QStringLiteral("embedded")));
    state->setCustomUrl(server.baseUrl()); // only the custom setup would use it
    state->checkHealth();
    state->setEnvironment(ServerEnvironment::embedded);
    QCOMPARE(describe(state->serverStatus()), QStringLiteral("online(Embedded Vault)"));
    QTest::qWait(200);
    QCOMPARE(server.requestCount(), 0);
}

void TestAppState::probeOutlivingItsStateChangesNothing() {
    FakeServer server;
    FakeServer::Reply slow = FakeServer::Reply::json(200, "{}");
    slow.delayMs = 300;
    server.on("GET", "/health", slow);
    TestServices t;
    {
        const auto state = makeState(t, makeTempDir(QStringLiteral("outlive")));
        state->setCustomUrl(server.baseUrl());
        state->setEnvironment(ServerEnvironment::custom);
        QTRY_COMPARE(server.requestCount(), 1);
    }
    // The reply arrives after the state is gone; its completion must find nothing to write to.
    QTest::qWait(600);
    QCOMPARE(server.requestCount(), 1); // and the timer went with the state
}

void TestAppState::webDirectorySearchOrder_data() {
    QTest::addColumn<QStringList>("existing"); // relative to the test root
    QTest::addColumn<QString>("expected");     // relative to the test root
    QTest::newRow("installed wins over everything")
        << QStringList{"installed/web", "prefix/share/orlavant/web", "cwd/resources/web"}
        << QStringLiteral("installed/web");
    QTest::newRow("beside the executable") << QStringList{"prefix/share/orlavant/web", "cwd/resources/web"}
                                           << QStringLiteral("prefix/share/orlavant/web");
    QTest::newRow("source checkout") << QStringList{"cwd/resources/web", "cwd/consolidated"}
                                     << QStringLiteral("cwd/resources/web");
    QTest::newRow("project folder in the checkout")
        << QStringList{"cwd/OrlavantMac/Resources/web", "cwd/consolidated"}
        << QStringLiteral("cwd/OrlavantMac/Resources/web");
    QTest::newRow("consolidated before its parent's")
        << QStringList{"cwd/consolidated", "consolidated"} << QStringLiteral("cwd/consolidated");
    QTest::newRow("parent's consolidated, path kept unresolved")
        << QStringList{"consolidated"} << QStringLiteral("cwd/../consolidated");
    QTest::newRow("a file counts as an entry")
        << QStringList{"file:cwd/Resources/web"} << QStringLiteral("cwd/Resources/web");
    QTest::newRow("nothing: the fallback that does not exist")
        << QStringList{} << QStringLiteral("cwd/resources/web");
}

void TestAppState::webDirectorySearchOrder() {
    QFETCH(QStringList, existing);
    QFETCH(QString, expected);
    const QString root = makeTempDir(QStringLiteral("webdir"));
    QDir().mkpath(root + QStringLiteral("/cwd"));
    QDir().mkpath(root + QStringLiteral("/prefix/bin"));
    for (QString entry : existing) {
        if (entry.startsWith(QLatin1String("file:"))) {
            entry = entry.mid(5);
            QDir().mkpath(QFileInfo(root + QLatin1Char('/') + entry).absolutePath());
            QFile file(root + QLatin1Char('/') + entry);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QDir().mkpath(root + QLatin1Char('/') + entry);
        }
    }
    AppState::WebLocations locations;
    locations.installedWebDirectory = root + QStringLiteral("/installed/web");
    locations.executablePath = QStringLiteral("../prefix/bin/orlavant"); // relative to the working directory
    locations.workingDirectory = root + QStringLiteral("/cwd");
    QCOMPARE(QDir::cleanPath(AppState::resolveWebDirectory(locations)),
             QDir::cleanPath(root + QLatin1Char('/') + expected));
    if (expected.contains(QLatin1String("..")))
        QVERIFY(AppState::resolveWebDirectory(locations).contains(QLatin1String("/cwd/../consolidated")));
}

void TestAppState::navigateToJoinsWithOneSlash_data() {
    QTest::addColumn<bool>("embedded");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("expected"); // embedded: a path below the web directory
    QTest::newRow("embedded") << true << QStringLiteral("register.html") << QStringLiteral("/register.html");
    QTest::newRow("embedded keeps a leading slash")
        << true << QStringLiteral("/dashboard.html") << QStringLiteral("//dashboard.html");
    QTest::newRow("remote drops one leading slash")
        << false << QStringLiteral("/dashboard.html")
        << QStringLiteral("http://127.0.0.1:8000/web/dashboard.html");
    QTest::newRow("remote drops only one") << false << QStringLiteral("//dashboard.html")
                                           << QStringLiteral("http://127.0.0.1:8000/web//dashboard.html");
    QTest::newRow("remote nested page") << false << QStringLiteral("admin/users.html")
                                        << QStringLiteral("http://127.0.0.1:8000/web/admin/users.html");
}

void TestAppState::navigateToJoinsWithOneSlash() {
    QFETCH(bool, embedded);
    QFETCH(QString, page);
    QFETCH(QString, expected);
    TestServices t;
    const QString root = makeTempDir(QStringLiteral("navigate"));
    const auto state = makeState(t, root);
    if (!embedded)
        state->setEnvironment(ServerEnvironment::local);
    state->navigateTo(page);
    if (embedded)
        QCOMPARE(state->currentUrl()->toLocalFile(), root + QStringLiteral("/resources/web") + expected);
    else
        QCOMPARE(state->currentUrl()->toString(), expected);
}

ORLAVANT_TEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
