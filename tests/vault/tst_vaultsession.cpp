// Sessions that last: refresh after a refused token and ahead of expiry, one refresh for the
// whole client, rotated refresh tokens kept, and sessions that end for good doing so once.
#include "VaultTestSupport.h"
#include "support/FakeClock.h"
#include "support/FakeSessionVault.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

using namespace Qt::StringLiterals;
using Reply = FakeServer::Reply;

namespace {

const QString SessionKey = u"orlavant_supabase_session"_s;
const QString Expired = u"OrlavantAuth 401: Session expired \u2014 sign in again"_s;
const QByteArray FileBytes = "the bytes of a family photo";
// The server's time; a computer clock may be set apart from it by a skew.
const QDateTime ServerNow = QDateTime(QDate(2026, 1, 15), QTime(9, 30), Qt::UTC);

QString base64Url(const QByteArray& bytes) {
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// A token of JWT form whose claims are `exp` and `iat` seconds from the server's now (iat left
// out when `iatOffset` is absent).
QString jwt(qint64 expOffset, std::optional<qint64> iatOffset) {
    QJsonObject claims{{"sub", "user-1"}, {"exp", ServerNow.toSecsSinceEpoch() + expOffset}};
    if (iatOffset)
        claims.insert("iat", ServerNow.toSecsSinceEpoch() + *iatOffset);
    return base64Url(R"({"alg":"HS256","typ":"JWT"})") + '.' +
           base64Url(QJsonDocument(claims).toJson(QJsonDocument::Compact)) + u".signature"_s;
}

SupabaseSession hostedSession(const QString& token = u"access-0"_s) {
    return {token, u"refresh-0"_s, u"user-1"_s, u"jane@example.com"_s};
}

// A client signed in (as after a restart) with `session`, against the fake vault.
struct SessionFixture {
    explicit SessionFixture(const SupabaseSession& session = hostedSession(),
                            QDateTime computerNow = ServerNow)
        : clock(computerNow) {
        if (!session.accessToken.isEmpty())
            settings.setData(SessionKey, session.toJson());
        settings.setString(u"orlavant_supabase_url"_s, server.baseUrl());
        settings.setString(u"orlavant_supabase_key"_s, u"test-anon-key"_s);
        settings.setString(u"orlavant_backend_base_url"_s, server.baseUrl());
        client = std::make_unique<SupabaseClient>(settings, http, &clock);
        vault.protect("GET", "/rest/v1/files", Reply::json(200, "[]"));
        vault.protect("POST", "/api/files/pre-upload", Reply::json(200, R"({"deduplicated":true})"));
        vault.protectPrefix("POST", "/storage/v1/object/orlavant-files/", Reply::json(200, R"({"Key":"k"})"));
        vault.protectPrefix("GET", "/storage/v1/object/authenticated/", Reply::text(200, FileBytes));
        server.on("POST", "/storage/v1/object/sign/orlavant-files/a/photo.jpg", Reply::json(404, "{}"));
        server.on("POST", "/api/devices/register", Reply::json(200, "{}"));
    }

    // Runs one operation by name and tells how it ended: "ok", "false", or the failure as
    // "<domain> <code>" (with the description for the auth domain, whose texts the user reads).
    QString run(const QString& operation) {
        const auto okOrFalse = [](bool ok) { return ok ? u"ok"_s : u"false"_s; };
        try {
            if (operation == "upload")
                return okOrFalse(
                    resultOf(client->uploadToStorage(photo(), u"/a/photo.jpg"_s, u"image/jpeg"_s)));
            if (operation == "download")
                return okOrFalse(
                    resultOf(client->downloadFile(u"a/photo.jpg"_s, downloads + u"/photo.jpg"_s)));
            if (operation == "list")
                resultOf(client->fetchAllUserFiles());
            else if (operation == "pre-upload")
                resultOf(preUpload());
            else if (operation == "register device")
                resultOf(client->registerDevice(u"Mac"_s, u"mac"_s));
            else
                return u"(unknown operation)"_s;
            return u"ok"_s;
        } catch (const VaultError& e) {
            const QString text = u"%1 %2"_s.arg(e.domain()).arg(e.code());
            return e.domain() == "OrlavantAuth" ? text + u": "_s + e.description() : text;
        }
    }
    QFuture<DeduplicateResult> preUpload() {
        return client->syncToCloudVault(photo(), QString(64, 'a'), FileBytes.size(), u"photo.jpg"_s, u"Mac"_s,
                                        std::nullopt, u"/f"_s);
    }
    // Signs in at `backend`'s login as a session without a hosted project, then talks to `server`.
    void signInAtBackend(FakeServer& backend) {
        backend.on(
            "POST", "/api/auth/login",
            Reply::json(200,
                        R"({"access_token":"access-0","user":{"id":"user-1","email":"jane@example.com"}})"));
        client->configure(server.baseUrl(), SupabaseClient::DefaultAnonKey);
        client->setBackendUrl(backend.baseUrl());
        resultOf(client->signIn(u"jane@example.com"_s, u"pw"_s));
        client->setBackendUrl(server.baseUrl());
    }
    QString photo() {
        const QString path = dir + u"/photo.jpg"_s;
        QFile file(path);
        if (!file.exists() && file.open(QIODevice::WriteOnly))
            file.write(FileBytes);
        return path;
    }
    std::optional<SupabaseSession> stored() const {
        const auto data = settings.data(SessionKey);
        return data ? std::optional(SupabaseSession::fromJson(*data)) : std::nullopt;
    }
    QList<FakeServer::Request> refreshRequests() const { return server.requests("POST", "/auth/v1/token"); }

    FakeServer server;
    FakeSessionVault vault{server};
    QString dir = makeTempDir(u"session"_s);
    QString downloads = makeTempDir(u"downloads"_s);
    Settings settings{dir + u"/o.conf"_s};
    FakeClock clock;
    HttpClient http;
    std::unique_ptr<SupabaseClient> client;
};

QString describe(const std::optional<SupabaseSession>& s) {
    return s ? s->accessToken + '|' + s->refreshToken.value_or("-") : u"-"_s;
}

} // namespace

class TestVaultSession : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void refreshAfterARefusedToken_data();
    void refreshAfterARefusedToken();
    void concurrentRefusalsShareOneRefresh_data();
    void concurrentRefusalsShareOneRefresh();
    void refusalOfAFreshTokenIsNotExpiry_data();
    void refusalOfAFreshTokenIsNotExpiry();
    void refreshAheadOfExpiry_data();
    void refreshAheadOfExpiry();
    void rotatedRefreshTokenSurvivesARestart();
    void sessionThatCannotBeRenewed_data();
    void sessionThatCannotBeRenewed();
    void sessionKeptWhenRefreshingFailsForNow_data();
    void sessionKeptWhenRefreshingFailsForNow();
    void signOutDuringARefresh();
};

void TestVaultSession::refreshAfterARefusedToken_data() {
    // outcome: of the operation, "ok" when one refresh ran and the request went again with its token
    addColumns<QString, int, QString, QString>(); // operation, status, body, outcome
    row("registry listing, PostgREST's JWT code", u"list"_s, 403,
        uR"({"code":"PGRST301","message":"JWT expired"})"_s, u"ok"_s);
    row("storage upload, 400 carrying 403 and a JWT message", u"upload"_s, 400,
        uR"({"statusCode":"403","error":"Unauthorized","message":"jwt expired"})"_s, u"ok"_s);
    row("direct download, 401", u"download"_s, 401, u"{}"_s, u"ok"_s);
    row("storage 400 carrying 403 without a JWT message", u"upload"_s, 400,
        uR"({"statusCode":"403","message":"new row violates row-level security policy"})"_s, u"false"_s);
    row("plain 403", u"list"_s, 403, uR"({"message":"permission denied"})"_s, u"URLError -1011"_s);
}

void TestVaultSession::refreshAfterARefusedToken() {
    const auto [operation, status, body, outcome] = fetch<QString, int, QString, QString>();
    const bool refreshed = outcome == "ok";
    const QByteArray route = QHash<QString, QByteArray>{
        {u"list"_s, "/rest/v1/files"},
        {u"upload"_s, "/storage/v1/object/orlavant-files/a/photo.jpg"},
        {u"pre-upload"_s, "/api/files/pre-upload"},
        {u"download"_s, "/storage/v1/object/authenticated/orlavant-files/a/photo.jpg"}}[operation];
    SessionFixture f;
    f.vault.refusal = Reply::json(status, body.toUtf8());
    QCOMPARE(f.run(operation), outcome);

    QCOMPARE(f.refreshRequests().size(), refreshed ? 1 : 0);
    QStringList sent; // the tokens the scripted route saw, in order; a retry is the same request
    for (const FakeServer::Request& r : f.server.requests()) {
        if (r.path != route)
            continue;
        sent.append(QString::fromUtf8(r.header("authorization")));
        if (operation == "upload")
            QCOMPARE(r.body, FileBytes);
    }
    QStringList expected{u"Bearer access-0"_s};
    if (refreshed)
        expected << u"Bearer access-1"_s;
    QCOMPARE(sent, expected);
    if (!refreshed) {
        QCOMPARE(describe(f.stored()), u"access-0|refresh-0"_s);
        return;
    }
    // Asked as a hosted sign-in is, with the refresh token in the body.
    const FakeServer::Request refresh = f.refreshRequests().first();
    QCOMPARE(
        refresh.target + ' ' + sentAuth(refresh) + ' ' + refresh.body,
        R"(/auth/v1/token?grant_type=refresh_token test-anon-key|Bearer test-anon-key {"refresh_token":"refresh-0"})");
    // A download retried leaves no temporary file.
    if (operation == "download")
        QCOMPARE(QDir(f.downloads).entryList(QDir::Files | QDir::Hidden), QStringList{u"photo.jpg"_s});
    // Rotated and kept: in the settings store at once, the observable session on the main thread.
    QCOMPARE(describe(f.stored()), u"access-1|refresh-1"_s);
    QTRY_COMPARE_WITH_TIMEOUT(describe(f.client->currentSession()), u"access-1|refresh-1"_s, 20000);
    QVERIFY(f.client->isAuthenticated());
}

void TestVaultSession::concurrentRefusalsShareOneRefresh_data() {
    QTest::addColumn<bool>("renewable"); // else a backend session (no refresh token): it ends, once
    QTest::newRow("hosted session: one refresh for all") << true;
    QTest::newRow("backend session: ended once for all") << false;
}

void TestVaultSession::concurrentRefusalsShareOneRefresh() {
    QFETCH(bool, renewable);
    SupabaseSession session = hostedSession();
    if (!renewable)
        session.refreshToken.reset();
    SessionFixture f(session);
    // The refresh is answered only once a dozen refused requests are waiting for it.
    f.vault.holdRefresh(12, true);
    QSignalSpy expired(f.client.get(), &SupabaseClient::sessionExpired);
    QList<QFuture<DeduplicateResult>> calls;
    for (int i = 0; i < 20; ++i)
        calls.append(f.preUpload());
    for (const auto& call : calls)
        VERIFY_FAILS_WITH(call, renewable ? u"(succeeded)"_s : u"OrlavantAuth 401"_s);
    QCOMPARE(f.vault.refreshCount(), renewable ? 1 : 0);
    QVERIFY(!renewable || f.vault.refusalCount() >= 12);
    // Every call went at most twice: with the old token, and once with the new one.
    QVERIFY(f.server.requests("POST", "/api/files/pre-upload").size() <= 40);
    QCOMPARE(describe(f.stored()), renewable ? u"access-1|refresh-1"_s : u"-"_s);
    QTRY_COMPARE_WITH_TIMEOUT(expired.size(), renewable ? 0 : 1, 20000);
    QCoreApplication::processEvents();
    QCOMPARE(expired.size(), renewable ? 0 : 1);
}

void TestVaultSession::refusalOfAFreshTokenIsNotExpiry_data() {
    // A server that takes none of this session's tokens at all: refreshing cannot help, so it
    // is not done for every file, and a session just signed in is not ended at once.
    QTest::addColumn<bool>("hosted");          // else a backend session, which cannot be refreshed
    QTest::addColumn<QString>("aMinuteLater"); // the outcome once the token may have expired
    QTest::newRow("hosted session") << true << u"URLError -1011"_s;
    QTest::newRow("backend session") << false << Expired;
}

void TestVaultSession::refusalOfAFreshTokenIsNotExpiry() {
    QFETCH(bool, hosted);
    QFETCH(QString, aMinuteLater);
    SessionFixture f(hosted ? hostedSession() : SupabaseSession{});
    if (!hosted)
        f.signInAtBackend(f.server);
    f.server.on("POST", "/api/files/pre-upload", Reply::json(401, R"({"detail":"unknown token"})"));
    QCOMPARE(f.run(u"pre-upload"_s), u"URLError -1011"_s);
    QCOMPARE(f.run(u"pre-upload"_s), u"URLError -1011"_s);
    QCOMPARE(f.vault.refreshCount(), hosted ? 1 : 0);
    QCOMPARE(f.server.requests("POST", "/api/files/pre-upload").size(), hosted ? 3 : 2);
    QVERIFY(f.client->isAuthenticated());
    // A minute on, the token may really have expired: a hosted one is refreshed (once), a
    // backend one has come to its end.
    f.clock.advanceMs(TokenExpiry::FreshMs);
    QCOMPARE(f.run(u"pre-upload"_s), aMinuteLater);
    QCOMPARE(f.vault.refreshCount(), hosted ? 2 : 0);
    QTRY_COMPARE_WITH_TIMEOUT(f.client->isAuthenticated(), hosted, 20000);
}

void TestVaultSession::refreshAheadOfExpiry_data() {
    // start: "restored" (a saved session) or "signed in" (a hosted sign-in whose reply gives
    //   expires_in when it is above 0); the token's claims are seconds from the server's time
    // skew: the computer's clock minus the server's, in seconds; later: minutes that pass
    // refreshes: after three requests; firstSent: the token of the first protected request. The
    // vault takes the first token unless it was sent and still a refresh followed.
    addColumns<QString, int, qint64, qint64, qint64, int, int, QString>();
    // start, expires_in, exp, iat (0: none), skew, later, refreshes, firstSent
    row("restored, 4 minutes left", u"restored"_s, 0, qint64(240), qint64(-3360), qint64(0), 0, 1,
        u"access-1"_s);
    row("restored, 6 minutes left", u"restored"_s, 0, qint64(360), qint64(-3240), qint64(0), 0, 0,
        u"initial"_s);
    row("restored, computer clock 3 hours ahead", u"restored"_s, 0, qint64(3000), qint64(-600),
        qint64(3 * 3600), 0, 1, u"access-1"_s);
    row("restored, computer clock 3 hours behind, token dead", u"restored"_s, 0, qint64(-60), qint64(-3660),
        qint64(-3 * 3600), 0, 1, u"initial"_s);
    row("signed in, 56 minutes later", u"signed in"_s, 3600, qint64(3600), qint64(0), qint64(0), 56, 1,
        u"access-1"_s);
    row("signed in, lifetime from exp - iat, 56 minutes later", u"signed in"_s, 0, qint64(3600), qint64(-1),
        qint64(-2 * 3600), 56, 1, u"access-1"_s);
}

void TestVaultSession::refreshAheadOfExpiry() {
    const auto [start, expiresIn, exp, iat, skew, later, refreshes, firstSent] =
        fetch<QString, int, qint64, qint64, qint64, int, int, QString>();
    const bool acceptedAtFirst = !(firstSent == "initial" && refreshes == 1);
    const QString initial = jwt(exp, iat == 0 ? std::nullopt : std::optional<qint64>(iat));
    const QDateTime computerNow = ServerNow.addSecs(skew);
    SessionFixture f(start == "restored" ? hostedSession(initial) : SupabaseSession{}, computerNow);
    if (acceptedAtFirst)
        f.vault.accept(initial);
    if (start == "signed in") {
        QJsonObject reply{{"access_token", initial},
                          {"refresh_token", "refresh-0"},
                          {"user", QJsonObject{{"id", "user-1"}, {"email", "jane@example.com"}}}};
        if (expiresIn > 0)
            reply.insert("expires_in", expiresIn);
        f.vault.signIn = Reply::json(200, QJsonDocument(reply).toJson());
        resultOf(f.client->signIn(u"jane@example.com"_s, u"pw"_s));
    }
    f.clock.advanceMs(qint64(later) * 60'000);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(f.run(u"list"_s), u"ok"_s);
    QCOMPARE(f.vault.refreshCount(), refreshes);
    const auto listed = f.server.requests("GET", "/rest/v1/files");
    QCOMPARE(listed.size(), acceptedAtFirst ? 3 : 4);
    QCOMPARE(listed.first().header("authorization"),
             "Bearer " + (firstSent == "initial" ? initial : firstSent).toUtf8());
}

void TestVaultSession::rotatedRefreshTokenSurvivesARestart() {
    SessionFixture f;
    QCOMPARE(f.run(u"list"_s), u"ok"_s);
    // The stored form is the one it always was: three keys, the user inside.
    const QJsonObject stored = jsonObject(*f.settings.data(SessionKey));
    QCOMPARE(stored, (QJsonObject{{"access_token", "access-1"},
                                  {"refresh_token", "refresh-1"},
                                  {"user", QJsonObject{{"id", "user-1"}, {"email", "jane@example.com"}}}}));

    // A restart: the new client has the rotated tokens, and its refresh presents the new one
    // (the spent one would be refused).
    f.client.reset();
    f.client = std::make_unique<SupabaseClient>(f.settings, f.http, &f.clock);
    QCOMPARE(describe(f.client->currentSession()), u"access-1|refresh-1"_s);
    f.vault.expireEveryToken();
    QCOMPARE(f.run(u"list"_s), u"ok"_s);
    QCOMPARE(jsonObject(f.refreshRequests().last().body).value("refresh_token"), "refresh-1");
    QCOMPARE(describe(f.stored()), u"access-2|refresh-2"_s);
}

void TestVaultSession::sessionThatCannotBeRenewed_data() {
    // refresh reply: how the refresh is answered; none: a backend session, which has no refresh
    // token (a refresh token somebody else spent first is answered as the 400 row)
    addColumns<QString, int, QString>(); // operation, status, refresh reply
    row("refresh refused with 400", u"list"_s, 400,
        uR"({"error":"invalid_grant","error_description":"Invalid Refresh Token: Refresh Token Not Found"})"_s);
    row("refresh answered for another account", u"upload"_s, 200,
        uR"({"access_token":"theirs","refresh_token":"r","expires_in":3600,"user":{"id":"user-2","email":"x@y.z"}})"_s);
    row("backend session refused by its backend", u"pre-upload"_s, 0, QString());
}

void TestVaultSession::sessionThatCannotBeRenewed() {
    const auto [operation, status, refreshBody] = fetch<QString, int, QString>();
    const bool backend = status == 0;
    SupabaseSession session = hostedSession();
    if (backend)
        session.refreshToken.reset();
    SessionFixture f(session);
    f.vault.answerRefreshWith([&](int) { return Reply::json(status, refreshBody.toUtf8()); });
    QSignalSpy expired(f.client.get(), &SupabaseClient::sessionExpired);
    QSignalSpy authChanged(f.client.get(), &SupabaseClient::isAuthenticatedChanged);

    QCOMPARE(f.run(operation), Expired);
    // One refresh asked (none for a session that has no refresh token), and no second.
    QCOMPARE(f.vault.refreshCount(), backend ? 0 : 1);
    QTRY_COMPARE_WITH_TIMEOUT(expired.size(), 1, 20000);
    QCOMPARE(expired.first().first().toString(), u"jane@example.com"_s);
    QVERIFY(!f.client->isAuthenticated());
    QCOMPARE(authChanged.size(), 1);
    // A restart does not bring the refused session back, and still offers the e-mail.
    QCOMPARE(describe(f.stored()), u"-"_s);
    SupabaseClient restarted(f.settings, f.http, &f.clock);
    QVERIFY(!restarted.isAuthenticated());
    QCOMPARE(restarted.expiredSessionEmail(), std::optional(u"jane@example.com"_s));

    // Not a loop: nothing more goes to the vault, and it is said once.
    f.server.clearRequests();
    for (const QString& next : {u"list"_s, u"upload"_s, u"pre-upload"_s, u"download"_s, u"register device"_s})
        f.run(next);
    QCOMPARE(f.server.requestCount(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(expired.size(), 1);
}

void TestVaultSession::sessionKeptWhenRefreshingFailsForNow_data() {
    // refresh: "500", "hang" (no answer within the refresh time-out: the one slow case),
    //   "none" (a session without refresh token) or "elsewhere" (a backend session refused by
    //   a backend that did not issue it); outcome: of the first operation
    addColumns<QString, QString, QString,
               int>(); // operation, refresh, outcome, refreshes after two operations
    row("refresh answered 500", u"list"_s, u"500"_s, u"URLError -1011"_s, 2);
    row("refresh not answered in time", u"pre-upload"_s, u"hang"_s, u"URLError -1011"_s, 2);
    row("backend session refused by a backend that did not issue it", u"pre-upload"_s, u"elsewhere"_s,
        u"URLError -1011"_s, 0);
}

void TestVaultSession::sessionKeptWhenRefreshingFailsForNow() {
    const auto [operation, refresh, outcome, refreshes] = fetch<QString, QString, QString, int>();
    const bool backend = refresh == "none" || refresh == "elsewhere";
    SupabaseSession session = hostedSession();
    if (backend)
        session.refreshToken.reset();
    SessionFixture f(backend && refresh == "elsewhere" ? SupabaseSession{} : session);
    if (refresh == "elsewhere") {
        FakeServer issuer; // signed in at one backend, then pointed at another
        f.signInAtBackend(issuer);
        f.clock.advanceMs(TokenExpiry::FreshMs); // no longer a token just issued
    }
    f.vault.answerRefreshWith([&](int count) {
        Reply reply = Reply::json(500, "<html>Bad gateway</html>");
        reply.hang = refresh == "hang" && count == 1;
        return reply;
    });
    QSignalSpy expired(f.client.get(), &SupabaseClient::sessionExpired);
    QCOMPARE(f.run(operation), outcome);
    // The next request tries again.
    QCOMPARE(f.run(operation), outcome);
    QCOMPARE(f.vault.refreshCount(), refreshes);
    QCoreApplication::processEvents();
    QCOMPARE(expired.size(), 0);
    QVERIFY(f.client->isAuthenticated());
    QCOMPARE(describe(f.stored()), backend ? u"access-0|-"_s : u"access-0|refresh-0"_s);
}

void TestVaultSession::signOutDuringARefresh() {
    SessionFixture f;
    f.vault.holdRefresh(0, false); // the refresh waits for the test
    QSignalSpy expired(f.client.get(), &SupabaseClient::sessionExpired);
    QFuture<QList<SupabaseFileRecord>> call = f.client->fetchAllUserFiles();
    QTRY_COMPARE_WITH_TIMEOUT(f.vault.refreshCount(), 1, 20000);
    f.client->signOut();
    f.vault.release();
    VERIFY_FAILS_WITH(call, u"SupabaseClient 401: User not logged in"_s);
    // The refresh's answer came after the sign-out: it brings nothing back, now or after a restart.
    QCoreApplication::processEvents();
    QVERIFY(!f.client->isAuthenticated());
    QCOMPARE(describe(f.client->currentSession()), u"-"_s);
    QCOMPARE(describe(f.stored()), u"-"_s);
    QVERIFY(!SupabaseClient(f.settings, f.http, &f.clock).isAuthenticated());
    QCOMPARE(expired.size(), 0);
}

ORLAVANT_TEST_GUILESS_MAIN(TestVaultSession)
#include "tst_vaultsession.moc"
