#include "app/AppState.h"
#include "support/FakeServer.h"
#include "support/RequestGate.h"
#include "support/TestServices.h"

#include <QDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int Wait = 20000;

QString describe(const ServerStatus& status) {
    if (status.kind() == ServerStatus::Kind::checking)
        return u"checking"_s;
    return (status.kind() == ServerStatus::Kind::online ? u"online(%1)"_s : u"offline(%1)"_s)
        .arg(status.text());
}

} // namespace

// Every case gets fresh services and a state whose web directory search finds nothing, so no
// test depends on an installed copy of the pages.
class TestAppState : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void freshStateIsTheEmbeddedSetupAndProbesNothing();
    void switchingSetups();
    void setCustomUrlNormalises_data();
    void setCustomUrlNormalises();
    void healthFollowsTheServersAnswer_data();
    void healthFollowsTheServersAnswer();
    void healthTimesOutOnASilentServer();
    void probeOutlivingItsStateChangesNothing();
    void webDirectorySearchOrder_data();
    void webDirectorySearchOrder();

private:
    void useServer(const FakeServer& server) {
        m_state->setCustomUrl(server.baseUrl());
        m_state->setEnvironment(ServerEnvironment::custom);
    }

    std::unique_ptr<TestServices> m_t;
    std::unique_ptr<AppState> m_state;
    QString m_root;
};

void TestAppState::init() {
    m_t = std::make_unique<TestServices>(TestServices::session());
    m_root = makeTempDir(u"state"_s);
    m_state =
        std::make_unique<AppState>(m_t->services->folderSync, m_t->services->client, m_t->services->http,
                                   AppState::WebLocations{m_root + u"/not-installed"_s, QString(), m_root});
}

void TestAppState::cleanup() {
    m_state.reset();
    m_t.reset();
}

void TestAppState::freshStateIsTheEmbeddedSetupAndProbesNothing() {
    QCOMPARE(m_state->environment(), ServerEnvironment::embedded);
    QCOMPARE(m_state->baseUrl(), u"embedded://"_s);
    QCOMPARE(describe(m_state->serverStatus()), u"online(Embedded Vault)"_s);
    QCOMPARE(m_state->currentUrl(), QUrl::fromLocalFile(m_root + u"/resources/web/login.html"_s));

    FakeServer server;
    server.on("GET", "/health", FakeServer::Reply::json(200, "{}"));
    m_state->setCustomUrl(server.baseUrl()); // only the custom setup would use it
    m_state->checkHealth();
    m_state->setEnvironment(ServerEnvironment::embedded);
    QCOMPARE(describe(m_state->serverStatus()), u"online(Embedded Vault)"_s);
    // The custom setup's own probe, sent after them, is the only one the server ever sees.
    m_state->setEnvironment(ServerEnvironment::custom);
    QTRY_COMPARE_WITH_TIMEOUT(describe(m_state->serverStatus()), u"online(Connected)"_s, Wait);
    QCOMPARE(server.requestCount(), 1);
}

// From the embedded pages (file URLs) a switch lands on the login page; between servers it
// keeps the page.
void TestAppState::switchingSetups() {
    m_state->navigateTo(u"dashboard.html"_s);
    m_state->setEnvironment(ServerEnvironment::local);
    QCOMPARE(m_state->baseUrl(), u"http://127.0.0.1:8000"_s);
    QCOMPARE(describe(m_state->serverStatus()), u"checking"_s);
    QCOMPARE(m_state->currentUrl(), QUrl(u"http://127.0.0.1:8000/web/login.html"_s));
    m_state->setEnvironment(ServerEnvironment::custom); // the input, unchanged
    QCOMPARE(m_state->baseUrl(), u"http://127.0.0.1:8000"_s);
    m_state->navigateTo(u"dashboard.html"_s);
    m_state->setEnvironment(ServerEnvironment::production);
    QCOMPARE(m_state->currentUrl(), QUrl(u"https://vault.orlavant.app/web/dashboard.html"_s));
    m_state->setEnvironment(ServerEnvironment::embedded);
    QCOMPARE(describe(m_state->serverStatus()), u"online(Embedded Vault)"_s);
    QVERIFY(m_state->currentUrl()->isLocalFile());
}

void TestAppState::setCustomUrlNormalises_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("blanks, no scheme, slashes") << u"  127.0.0.1:9///\n"_s << u"http://127.0.0.1:9"_s;
    QTest::newRow("https kept") << u"https://127.0.0.1:9/"_s << u"https://127.0.0.1:9"_s;
}

void TestAppState::setCustomUrlNormalises() {
    QFETCH(QString, input);
    QFETCH(QString, expected);
    m_state->setEnvironment(ServerEnvironment::local);
    const QUrl pageBefore = m_state->currentUrlValue();
    m_state->setCustomUrl(input);
    QCOMPARE(QStringList({m_state->customUrlInput(), m_state->baseUrl(), describe(m_state->serverStatus())}),
             QStringList({expected, expected, u"checking"_s}));
    // The setup itself is not switched, nor its page.
    QVERIFY(m_state->environment() == ServerEnvironment::local && m_state->currentUrlValue() == pageBefore);
}

void TestAppState::healthFollowsTheServersAnswer_data() {
    QTest::addColumn<int>("status"); // 0: nothing listens; -1: an address that is not a URL
    QTest::addColumn<QString>("expected");
    QTest::newRow("204") << 204 << u"online(Connected)"_s;
    QTest::newRow("301 without location") << 301 << u"offline(Server not reachable)"_s;
    QTest::newRow("refused") << 0 << u"offline(Could not connect to the server.)"_s;
    QTest::newRow("space in the host") << -1 << u"offline(Invalid URL)"_s;
}

void TestAppState::healthFollowsTheServersAnswer() {
    QFETCH(int, status);
    QFETCH(QString, expected);
    FakeServer server;
    server.on("GET", "/health", FakeServer::Reply::text(status, "<html>whatever</html>"));
    m_state->setCustomUrl(status > 0 ? server.baseUrl() + u"/"_s
                                     : (status == 0 ? FakeServer::refusedBaseUrl() : u"127.0.0 .1:9"_s));
    m_state->setEnvironment(ServerEnvironment::custom);
    QTRY_COMPARE_WITH_TIMEOUT(describe(m_state->serverStatus()), expected, Wait);
    if (status <= 0)
        return;
    const auto probes = server.requests("GET", "/health");
    QCOMPARE(probes.size(), 1);
    QVERIFY(probes[0].body.isEmpty() && !probes[0].hasHeader("authorization"));
    m_state->checkHealth(); // the menu command probes again
    QTRY_COMPARE_WITH_TIMEOUT(server.requests("GET", "/health").size(), 2, Wait);
}

// The probe's own time-out (not the client's minute) ends a silent server's check. Its length
// is not pinned here: that would take a wall-clock wait.
void TestAppState::healthTimesOutOnASilentServer() {
    FakeServer server;
    FakeServer::Reply hang;
    hang.hang = true;
    server.on("GET", "/health", hang);
    useServer(server);
    QCOMPARE(describe(m_state->serverStatus()), u"checking"_s);
    QTRY_COMPARE_WITH_TIMEOUT(describe(m_state->serverStatus()), u"offline(The request timed out.)"_s,
                              3 * Wait);
}

void TestAppState::probeOutlivingItsStateChangesNothing() {
    FakeServer server;
    RequestGate gate;
    gate.close();
    server.on("GET", "/health", [&gate](const FakeServer::Request&) {
        gate.pass();
        return FakeServer::Reply::json(200, "{}");
    });
    useServer(server);
    QTRY_COMPARE_WITH_TIMEOUT(gate.waiting(), 1, Wait);
    m_state.reset();
    // The reply arrives after the state is gone; its completion must find nothing to write to.
    gate.open();
    HttpRequest after;
    after.url = server.url(u"/health"_s);
    const QFuture<HttpResponse> reply = m_t->services->http.send(after);
    QVERIFY(QTest::qWaitFor([&] { return reply.isFinished(); }, 3 * Wait));
    QCoreApplication::processEvents();
    QCOMPARE(server.requestCount(), 2); // no probe of its own after it went
}

void TestAppState::webDirectorySearchOrder_data() {
    QTest::addColumn<QStringList>("existing"); // folders, relative to the test root
    QTest::addColumn<QString>("expected");
    QTest::newRow("installed first") << QStringList{"installed/web", "prefix/share/orlavant/web",
                                                    "cwd/resources/web"}
                                     << u"installed/web"_s;
    QTest::newRow("beside the executable")
        << QStringList{"prefix/share/orlavant/web", "cwd/resources/web"} << u"prefix/share/orlavant/web"_s;
    QTest::newRow("parent's, unresolved") << QStringList{"consolidated"} << u"cwd/../consolidated"_s;
    QTest::newRow("nothing: the fallback") << QStringList{} << u"cwd/resources/web"_s;
}

void TestAppState::webDirectorySearchOrder() {
    QFETCH(QStringList, existing);
    QFETCH(QString, expected);
    const QString root = makeTempDir(u"webdir"_s) + u'/';
    QDir().mkpath(root + u"cwd"_s);
    for (const QString& entry : existing)
        QDir().mkpath(root + entry);
    // The executable path is relative to the working directory.
    const AppState::WebLocations locations{root + u"installed/web"_s, u"../prefix/bin/orlavant"_s,
                                           root + u"cwd"_s};
    QCOMPARE(AppState::resolveWebDirectory(locations), root + expected);
}

ORLAVANT_TEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
