#include "VaultTestSupport.h"
#include "support/TestFiles.h"

#include <QRandomGenerator>
#include <sys/stat.h>

namespace {

using Reply = FakeServer::Reply;
const QByteArray HostedAuth = "test-anon-key|Bearer user-token";
const QString Row = R"({"id":"f1","user_id":"user-1","file_hash":"ab","original_filename":"a.jpg",
    "file_path":"user-1/mac/a.jpg","file_size":12,"mime_type":"image/jpeg","device_name":"Den","device_type":"mac"})";

// Row with one of its texts replaced.
QString rowWith(const QString& from, const QString& to) {
    return QString(Row).replace(from, to);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray randomBytes(qsizetype size) {
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(42).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char*>(words.constData()), size);
}

} // namespace

class TestVaultFiles : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void withoutSession();
    void listing_data();
    void listing();
    void registerOrDeduplicate_data();
    void registerOrDeduplicate();
    void uploadToStorage_data();
    void uploadToStorage();
    void download_data();
    void download();
    void syncToCloudVault_data();
    void syncToCloudVault();
};

void TestVaultFiles::withoutSession() {
    VaultFixture f;
    const QString dir = makeTempDir("nosession");
    const QString file = dir + "/a.txt";
    writeFile(file, "hello");
    const QString notLoggedIn = QStringLiteral("SupabaseClient 401: User not logged in");
    VERIFY_FAILS_WITH(f.client->checkHashExists("ab"), notLoggedIn);
    VERIFY_FAILS_WITH(f.client->registerOrDeduplicate("ab", "a.txt", "p", 5, "text/plain", "Den", dir),
                      notLoggedIn);
    VERIFY_FAILS_WITH(f.client->fetchAllUserFiles(), notLoggedIn);
    VERIFY_FAILS_WITH(f.client->uploadToStorage(file, "p", "text/plain"), notLoggedIn);
    VERIFY_FAILS_WITH(f.client->syncToCloudVault(file, "ab", 5, "a.txt", "Den", std::nullopt, dir),
                      "OrlavantAuth 401: Authentication required");
    QCOMPARE(resultOf(f.client->getSignedDownloadUrl("p")), std::optional<QUrl>());
    QVERIFY(!resultOf(f.client->downloadFile("p", dir + "/out")));
    QCOMPARE(f.server.requestCount(), 0);
    QVERIFY(!QFile::exists(dir + "/out"));
}

void TestVaultFiles::listing_data() {
    // expect: the count, then "<size> <folder> <created> <updated>" per row
    addColumns<int, QString, QString>(); // status, body, expect
    const QString all = R"({"id":"f2","user_id":"u1","file_hash":"cd","original_filename":"b.png",
        "file_path":"p","file_size":1,"mime_type":"image/png","device_name":"Den","device_type":"mac",
        "folder_path":"/home/jane/Pictures","created_at":"2026-01-02T03:04:05Z","updated_at":null})";
    const QString broken = "DecodingError 4864";
    row("empty", 200, "[]", "0");
    row("optionals absent, present or null", 200, "[" + Row + "," + all + "]",
        "2 12 - - - 1 /home/jane/Pictures 2026-01-02T03:04:05Z -");
    row("size beyond 32 bits", 200, "[" + rowWith(":12,", ":5000000000,") + "]", "1 5000000000 - - -");
    row("size beyond 64 bits", 200, "[" + rowWith(":12,", ":1e30,") + "]", broken);
    row("object instead of array", 200, Row, broken);
    row("500", 500, "[]", "URLError -1011");
}

void TestVaultFiles::listing() {
    const auto [status, body, expect] = fetch<int, QString, QString>();
    VaultFixture f(true);
    f.on("GET", "/rest/v1/files", status, body);
    const auto describe = [](const QList<SupabaseFileRecord>& rows) {
        QStringList text{QString::number(rows.size())};
        for (const SupabaseFileRecord& r : rows)
            text << QString::number(r.fileSize) << r.folderPath.value_or("-") << r.createdAt.value_or("-")
                 << r.updatedAt.value_or("-");
        return text.join(' ');
    };
    VERIFY_OUTCOME(f.client->fetchAllUserFiles(), describe, expect); // one bad row fails the whole list
    const FakeServer::Request r = f.server.requests().first();
    QCOMPARE(r.target + ' ' + sentAuth(r),
             "/rest/v1/files?user_id=eq.user-1&order=created_at.desc&select=* " + HostedAuth);
}

void TestVaultFiles::registerOrDeduplicate_data() {
    // insertStatus: 0: the plain insert must not be tried
    // expect: "<deduplicated> <file id> <message>", or the failure
    addColumns<int, QString, int, QString, QString>(); // rpcStatus, rpcBody, insertStatus, insertBody, expect
    row("procedure deduplicates", 200, R"({"deduplicated":true,"message":"In your vault"})", 0, "",
        "1 - In your vault");
    row("procedure registers with row", 200, R"({"file":)" + Row + "}", 0, "", "0 f1 Success");
    row("procedure missing, insert 201", 404, R"({"message":"not found"})", 201, "[" + Row + "]",
        "0 f1 Registered");
    row("insert conflict 409", 500, "{}", 409, "{}", "URLError -1011");
}

void TestVaultFiles::registerOrDeduplicate() {
    const auto [rpcStatus, rpcBody, insertStatus, insertBody, expect] =
        fetch<int, QString, int, QString, QString>();
    VaultFixture f(true);
    f.on("POST", "/rest/v1/rpc/register_or_deduplicate_file", rpcStatus, rpcBody);
    if (insertStatus)
        f.on("POST", "/rest/v1/files", insertStatus, insertBody);
    const auto describe = [](const DeduplicateResult& r) {
        return QStringLiteral("%1 %2 %3").arg(int(r.deduplicated)).arg(r.file ? r.file->id : "-", r.message);
    };
    VERIFY_OUTCOME(f.client->registerOrDeduplicate("ab", "a b.jpg", "user-1/mac/a b.jpg", 5'000'000'000,
                                                   "image/jpeg", "Den", "/home/jane/Pics"),
                   describe, expect);
    const auto rpc = f.server.requests("POST", "/rest/v1/rpc/register_or_deduplicate_file");
    QCOMPARE(rpc.size(), 1);
    QCOMPARE(sentAuth(rpc.first()) + ' ' + rpc.first().header("content-type"),
             HostedAuth + " application/json");
    const auto insert = f.server.requests("POST", "/rest/v1/files");
    QCOMPARE(insert.size(), insertStatus ? 1 : 0);
    if (insertStatus) {
        QCOMPARE(sentAuth(insert.first()) + ' ' + insert.first().header("prefer"),
                 HostedAuth + " resolution=merge-duplicates,return=representation");
        QCOMPARE(jsonObject(insert.first().body),
                 jsonObject(R"({"user_id":"user-1","file_hash":"ab","original_filename":"a b.jpg",
                    "file_path":"user-1/mac/a b.jpg","file_size":5000000000,"mime_type":"image/jpeg",
                    "device_name":"Den","device_type":"mac","folder_path":"/home/jane/Pics"})"));
    }
}

void TestVaultFiles::uploadToStorage_data() {
    addColumns<int, QByteArray, bool>(); // status, body, stored
    row("201", 201, QByteArray(), true);
    row("409 exists", 409, QByteArray(), true);
    row("400 with statusCode \"409\"", 400, QByteArray(R"({"statusCode":"409","error":"Duplicate"})"), true);
    row("400 not JSON", 400, QByteArray("409"), false);
}

void TestVaultFiles::uploadToStorage() {
    const auto [status, body, stored] = fetch<int, QByteArray, bool>();
    VaultFixture f(true);
    f.server.onPrefix("POST", "/storage/v1/object/",
                      [=](const FakeServer::Request&) { return Reply::json(status, body); });
    // Big enough to take many writes, and not a multiple of any buffer size.
    const QByteArray bytes = randomBytes(3 * 1024 * 1024 + 17);
    const QString file = makeTempDir("upload") + "/clip.mov";
    writeFile(file, bytes);
    QCOMPARE(resultOf(f.client->uploadToStorage(file, "/user-1/mac/Den/Family Pics/ab_clip é.mov/",
                                                "video/quicktime")),
             stored);
    QCOMPARE(f.server.requestCount(), 1);
    const FakeServer::Request r = f.server.requests().first();
    QCOMPARE(r.method + ' ' + r.target,
             "POST /storage/v1/object/orlavant-files/user-1/mac/Den/Family%20Pics/ab_clip%20%C3%A9.mov");
    QCOMPARE(sentAuth(r) + ' ' + r.header("x-upsert") + ' ' + r.header("content-type") + ' ' +
                 r.header("content-length"),
             HostedAuth + " false video/quicktime " + QByteArray::number(bytes.size()));
    QVERIFY(r.body == bytes);
}

void TestVaultFiles::download_data() {
    // signedLink: the signing reply; empty: signing answers 404
    addColumns<QString, int, bool, QString>(); // signedLink, status, existing, fetched path
    const QString relative = R"({"signedURL":"/object/sign/orlavant-files/x?token=t"})";
    const QString viaLink = "/storage/v1/object/sign/orlavant-files/x";
    const QString direct = "/storage/v1/object/authenticated/orlavant-files/user-1/a b.jpg";
    row("relative signed link, over a file", relative, 200, true, viaLink);
    row("relative signed link, to a new file", relative, 200, false, viaLink);
    row("signing fails", "", 200, true, direct);
    row("signed link answers 404", relative, 404, true, viaLink);
    row("206 is not complete", relative, 206, false, viaLink);
}

void TestVaultFiles::download() {
    const auto [signedLink, status, existing, fetched] = fetch<QString, int, bool, QString>();
    VaultFixture f(true);
    const QByteArray content = randomBytes(200000);
    f.on("POST", "/storage/v1/object/sign/orlavant-files/user-1/a b.jpg", signedLink.isEmpty() ? 404 : 200,
         signedLink);
    Reply file = Reply::json(status, status == 200 ? content : QByteArray("nope"));
    file.contentType = "image/jpeg";
    f.server.on("GET", fetched.toUtf8(), file);

    const QString dir = makeTempDir("download");
    const QString destination = dir + "/a b.jpg";
    if (existing) {
        writeFile(destination, "old content");
        QFile::setPermissions(destination, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    const mode_t previous = ::umask(027);
    const bool written = resultOf(f.client->downloadFile("/user-1/a b.jpg/", destination));
    ::umask(previous);
    QCOMPARE(written, status == 200);
    QCOMPARE(readFile(destination), written ? content : existing ? QByteArray("old content") : "<missing>");
    // Nothing but the destination is left behind: the reply goes to a temporary file first.
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
             written || existing ? QStringList{"a b.jpg"} : QStringList());
    // A replaced file keeps the permissions the user gave it; a new one gets what any new file of
    // this process would, not the temporary file's user-only mode.
    const auto userRW = QFileDevice::ReadUser | QFileDevice::WriteUser;
    if (written)
        QCOMPARE(QFile::permissions(destination) & 0x0777,
                 existing ? userRW : userRW | QFileDevice::ReadGroup);

    const auto get = f.server.requests("GET", fetched.toUtf8());
    QCOMPARE(get.size(), 1);
    // A signed link carries its own token; the direct path needs the session's.
    QCOMPARE(sentAuth(get.first()) + get.first().query("token"),
             fetched.contains("/authenticated/") ? HostedAuth : "|t");
}

void TestVaultFiles::syncToCloudVault_data() {
    // preBody: "$" stands for the server's base URL
    // putStatus: 0: nothing may be put
    // confirmStatus: 0: nothing may be confirmed
    // expect: "<deduplicated> <message>", or the failure
    addColumns<int, QString, int, int, QString>(); // preStatus, preBody, putStatus, confirmStatus, expect
    const QString upload = R"({"deduplicated":false,"upload_url":"$/put/k1?sig=s","storage_key":"k1"})";
    const QString quota = "OrlavantQuota 402: Household quota exceeded. Please upgrade plan.";
    const QString bad = "URLError -1011";
    const QString deduplicated = "1 Deduplicated across Home vault",
                  uploaded = "0 Uploaded to Home cloud vault";
    row("deduplicated", 200, R"({"deduplicated":true})", 0, 0, deduplicated);
    row("upload 200, confirm 200", 200, upload, 200, 200, uploaded);
    row("quota 402 without message", 402, R"({"detail":"x"})", 0, 0, quota);
    row("upload url that does not parse", 200, R"({"upload_url":"not a url","storage_key":"k1"})", 0, 0, bad);
    row("upload refused 403", 200, upload, 403, 0, "URLError -3000");
    row("confirm refused", 200, upload, 200, 500, bad);
    row("no file to upload", 200, upload, 0, 0, "FileError 5");
}

void TestVaultFiles::syncToCloudVault() {
    const auto [preStatus, preBody, putStatus, confirmStatus, expect] =
        fetch<int, QString, int, int, QString>();
    VaultFixture f(true);
    f.on("POST", "/api/files/pre-upload", preStatus, preBody);
    f.on("PUT", "/put/k1", putStatus, "");
    f.on("POST", "/api/files/confirm", confirmStatus, "not read");
    const QString dir = makeTempDir("sync");
    const QByteArray bytes = randomBytes(70000);
    // A deduplicated answer must not even read the file, so there is none then; that case also
    // names its device by id.
    const bool dedup = expect.startsWith("1 ");
    const QString file = dir + "/clip.MP4";
    if (!dedup && !expect.startsWith("FileError"))
        writeFile(file, bytes);
    auto future = f.client->syncToCloudVault(file, "abc123", 5'000'000'000, "Family/clip.MP4", "Den",
                                             dedup ? std::optional<QString>("dev-42") : std::nullopt,
                                             "/home/jane/Family");
    const auto describe = [](const DeduplicateResult& r) {
        return QString::number(r.deduplicated) + ' ' + r.message + (r.file ? "(with a record)" : "");
    };
    VERIFY_OUTCOME(future, describe, expect);
    const auto pre = f.server.requests("POST", "/api/files/pre-upload");
    QCOMPARE(pre.size(), 1);
    QCOMPARE(sentAuth(pre.first()), "|Bearer user-token");
    QJsonObject expected = jsonObject(R"({"file_hash":"abc123","file_size":5000000000,"filename":"clip.MP4",
        "folder_path":"/home/jane/Family","mime_type":"video/mp4"})");
    expected.insert("device_id", dedup ? "dev-42" : "Den");
    QCOMPARE(jsonObject(pre.first().body), expected);
    const auto put = f.server.requests("PUT", "/put/k1");
    QCOMPARE(put.size(), putStatus ? 1 : 0);
    if (putStatus) {
        // The location is pre-signed: no credentials go with it.
        QCOMPARE(sentAuth(put.first()) + put.first().query("sig") + ' ' + put.first().header("content-type"),
                 "|s video/mp4");
        QVERIFY(put.first().body == bytes);
    }
    const auto confirm = f.server.requests("POST", "/api/files/confirm");
    QCOMPARE(confirm.size(), confirmStatus ? 1 : 0);
    if (confirmStatus) {
        expected.insert("storage_key", "k1");
        QCOMPARE(jsonObject(confirm.first().body), expected);
        QCOMPARE(sentAuth(confirm.first()), QByteArray("|Bearer user-token"));
    }
}

ORLAVANT_TEST_GUILESS_MAIN(TestVaultFiles)
#include "tst_vaultfiles.moc"
