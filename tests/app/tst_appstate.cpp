#include "app/AppState.h"
#include "support/FakeServer.h"
#include "support/RequestGate.h"
#include "support/TestServices.h"

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
    void healthFollowsTheServersAnswer_data();
    void healthFollowsTheServersAnswer();
    void healthTimesOutOnASilentServer();
    void probeOutlivingItsStateChangesNothing();

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

void TestAppState::healthFollowsTheServersAnswer_data() {
    QTest::addColumn<int>("status"); // 0: nothing listens; -1: an address that is not a URL
    QTest::addColumn<QString>("expected");
    QTest::newRow("204") << 204 << u"online(Connected)"_s;
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

ORLAVANT_TEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
