#include "VaultTestSupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <sys/stat.h>

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QByteArray Row = R"({"id":"f1","user_id":"user-1","file_hash":"ab","original_filename":"a.jpg",
    "file_path":"user-1/mac/a.jpg","file_size":12,"mime_type":"image/jpeg","device_name":"Den","device_type":"mac"})";

QString writeFile(const QString& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(generator.generate() & 0xff);
    return bytes;
}

// Answers every connection with fixed raw bytes and closes it: for replies no HTTP library
// would send (truncated bodies, not HTTP at all). Lives on the main thread, which waitFor()
// keeps running.
class RawServer : public QObject {
public:
    explicit RawServer(QByteArray reply)
        : m_reply(std::move(reply)) {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    m_received += socket->readAll();
                    if (m_received.contains("\r\n\r\n")) {
                        socket->write(m_reply);
                        socket->disconnectFromHost();
                    }
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }

private:
    QTcpServer m_server;
    QByteArray m_reply;
    QByteArray m_received;
};

QStringList entriesOf(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestVaultFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withoutSession();

    void checkHashExists_data();
    void checkHashExists();
    void registerOrDeduplicate_data();
    void registerOrDeduplicate();
    void fetchAllUserFiles_data();
    void fetchAllUserFiles();
    void hugeReplyIsBadServerResponse();
    void unparseableUrls_data();
    void unparseableUrls();

    void uploadToStorage_data();
    void uploadToStorage();
    void uploadOfVanishedOrUnreadableFile_data();
    void uploadOfVanishedOrUnreadableFile();
    void signedLink_data();
    void signedLink();
    void downloadReplacesOnlyAfterCompleteReply_data();
    void downloadReplacesOnlyAfterCompleteReply();
    void downloadToNewFileFollowsUmask();
    void brokenDownloadsLeaveDestination_data();
    void brokenDownloadsLeaveDestination();

    void syncToCloudVault_data();
    void syncToCloudVault();
    void syncToCloudVaultDeviceId();
};

void TestVaultFiles::withoutSession() {
    VaultFixture f;
    const QString dir = makeTempDir("nosession");
    const QString file = writeFile(dir, "a.txt", "hello");
    for (const VaultError& error :
         {errorOf(f.client->checkHashExists("ab")),
          errorOf(f.client->registerOrDeduplicate("ab", "a.txt", "p", 5, "text/plain", "Den", dir)),
          errorOf(f.client->fetchAllUserFiles()),
          errorOf(f.client->uploadToStorage(file, "p", "text/plain"))}) {
        QCOMPARE(error.domain(), QStringLiteral("SupabaseClient"));
        QCOMPARE(error.code(), 401);
        QCOMPARE(error.description(), QStringLiteral("User not logged in"));
    }
    QCOMPARE(resultOf(f.client->getSignedDownloadUrl("p")), std::optional<QUrl>());
    QCOMPARE(resultOf(f.client->downloadFile("p", dir + "/out")), false);
    const VaultError sync =
        errorOf(f.client->syncToCloudVault(file, "ab", 5, "a.txt", "Den", std::nullopt, dir));
    QCOMPARE(sync.domain(), QStringLiteral("OrlavantAuth"));
    QCOMPARE(sync.code(), 401);
    QCOMPARE(sync.description(), QStringLiteral("Authentication required"));
    QCOMPARE(f.server.requestCount(), 0);
    QVERIFY(!QFile::exists(dir + "/out"));
}

void TestVaultFiles::checkHashExists_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("foundId"); // empty: none; "!": decoding error
    QTest::newRow("found") << 200 << "[" + Row + "," + Row + "]"
                           << "f1";
    QTest::newRow("empty array") << 200 << QByteArray("[]") << "";
    QTest::newRow("404") << 404 << QByteArray("[]") << "";
    QTest::newRow("object instead of array") << 200 << Row << "!";
}

void TestVaultFiles::checkHashExists() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, foundId);
    VaultFixture f(VaultFixture::session());
    f.server.on("GET", "/rest/v1/files", FakeServer::Reply::json(status, body));
    auto future = f.client->checkHashExists("ab c#d");
    if (foundId == "!") {
        QCOMPARE(errorOf(future).domain(), QStringLiteral("DecodingError"));
    } else {
        const auto found = resultOf(future);
        QCOMPARE(found ? found->id : QString(), foundId);
    }
    const auto requests = f.server.requests("GET", "/rest/v1/files");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().target,
             QByteArray("/rest/v1/files?user_id=eq.user-1&file_hash=eq.ab%20c%23d&select=*"));
    QCOMPARE(requests.first().header("apikey"), QByteArray("test-anon-key"));
    QCOMPARE(requests.first().header("authorization"), QByteArray("Bearer user-token"));
}

void TestVaultFiles::registerOrDeduplicate_data() {
    QTest::addColumn<int>("rpcStatus");
    QTest::addColumn<QByteArray>("rpcBody");
    QTest::addColumn<int>("insertStatus");
    QTest::addColumn<QByteArray>("insertBody");
    QTest::addColumn<bool>("inserted");
    QTest::addColumn<bool>("deduplicated");
    QTest::addColumn<QString>("message"); // empty: fails with badServerResponse
    QTest::addColumn<bool>("hasFile");

    QTest::newRow("procedure deduplicates")
        << 200 << QByteArray(R"({"deduplicated":true,"message":"Already in your vault"})") << 0
        << QByteArray() << false << true << "Already in your vault" << false;
    QTest::newRow("procedure registers with row") << 200 << QByteArray(R"({"file":)" + Row + "}") << 0
                                                  << QByteArray() << false << false << "Success" << true;
    QTest::newRow("procedure missing, insert 201")
        << 404 << QByteArray(R"({"message":"not found"})") << 201 << "[" + Row + "]" << true << false
        << "Registered" << true;
    QTest::newRow("procedure answers an array")
        << 200 << QByteArray("[]") << 200 << QByteArray("[]") << true << false << "Registered" << false;
    QTest::newRow("procedure 201 is not its success")
        << 201 << QByteArray("{}") << 200 << QByteArray("garbage") << true << false << "Registered" << false;
    QTest::newRow("insert conflict 409")
        << 500 << QByteArray("{}") << 409 << QByteArray("{}") << true << false << "" << false;
}

void TestVaultFiles::registerOrDeduplicate() {
    QFETCH(int, rpcStatus);
    QFETCH(QByteArray, rpcBody);
    QFETCH(int, insertStatus);
    QFETCH(QByteArray, insertBody);
    QFETCH(bool, inserted);
    QFETCH(QString, message);
    VaultFixture f(VaultFixture::session());
    f.server.on("POST", "/rest/v1/rpc/register_or_deduplicate_file",
                FakeServer::Reply::json(rpcStatus, rpcBody));
    if (insertStatus)
        f.server.on("POST", "/rest/v1/files", FakeServer::Reply::json(insertStatus, insertBody));
    const qint64 size = 5'000'000'000;
    auto future = f.client->registerOrDeduplicate("ab", "a b.jpg", "user-1/mac/a b.jpg", size, "image/jpeg",
                                                  "Den", "/home/jane/Pics");
    if (message.isEmpty()) {
        const VaultError error = errorOf(future);
        QVERIFY(error.is(VaultError::UrlDomain, VaultError::BadServerResponse));
    } else {
        const DeduplicateResult result = resultOf(future);
        QTEST(result.deduplicated, "deduplicated");
        QCOMPARE(result.message, message);
        QTEST(result.file.has_value(), "hasFile");
    }

    const auto rpc = f.server.requests("POST", "/rest/v1/rpc/register_or_deduplicate_file");
    QCOMPARE(rpc.size(), 1);
    QCOMPARE(rpc.first().header("apikey"), QByteArray("test-anon-key"));
    QCOMPARE(rpc.first().header("authorization"), QByteArray("Bearer user-token"));
    QCOMPARE(rpc.first().header("content-type"), QByteArray("application/json"));
    const QJsonObject rpcBodySent = jsonObject(rpc.first().body);
    QCOMPARE(rpcBodySent.keys(),
             (QStringList{"p_device_name", "p_device_type", "p_file_hash", "p_file_path", "p_file_size",
                          "p_folder_path", "p_mime_type", "p_original_filename"}));
    QVERIFY2(rpc.first().body.contains("\"p_file_size\":5000000000"), rpc.first().body.constData());
    QCOMPARE(rpcBodySent.value("p_device_type").toString(), QStringLiteral("mac"));
    QCOMPARE(rpcBodySent.value("p_file_path").toString(), QStringLiteral("user-1/mac/a b.jpg"));

    const auto insert = f.server.requests("POST", "/rest/v1/files");
    QCOMPARE(insert.size(), inserted ? 1 : 0);
    if (inserted) {
        const FakeServer::Request& r = insert.first();
        QCOMPARE(r.header("prefer"), QByteArray("resolution=merge-duplicates,return=representation"));
        QCOMPARE(r.header("authorization"), QByteArray("Bearer user-token"));
        const QJsonObject row = jsonObject(r.body);
        QCOMPARE(row.keys(), (QStringList{"device_name", "device_type", "file_hash", "file_path", "file_size",
                                          "folder_path", "mime_type", "original_filename", "user_id"}));
        QVERIFY2(r.body.contains("\"file_size\":5000000000"), r.body.constData());
        QCOMPARE(row.value("user_id").toString(), QStringLiteral("user-1"));
        QCOMPARE(row.value("device_type").toString(), QStringLiteral("mac"));
    }
}

void TestVaultFiles::fetchAllUserFiles_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("errorDomain");
    QTest::newRow("empty table") << 200 << QByteArray("[]") << 0 << "";
    QTest::newRow("two rows") << 200 << "[" + Row + "," + Row + "]" << 2 << "";
    QTest::newRow("one malformed row") << 200 << "[" + Row + R"(,{"id":"x"}])" << 0 << "DecodingError";
    QTest::newRow("500") << 500 << QByteArray("[]") << 0 << "URLError";
    QTest::newRow("empty body") << 200 << QByteArray() << 0 << "DecodingError";
}

void TestVaultFiles::fetchAllUserFiles() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, errorDomain);
    VaultFixture f(VaultFixture::session());
    f.server.on("GET", "/rest/v1/files", FakeServer::Reply::json(status, body));
    auto future = f.client->fetchAllUserFiles();
    if (errorDomain.isEmpty()) {
        QTEST(int(resultOf(future).size()), "count");
    } else {
        const VaultError error = errorOf(future);
        QCOMPARE(error.domain(), errorDomain);
        if (errorDomain == "URLError")
            QCOMPARE(error.code(), int(VaultError::BadServerResponse));
    }
    QCOMPARE(f.server.requests().first().target,
             QByteArray("/rest/v1/files?user_id=eq.user-1&order=created_at.desc&select=*"));
}

void TestVaultFiles::hugeReplyIsBadServerResponse() {
    VaultFixture f(VaultFixture::session());
    // Just over the in-memory limit, as one valid JSON array.
    QByteArray huge = "[\"" + QByteArray(HttpRequest::DefaultMaxBodyBytes + 16, 'x') + "\"]";
    FakeServer::Reply reply = FakeServer::Reply::json(200, huge);
    reply.contentType = "application/octet-stream"; // sent as is, not compressed
    f.server.on("GET", "/rest/v1/files", reply);
    huge.clear();
    const VaultError error = errorOf(f.client->fetchAllUserFiles());
    QVERIFY2(error.is(VaultError::UrlDomain, VaultError::BadServerResponse), error.what());
}

void TestVaultFiles::unparseableUrls_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<int>("code");
    QTest::newRow("space") << "http://127.0.0.1:1/a b" << int(VaultError::BadUrl);
    QTest::newRow("no scheme") << "vault.example.com" << int(VaultError::BadUrl);
    QTest::newRow("not http") << "ftp://127.0.0.1" << int(VaultError::BadUrl);
    QTest::newRow("refused") << FakeServer::refusedBaseUrl() << int(VaultError::CannotConnectToHost);
}

void TestVaultFiles::unparseableUrls() {
    QFETCH(QString, base);
    QFETCH(int, code);
    VaultFixture f(VaultFixture::session());
    f.client->configure(base, "k");
    f.client->setBackendUrl(base);
    const QString dir = makeTempDir("badurl");
    const QString file = writeFile(dir, "a.txt", "x");
    QCOMPARE(errorOf(f.client->fetchAllUserFiles()).code(), code);
    QCOMPARE(errorOf(f.client->uploadToStorage(file, "p", "text/plain")).code(), code);
    QCOMPARE(errorOf(f.client->syncToCloudVault(file, "ab", 1, "a.txt", "Den", std::nullopt, dir)).code(),
             code);
    // The registry's procedure failing is not final; the insert's failure is.
    QCOMPARE(errorOf(f.client->registerOrDeduplicate("ab", "a", "p", 1, "text/plain", "Den", dir)).code(),
             code);
    if (code == VaultError::BadUrl) {
        QCOMPARE(resultOf(f.client->checkHashExists("ab")), std::optional<SupabaseFileRecord>());
        QCOMPARE(resultOf(f.client->downloadFile("p", dir + "/out")), false);
    }
}

void TestVaultFiles::uploadToStorage_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("stored");
    QTest::newRow("200") << 200 << QByteArray(R"({"Key":"k"})") << true;
    QTest::newRow("201") << 201 << QByteArray() << true;
    QTest::newRow("409 exists") << 409 << QByteArray() << true;
    QTest::newRow("400 with statusCode 409")
        << 400
        << QByteArray(R"({"statusCode":"409","error":"Duplicate","message":"The resource already exists"})")
        << true;
    QTest::newRow("400 with statusCode 409 as a number")
        << 400 << QByteArray(R"({"statusCode":409})") << false;
    QTest::newRow("400 other") << 400 << QByteArray(R"({"statusCode":"400","error":"Bad Request"})") << false;
    QTest::newRow("400 not JSON") << 400 << QByteArray("409") << false;
    QTest::newRow("413") << 413 << QByteArray() << false;
    QTest::newRow("redirect elsewhere") << 302 << QByteArray() << false;
}

void TestVaultFiles::uploadToStorage() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    VaultFixture f(VaultFixture::session());
    FakeServer::Reply reply = FakeServer::Reply::json(status, body);
    if (status == 302)
        reply.headers.push_back({"Location", "http://127.0.0.2:9/elsewhere"});
    f.server.onPrefix("POST", "/storage/v1/object/", [reply](const FakeServer::Request&) { return reply; });
    // Big enough to take many writes, and not a multiple of any buffer size.
    const QByteArray bytes = randomBytes(3 * 1024 * 1024 + 17);
    const QString file = writeFile(makeTempDir("upload"), "clip.mov", bytes);
    QTEST(resultOf(f.client->uploadToStorage(file, "/user-1/mac/Den/Family Pics/ab_clip é.mov/",
                                             "video/quicktime")),
          "stored");
    const auto requests = f.server.requests();
    QCOMPARE(requests.size(), 1);
    const FakeServer::Request& r = requests.first();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(
        r.target,
        QByteArray("/storage/v1/object/orlavant-files/user-1/mac/Den/Family%20Pics/ab_clip%20%C3%A9.mov"));
    QCOMPARE(r.header("x-upsert"), QByteArray("false"));
    QCOMPARE(r.header("content-type"), QByteArray("video/quicktime"));
    QCOMPARE(r.header("apikey"), QByteArray("test-anon-key"));
    QCOMPARE(r.header("authorization"), QByteArray("Bearer user-token"));
    QCOMPARE(r.header("content-length"), QByteArray::number(bytes.size()));
    QVERIFY(r.body == bytes);
}

void TestVaultFiles::uploadOfVanishedOrUnreadableFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("vanished") << "vanished";
    QTest::newRow("unreadable") << "unreadable";
    QTest::newRow("a directory") << "directory";
}

void TestVaultFiles::uploadOfVanishedOrUnreadableFile() {
    QFETCH(QString, kind);
    VaultFixture f(VaultFixture::session());
    const QString dir = makeTempDir("vanish");
    QString path = writeFile(dir, "a.txt", "data");
    if (kind == "vanished") {
        QFile::remove(path);
    } else if (kind == "unreadable") {
        QFile::setPermissions(path, QFileDevice::WriteOwner);
        if (QFile(path).open(QIODevice::ReadOnly))
            QSKIP("running with privileges that read any file");
    } else {
        path = dir;
    }
    const VaultError storage = errorOf(f.client->uploadToStorage(path, "p", "text/plain"));
    QCOMPARE(storage.domain(), VaultError::FileDomain);
    f.server.on("POST", "/api/files/pre-upload",
                FakeServer::Reply::json(200, R"({"upload_url":")" + f.server.baseUrl().toUtf8() +
                                                 R"(/put","storage_key":"k"})"));
    const VaultError backend =
        errorOf(f.client->syncToCloudVault(path, "ab", 4, "a.txt", "Den", std::nullopt, dir));
    QCOMPARE(backend.domain(), VaultError::FileDomain);
    QCOMPARE(f.server.requests("POST", "/api/files/pre-upload").size(), 1);
    QCOMPARE(f.server.requestCount(), 1); // nothing sent to storage, no PUT, no confirm
}

void TestVaultFiles::signedLink_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("link"); // "$" stands for the server's base URL
    QTest::newRow("relative") << 200
                              << QByteArray(R"({"signedURL":"/object/sign/orlavant-files/a.jpg?token=x"})")
                              << "$/storage/v1/object/sign/orlavant-files/a.jpg?token=x";
    QTest::newRow("absolute") << 200 << QByteArray(R"({"signedURL":"https://cdn.example.com/a.jpg?token=y"})")
                              << "https://cdn.example.com/a.jpg?token=y";
    QTest::newRow("404") << 404 << QByteArray(R"({"signedURL":"/x"})") << "";
    QTest::newRow("no signedURL") << 200 << QByteArray(R"({"signedUrl":"/x"})") << "";
    QTest::newRow("signedURL not text") << 200 << QByteArray(R"({"signedURL":5})") << "";
    QTest::newRow("link that does not parse") << 200 << QByteArray(R"({"signedURL":"/a b"})") << "";
}

void TestVaultFiles::signedLink() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, link);
    VaultFixture f(VaultFixture::session());
    f.server.onPrefix("POST", "/storage/v1/object/sign/",
                      [=](const FakeServer::Request&) { return FakeServer::Reply::json(status, body); });
    const std::optional<QUrl> url = resultOf(f.client->getSignedDownloadUrl("/user-1/a.jpg/"));
    QCOMPARE(url ? url->toString() : QString(), link.replace("$", f.server.baseUrl()));
    const FakeServer::Request r = f.server.requests().first();
    QCOMPARE(r.path, QByteArray("/storage/v1/object/sign/orlavant-files/user-1/a.jpg"));
    QCOMPARE(r.header("content-type"), QByteArray("application/json"));
    QCOMPARE(r.header("authorization"), QByteArray("Bearer user-token"));
    QCOMPARE(r.body, QByteArray(R"({"expiresIn":3600})"));
}

void TestVaultFiles::downloadReplacesOnlyAfterCompleteReply_data() {
    QTest::addColumn<bool>("bySignedLink");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("written");
    QTest::newRow("by signed link") << true << 200 << true;
    QTest::newRow("directly when signing fails") << false << 200 << true;
    QTest::newRow("signed link answers 404") << true << 404 << false;
    QTest::newRow("direct download answers 403") << false << 403 << false;
    QTest::newRow("206 is not complete") << true << 206 << false;
}

void TestVaultFiles::downloadReplacesOnlyAfterCompleteReply() {
    QFETCH(bool, bySignedLink);
    QFETCH(int, status);
    QFETCH(bool, written);
    VaultFixture f(VaultFixture::session());
    const QByteArray content = randomBytes(200000);
    f.server.on("POST", "/storage/v1/object/sign/orlavant-files/user-1/a b.jpg",
                bySignedLink
                    ? FakeServer::Reply::json(200, R"({"signedURL":"/object/sign/orlavant-files/x?token=t"})")
                    : FakeServer::Reply::json(404, R"({"error":"not found"})"));
    FakeServer::Reply file = FakeServer::Reply::json(status, status == 200 ? content : QByteArray("nope"));
    file.contentType = "image/jpeg";
    f.server.on("GET", "/storage/v1/object/sign/orlavant-files/x", file);
    f.server.on("GET", "/storage/v1/object/authenticated/orlavant-files/user-1/a b.jpg", file);

    const QString dir = makeTempDir("download");
    const QString destination = writeFile(dir, "a b.jpg", "old content");
    QFile::setPermissions(destination,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    QCOMPARE(resultOf(f.client->downloadFile("user-1/a b.jpg", destination)), written);
    QCOMPARE(readFile(destination), written ? content : QByteArray("old content"));
    QCOMPARE(entriesOf(dir), QStringList{"a b.jpg"}); // no temporary file left behind
    // A replaced file keeps the permissions the user gave it.
    QCOMPARE(QFile::permissions(destination) & 0x0777,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup);

    const auto requests = f.server.requests(
        "GET", bySignedLink ? "/storage/v1/object/sign/orlavant-files/x"
                            : "/storage/v1/object/authenticated/orlavant-files/user-1/a b.jpg");
    QCOMPARE(requests.size(), 1);
    // The signed link carries its own token; the direct path needs the session's.
    QCOMPARE(requests.first().hasHeader("authorization"), !bySignedLink);
    QCOMPARE(requests.first().hasHeader("apikey"), !bySignedLink);
    if (bySignedLink)
        QCOMPARE(requests.first().query("token"), QByteArray("t"));
}

void TestVaultFiles::downloadToNewFileFollowsUmask() {
    VaultFixture f(VaultFixture::session());
    f.server.on("POST", "/storage/v1/object/sign/orlavant-files/a.txt", FakeServer::Reply::json(404, "{}"));
    f.server.on("GET", "/storage/v1/object/authenticated/orlavant-files/a.txt",
                FakeServer::Reply::text(200, "hi"));
    const QString destination = makeTempDir("umask") + "/a.txt";
    const mode_t previous = ::umask(027);
    const bool written = resultOf(f.client->downloadFile("a.txt", destination));
    ::umask(previous);
    QVERIFY(written);
    QCOMPARE(readFile(destination), QByteArray("hi"));
    // Not the temporary file's user-only mode: what any new file of this process would get.
    QCOMPARE(QFile::permissions(destination) & 0x0777,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup);
}

void TestVaultFiles::brokenDownloadsLeaveDestination_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("code");
    QTest::newRow("connection closed mid-body")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\npartial")
        << int(VaultError::NetworkConnectionLost);
    QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n") << 0;
}

void TestVaultFiles::brokenDownloadsLeaveDestination() {
    QFETCH(QByteArray, raw);
    QFETCH(int, code);
    VaultFixture f(VaultFixture::session());
    RawServer raw_server(raw);
    f.server.on(
        "POST", "/storage/v1/object/sign/orlavant-files/a.jpg",
        FakeServer::Reply::json(200, R"({"signedURL":")" + raw_server.baseUrl().toUtf8() + R"(/a.jpg"})"));
    const QString dir = makeTempDir("broken");
    const QString destination = writeFile(dir, "a.jpg", "old content");
    const VaultError error = errorOf(f.client->downloadFile("a.jpg", destination));
    QCOMPARE(error.domain(), VaultError::UrlDomain);
    if (code)
        QCOMPARE(error.code(), code);
    QCOMPARE(readFile(destination), QByteArray("old content"));
    QCOMPARE(entriesOf(dir), QStringList{"a.jpg"});
}

void TestVaultFiles::syncToCloudVault_data() {
    QTest::addColumn<int>("preStatus");
    QTest::addColumn<QByteArray>("preBody"); // "$" stands for the server's base URL
    QTest::addColumn<int>("putStatus");
    QTest::addColumn<int>("confirmStatus");
    QTest::addColumn<QString>("expect"); // "dedup", "uploaded", or "<domain> <code> [description]"
    QTest::addColumn<int>("puts");
    QTest::addColumn<int>("confirms");

    const QByteArray upload = R"({"deduplicated":false,"upload_url":"$/put/k1?sig=s","storage_key":"k1"})";
    QTest::newRow("deduplicated") << 200 << QByteArray(R"({"deduplicated":true})") << 0 << 0 << "dedup" << 0
                                  << 0;
    QTest::newRow("upload 200, confirm 200") << 200 << upload << 200 << 200 << "uploaded" << 1 << 1;
    QTest::newRow("upload 201, confirm 201") << 200 << upload << 201 << 201 << "uploaded" << 1 << 1;
    QTest::newRow("upload 204") << 200 << upload << 204 << 200 << "uploaded" << 1 << 1;
    QTest::newRow("quota 402 without message")
        << 402 << QByteArray(R"({"detail":"x"})") << 0 << 0
        << "OrlavantQuota 402 Household quota exceeded. Please upgrade plan." << 0 << 0;
    QTest::newRow("quota 403 with message")
        << 403 << QByteArray(R"({"message":"Family plan full: 50 GB"})") << 0 << 0
        << "OrlavantQuota 403 Family plan full: 50 GB" << 0 << 0;
    QTest::newRow("quota 402 with empty message")
        << 402 << QByteArray(R"({"message":""})") << 0 << 0
        << "OrlavantQuota 402 Household quota exceeded. Please upgrade plan." << 0 << 0;
    QTest::newRow("401 is not an auth error")
        << 401 << QByteArray(R"({"message":"expired"})") << 0 << 0 << "URLError -1011" << 0 << 0;
    QTest::newRow("500") << 500 << QByteArray("{}") << 0 << 0 << "URLError -1011" << 0 << 0;
    QTest::newRow("200 not JSON") << 200 << QByteArray("<html>") << 0 << 0 << "URLError -1011" << 0 << 0;
    QTest::newRow("deduplicated as text, no upload url")
        << 200 << QByteArray(R"({"deduplicated":"true"})") << 0 << 0 << "URLError -1011" << 0 << 0;
    QTest::newRow("no storage key") << 200 << QByteArray(R"({"upload_url":"$/put/k1"})") << 0 << 0
                                    << "URLError -1011" << 0 << 0;
    QTest::newRow("upload url that does not parse")
        << 200 << QByteArray(R"({"upload_url":"not a url","storage_key":"k1"})") << 0 << 0 << "URLError -1011"
        << 0 << 0;
    QTest::newRow("upload refused 403") << 200 << upload << 403 << 200 << "URLError -3000" << 1 << 0;
    QTest::newRow("confirm refused") << 200 << upload << 200 << 500 << "URLError -1011" << 1 << 1;
}

void TestVaultFiles::syncToCloudVault() {
    QFETCH(int, preStatus);
    QFETCH(QByteArray, preBody);
    QFETCH(int, putStatus);
    QFETCH(int, confirmStatus);
    QFETCH(QString, expect);
    VaultFixture f(VaultFixture::session());
    f.server.on("POST", "/api/files/pre-upload",
                FakeServer::Reply::json(preStatus, preBody.replace("$", f.server.baseUrl().toUtf8())));
    f.server.on("PUT", "/put/k1", FakeServer::Reply::json(putStatus, ""));
    f.server.on("POST", "/api/files/confirm", FakeServer::Reply::json(confirmStatus, "not read"));

    const QString dir = makeTempDir("sync");
    const QByteArray bytes = randomBytes(70000);
    // A deduplicated answer must not even read the file: it does not exist in that case.
    const QString file = expect == "dedup" ? dir + "/gone.MP4" : writeFile(dir, "clip.MP4", bytes);
    auto future = f.client->syncToCloudVault(file, "abc123", 5'000'000'000, "Family/clip.MP4", "Den",
                                             std::nullopt, "/home/jane/Family");
    if (expect == "dedup" || expect == "uploaded") {
        const DeduplicateResult result = resultOf(future);
        QCOMPARE(result.deduplicated, expect == "dedup");
        QCOMPARE(result.message, expect == "dedup" ? QStringLiteral("Deduplicated across Home vault")
                                                   : QStringLiteral("Uploaded to Home cloud vault"));
        QVERIFY(!result.file);
    } else {
        const VaultError error = errorOf(future);
        QCOMPARE(QStringLiteral("%1 %2").arg(error.domain()).arg(error.code()), expect.section(' ', 0, 1));
        if (!expect.section(' ', 2).isEmpty())
            QCOMPARE(error.description(), expect.section(' ', 2));
    }

    const auto pre = f.server.requests("POST", "/api/files/pre-upload");
    QCOMPARE(pre.size(), 1);
    QCOMPARE(pre.first().header("authorization"), QByteArray("Bearer user-token"));
    QVERIFY(!pre.first().hasHeader("apikey"));
    QCOMPARE(pre.first().header("content-type"), QByteArray("application/json"));
    const QJsonObject expected{{"file_hash", "abc123"},
                               {"file_size", 5'000'000'000LL},
                               {"filename", QFileInfo(file).fileName()},
                               {"folder_path", "/home/jane/Family"},
                               {"device_id", "Den"},
                               {"mime_type", "video/mp4"}};
    QCOMPARE(jsonObject(pre.first().body), expected);
    QVERIFY(pre.first().body.contains("\"file_size\":5000000000"));

    QFETCH(int, puts);
    QFETCH(int, confirms);
    const auto put = f.server.requests("PUT", "/put/k1");
    QCOMPARE(put.size(), puts);
    if (puts) {
        QCOMPARE(put.first().query("sig"), QByteArray("s"));
        QVERIFY(!put.first().hasHeader("authorization"));
        QVERIFY(!put.first().hasHeader("apikey"));
        QCOMPARE(put.first().header("content-type"), QByteArray("video/mp4"));
        QVERIFY(put.first().body == bytes);
    }
    const auto confirm = f.server.requests("POST", "/api/files/confirm");
    QCOMPARE(confirm.size(), confirms);
    if (confirms) {
        QJsonObject withKey = expected;
        withKey.insert("storage_key", "k1");
        QCOMPARE(jsonObject(confirm.first().body), withKey);
        QCOMPARE(confirm.first().header("authorization"), QByteArray("Bearer user-token"));
        QVERIFY(!confirm.first().hasHeader("apikey"));
    }
}

void TestVaultFiles::syncToCloudVaultDeviceId() {
    VaultFixture f(VaultFixture::session());
    f.server.on("POST", "/api/files/pre-upload", FakeServer::Reply::json(200, R"({"deduplicated":true})"));
    resultOf(
        f.client->syncToCloudVault("/nowhere/a", "ab", 1, "a", "Den", QStringLiteral("dev-42"), "/nowhere"));
    const QJsonObject body = jsonObject(f.server.requests().first().body);
    QCOMPARE(body.value("device_id").toString(), QStringLiteral("dev-42"));
    QCOMPARE(body.value("mime_type").toString(), QStringLiteral("application/octet-stream"));
}

ORLAVANT_TEST_GUILESS_MAIN(TestVaultFiles)
#include "tst_vaultfiles.moc"
