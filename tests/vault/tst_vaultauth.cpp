#include "VaultTestSupport.h"

#include <QRegularExpression>
#include <QSignalSpy>

namespace {

const QString Rejected =
    QStringLiteral("OrlavantAuth 401: Invalid email or password. Please verify your credentials.");
const QString SessionKey = QStringLiteral("orlavant_supabase_session");

// A session as the hosted auth service answers it.
QString hostedSession(const QString& token) {
    return R"({"access_token":")" + token + R"(","token_type":"bearer","expires_in":3600,"refresh_token":"r1",
        "user":{"id":"u-hosted","email":"jane@example.com","role":"authenticated"}})";
}

// "<token>|<refresh token>|<user id>|<email>", "-" where absent.
QString describe(const std::optional<SupabaseSession>& s) {
    return s ? QStringList{s->accessToken, s->refreshToken.value_or("-"), s->userId, s->email.value_or("-")}
                   .join('|')
             : QStringLiteral("-");
}

} // namespace

class TestVaultAuth : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void restore_data();
    void restore();
    void sessionLifecycle();
    void hostedFailures_data();
    void hostedFailures();
    void backendSignIn_data();
    void backendSignIn();
};

void TestVaultAuth::restore_data() {
    addColumns<QString, QString>(); // stored, describe() of the restored session
    row("full auth reply with extra keys", hostedSession("t"), "t|r1|u-hosted|jane@example.com");
    row("empty token", R"({"access_token":"","user":{"id":"u"}})", "-");
    row("not JSON", "not json", "-");
}

void TestVaultAuth::restore() {
    const auto [stored, session] = fetch<QString, QString>();
    Settings settings(makeTempDir("restore") + "/o.conf");
    settings.setData(SessionKey, stored.toUtf8());
    HttpClient http;
    SupabaseClient client(settings, http);
    QCOMPARE(describe(client.currentSession()), session);
    QCOMPARE(client.isAuthenticated(), session != "-");
    // A session that cannot be read is left where it is.
    QCOMPARE(settings.data(SessionKey), std::optional<QByteArray>(stored.toUtf8()));
}

void TestVaultAuth::sessionLifecycle() {
    VaultFixture f(true); // signed in before: the new session replaces the stored one
    f.on("POST", "/auth/v1/token", 200, hostedSession("hosted"));
    QFuture<SupabaseSession> future;
    // What the engine finds when told: whether the caller had the result yet, the session, whether one is
    // stored.
    QStringList told;
    const auto record = [&] {
        told << QString::number(future.isFinished()) + ' ' + describe(f.client->currentSession()) + ' ' +
                    QString::number(f.settings.contains(SessionKey));
    };
    connect(f.client.get(), &SupabaseClient::signedIn, this, record);
    connect(f.client.get(), &SupabaseClient::signedOut, this, record);
    future = f.client->signIn("jane@example.com", "pa\"ss");
    const QString expected = "hosted|r1|u-hosted|jane@example.com";
    QCOMPARE(describe(resultOf(future)), expected);
    QCOMPARE(describe(SupabaseClient(f.settings, f.http).currentSession()), expected);
    const FakeServer::Request r = f.server.requests().first();
    QCOMPARE(r.target + ' ' + sentAuth(r) + ' ' + r.header("content-type"),
             "/auth/v1/token?grant_type=password test-anon-key|Bearer test-anon-key application/json");
    QCOMPARE(jsonObject(r.body), (QJsonObject{{"email", "jane@example.com"}, {"password", "pa\"ss"}}));

    QSignalSpy authChanged(f.client.get(), &SupabaseClient::isAuthenticatedChanged);
    f.client->signOut();
    QCOMPARE(told, QStringList({"0 " + expected + " 1", "1 - 0"}));
    QCOMPARE(authChanged.count(), 1);
    QCOMPARE(f.server.requestCount(), 1); // no backend, no device registration, nothing for signing out
    // The configuration stays, trimmed; an empty stored value leaves the default at the next start.
    f.settings.setString("orlavant_backend_base_url", "");
    SupabaseClient again(f.settings, f.http);
    QVERIFY(!again.isAuthenticated() && !f.client->isAuthenticated());
    QCOMPARE(QStringList({again.supabaseUrl(), again.supabaseAnonKey(), again.backendBaseUrl()}),
             QStringList({f.server.baseUrl(), "test-anon-key", SupabaseClient::DefaultBackendBaseUrl}));
}

void TestVaultAuth::hostedFailures_data() {
    // expect: an "OrlavantAuth" failure comes after asking the backend
    addColumns<bool, int, QString, QString>(); // signUp, status, body, expect
    const QString signUpError =
        "OrlavantAuth 400: Sign up error: " + VaultError::url(VaultError::CannotConnectToHost).description();
    row("400 error_description", false, 400, R"({"error_description":"Invalid login credentials"})",
        "SupabaseAuth 400: Invalid login credentials");
    // The last candidate refuses the connection, so its transport error is what the user sees.
    row("sign-up falls through to the last error", true, 500, "<html>", signUpError);
    row("200 with an empty token", false, 200, R"({"access_token":"","user":{"id":"u"}})",
        "DecodingError 4864");
}

void TestVaultAuth::hostedFailures() {
    const auto [signUp, status, body, expect] = fetch<bool, int, QString, QString>();
    const bool backendAsked = expect.startsWith("OrlavantAuth");
    SKIP_UNLESS_FIXED_PORTS_FREE(backendAsked);
    VaultFixture f;
    f.on("POST", signUp ? "/auth/v1/signup" : "/auth/v1/token", status, body);
    f.on("POST", "/api/auth/login", 401, R"({"detail":"no"})");
    f.on("POST", "/api/auth/register", 500, "{}");
    VERIFY_FAILS_WITH(signUp ? f.client->signUp("a@b.c", "pw") : f.client->signIn("a@b.c", "pw"), expect);
    QCOMPARE(f.server.requestCount(), backendAsked ? 2 : 1);
    QVERIFY(!f.client->isAuthenticated() && !f.settings.contains(SessionKey));
}

void TestVaultAuth::backendSignIn_data() {
    // status: 0: no answer at all
    // session: describe(), "*" for a fresh user id, or the failure
    addColumns<int, QString, QString>(); // status, body, session
    row("top-level token, user object", 200, R"({"access_token":"t","user":{"id":"u1","email":"s@x.y"}})",
        "t|-|u1|s@x.y");
    row("201, token under tokens, top-level user_id", 201,
        R"({"tokens":{"access_token":"t2"},"user_id":"u2"})", "t2|-|u2|typed@x.y");
    row("no user id: a fresh one each time", 200, R"({"access_token":"t"})", "t|-|*|typed@x.y");
    row("no answer in time", 0, "", Rejected); // the one case that waits out the 8-second limit
}

void TestVaultAuth::backendSignIn() {
    const auto [status, body, session] = fetch<int, QString, QString>();
    SKIP_UNLESS_FIXED_PORTS_FREE(session == Rejected);
    // The placeholder key means no hosted project: the backend is asked first.
    VaultFixture f(false, SupabaseClient::DefaultAnonKey);
    FakeServer::Reply reply = FakeServer::Reply::json(status, body.toUtf8());
    reply.hang = status == 0;
    f.server.on("POST", "/api/auth/login", reply);
    const QRegularExpression uuid("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$");
    const auto describeFresh = [&](SupabaseSession s) {
        s.userId = uuid.match(s.userId).hasMatch() ? "*" : s.userId;
        return describe(s);
    };
    VERIFY_OUTCOME(f.client->signIn("typed@x.y", "pw"), describeFresh, session);
    if (session.contains('*'))
        QVERIFY(resultOf(f.client->signIn("typed@x.y", "pw")).userId !=
                resultOf(f.client->signIn("typed@x.y", "pw")).userId);
    QVERIFY(f.server.requestCount() > 0);
    for (const FakeServer::Request& r : f.server.requests()) {
        QCOMPARE(r.path + ' ' + sentAuth(r) + ' ' + r.header("content-type"),
                 "/api/auth/login | application/json");
        QCOMPARE(jsonObject(r.body), (QJsonObject{{"email", "typed@x.y"}, {"password", "pw"}}));
    }
}

ORLAVANT_TEST_GUILESS_MAIN(TestVaultAuth)
#include "tst_vaultauth.moc"
