#include "platform/HttpClient.h"
#include "platform/VaultError.h"
#include "support/FakeServer.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"

#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

HttpResponse sendAndWait(HttpClient& client, HttpRequest request) {
    return client.send(std::move(request)).result();
}

// How a request failed; a success, which must not be taken for an answer, as domain "none".
VaultError errorOf(QFuture<HttpResponse> future) {
    try {
        future.result();
    } catch (const VaultError& error) {
        return error;
    }
    return VaultError(u"none"_s, 0, u"no error was raised"_s);
}

// A request body in a file of its own.
QString bodyFile(const QByteArray& content) {
    const QString path = makeTempDir(u"body"_s) + u"/body.bin"_s;
    writeFile(path, content);
    return path;
}

HttpRequest requestTo(const QUrl& url, const QByteArray& method = "GET", const QString& bodyFile = {}) {
    HttpRequest request;
    request.url = url;
    request.method = method;
    request.bodyFile = bodyFile;
    return request;
}

} // namespace

class TestHttpClient : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void oversizedReplyIsRefused();
    void hangingDownloadTimesOutAndLeavesNoFile();
    void redirectToAnotherOriginIsNotFollowed();
    void shutdownCancelsRepliesInFlight();
    void bodyCutShortIsAFailureNotAnAnswer();
    void fileUploadsTakeTheClientsProxy_data();
    void fileUploadsTakeTheClientsProxy();

private:
    HttpClient m_client;
};

void TestHttpClient::oversizedReplyIsRefused() {
    FakeServer server;
    server.on("GET", "/huge", FakeServer::Reply::json(200, QByteArray(200'000, 'x')));
    HttpRequest request = requestTo(server.url(u"/huge"_s));
    request.maxBodyBytes = 100'000;
    QCOMPARE(errorOf(m_client.send(request)).code(), int(VaultError::BadServerResponse));

    request.maxBodyBytes = 200'000; // exactly the cap still fits
    QCOMPARE(sendAndWait(m_client, request).body.size(), 200'000);
}

void TestHttpClient::hangingDownloadTimesOutAndLeavesNoFile() {
    FakeServer server;
    FakeServer::Reply hang;
    hang.hang = true;
    server.on("GET", "/file", hang);
    const QString dir = makeTempDir(u"broken"_s);
    HttpRequest request = requestTo(server.url(u"/file"_s));
    request.saveToDirectory = dir;
    request.timeout = std::chrono::milliseconds(300);
    const VaultError error = errorOf(m_client.send(request));
    QCOMPARE(error.code(), int(VaultError::TimedOut));
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

// Neither a bearer token (Qt's network stack) nor a file body (libcurl) follows a redirect away.
void TestHttpClient::redirectToAnotherOriginIsNotFollowed() {
    FakeServer other; // records whatever reaches it
    FakeServer server;
    for (const auto& [method, status] : {std::pair{"GET", 302}, std::pair{"PUT", 307}}) {
        FakeServer::Reply redirect = FakeServer::Reply::text(status, "");
        redirect.headers.push_back({"Location", other.baseUrl().toStdString() + "/steal"});
        server.on(method, "/start", redirect);
    }
    HttpRequest request = requestTo(server.url(u"/start"_s));
    request.setHeader("Authorization", "Bearer secret");
    errorOf(m_client.send(request)); // refused or answered 302: either way it stays here
    request.method = "PUT";
    request.bodyFile = bodyFile("jpeg");
    QCOMPARE(sendAndWait(m_client, request).status, 307);
    QCOMPARE(other.requestCount(), 0);
}

void TestHttpClient::shutdownCancelsRepliesInFlight() {
    FakeServer server;
    FakeServer::Reply hang;
    hang.hang = true;
    server.on("GET", "/slow", hang);
    QFuture<HttpResponse> future;
    {
        HttpClient client;
        future = client.send(requestTo(server.url(u"/slow"_s)));
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 1, 20000);
    }
    // Nobody waits forever on a reply the destroyed client dropped.
    QCOMPARE(errorOf(future).code(), int(VaultError::Cancelled));
    // After shutdown nothing new reaches the network.
    HttpClient closed;
    closed.shutdown();
    QCOMPARE(errorOf(closed.send(requestTo(server.url(u"/slow"_s)))).code(), int(VaultError::Cancelled));
    QCOMPARE(server.requestCount(), 1);
}

void TestHttpClient::bodyCutShortIsAFailureNotAnAnswer() {
    // A server that announces 100 bytes, sends 5 and hangs up.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    connect(&server, &QTcpServer::newConnection, this, [&server] {
        QTcpSocket* socket = server.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->write(
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n[{\"a\"");
            socket->flush();
            socket->disconnectFromHost();
        });
    });
    QFuture<HttpResponse> future =
        m_client.send(requestTo(QUrl(u"http://127.0.0.1:%1/x"_s.arg(server.serverPort()))));
    QTRY_VERIFY_WITH_TIMEOUT(future.isFinished(), 20000);
    QCOMPARE(errorOf(future).domain(), VaultError::UrlDomain); // not the first 5 bytes as an answer
}

void TestHttpClient::fileUploadsTakeTheClientsProxy_data() {
    QTest::addColumn<bool>("withUser"); // credentials in http_proxy
    QTest::addColumn<bool>("loopbackVault");
    QTest::addColumn<bool>("viaProxy");
    QTest::newRow("http_proxy, vault elsewhere") << false << false << true;
    QTest::newRow("http_proxy with credentials") << true << false << true;
    QTest::newRow("http_proxy, vault on this machine") << false << true << false;
}

// Body-in-memory requests (Qt's network stack) and file bodies (libcurl) must reach the network
// the same way: on a network that only goes out through a proxy, uploads failed forever.
void TestHttpClient::fileUploadsTakeTheClientsProxy() {
    QFETCH(bool, withUser);
    QFETCH(bool, loopbackVault);
    QFETCH(bool, viaProxy);
    const QByteArray credentials = "Basic " + QByteArray("anna:s3cret").toBase64();
    FakeServer proxy; // records and answers like the vault would: nothing goes further
    FakeServer vault;
    for (FakeServer* server : {&proxy, &vault}) {
        for (const QByteArray method : {"PUT", "POST"}) {
            const bool challenges = withUser && server == &proxy;
            server->onPrefix(method, "", [challenges, credentials](const FakeServer::Request& request) {
                if (challenges && request.header("proxy-authorization") != credentials) {
                    FakeServer::Reply challenge = FakeServer::Reply::text(407, "");
                    challenge.headers.push_back({"Proxy-Authenticate", "Basic realm=\"office\""});
                    return challenge;
                }
                return FakeServer::Reply::json(201, "{}");
            });
        }
    }
    const QByteArray proxyUrl = proxy.baseUrl().toUtf8();
    const auto restore = qScopeGuard([] { qunsetenv("http_proxy"); });
    qputenv("http_proxy", withUser ? QByteArray(proxyUrl).replace("://", "://anna:s3cret@") : proxyUrl);
    // An address that is never dialled here: through the proxy it is only a name in the request.
    const QString base = loopbackVault ? vault.baseUrl() : u"http://192.0.2.1:8080"_s;

    HttpRequest json = requestTo(QUrl(base + u"/api/files/pre-upload"_s), "POST");
    json.body = "{}";
    const HttpRequest upload = requestTo(QUrl(base + u"/api/uploads/t1"_s), "PUT", bodyFile("jpeg bytes"));
    HttpClient client; // Qt's network stack keeps what it learnt about a proxy for its lifetime
    QCOMPARE(sendAndWait(client, json).status, 201);
    QCOMPARE(sendAndWait(client, upload).status, 201);

    FakeServer& reached = viaProxy ? proxy : vault;
    QCOMPARE((viaProxy ? &vault : &proxy)->requestCount(), 0);
    QList<FakeServer::Request> requests = reached.requests();
    // The ones the proxy let through carried the credentials from the proxy's address.
    requests.removeIf([&](const FakeServer::Request& request) {
        return withUser && request.header("proxy-authorization") != credentials;
    });
    QCOMPARE(requests.size(), 2);
    // Through a proxy the request names the whole URL; straight to the vault only its path.
    const QString prefix = viaProxy ? base : QString();
    QCOMPARE(QString::fromUtf8(requests[0].path), prefix + u"/api/files/pre-upload"_s);
    QCOMPARE(QString::fromUtf8(requests[1].path), prefix + u"/api/uploads/t1"_s);
    QCOMPARE(requests[1].body, QByteArray("jpeg bytes"));
}

ORLAVANT_TEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
