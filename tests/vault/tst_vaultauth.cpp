#include "VaultTestSupport.h"
#include "platform/ProductionServer.h"
#include "support/LogCapture.h"

#include <QRegularExpression>
#include <QSignalSpy>

namespace {

const QString InvalidCredentials =
    QStringLiteral("Invalid email or password. Please verify your credentials.");

// A session row as the hosted auth service answers it.
QByteArray hostedSession(const QByteArray& token) {
    return R"({"access_token":")" + token +
           R"(","token_type":"bearer","expires_in":3600,"refresh_token":"r1","user":{"id":"u-hosted","email":"jane@example.com","role":"authenticated"}})";
}

} // namespace

class TestVaultAuth : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void defaults();
    void configureTrimsAndPersists_data();
    void configureTrimsAndPersists();
    void emptyStoredUrlKeepsDefault();
    void restore_data();
    void restore();
    void signOutForgetsSessionButKeepsConfiguration();

    void hostedSignInSendsCredentialsAndStoresSession();
    void hostedFailures_data();
    void hostedFailures();
    void placeholderKeyGoesStraightToBackend();
    void backendReplies_data();
    void backendReplies();
    void backendUserIdIsFreshEachTime();
    void backendTimeoutMovesOn();
    void signUpDisplayName_data();
    void signUpDisplayName();
    void signUpFailureWrapsLastError();
    void signInTwiceReplacesStoredSession();

    void demoCandidates_data();
    void demoCandidates();
    void demoFallsBackWithNoServer();

    void registerDevice();
    void deviceCallsWithoutSessionSendNothing();
    void bindDeviceSyncFolder_data();
    void bindDeviceSyncFolder();
};

void TestVaultAuth::defaults() {
    Settings settings(makeTempDir("defaults") + "/o.conf");
    HttpClient http;
    SupabaseClient client(settings, http);
    QVERIFY(client.supabaseUrl().startsWith("https://"));
    QVERIFY(!client.supabaseUrl().endsWith('/'));
    QVERIFY(client.supabaseAnonKey().contains("placeholder"));
    QCOMPARE(client.supabaseAnonKey().count('.'), 2); // JWT form
    QCOMPARE(client.backendBaseUrl(), Production::baseUrl);
    QVERIFY(!client.isAuthenticated());
    QVERIFY(!client.currentSession());
}

void TestVaultAuth::configureTrimsAndPersists_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("stored");
    QTest::newRow("three trailing slashes") << "https://p.example.co///"
                                            << "https://p.example.co";
    QTest::newRow("slash at both ends") << "/https://p.example.co/"
                                        << "https://p.example.co";
    QTest::newRow("inner slashes kept") << "https://p.example.co/base/"
                                        << "https://p.example.co/base";
    QTest::newRow("only slashes") << "///"
                                  << "";
}

void TestVaultAuth::configureTrimsAndPersists() {
    QFETCH(QString, url);
    QFETCH(QString, stored);
    const QString path = makeTempDir("configure") + "/o.conf";
    const QString key = QStringLiteral(" key with spaces ");
    {
        Settings settings(path);
        HttpClient http;
        SupabaseClient client(settings, http);
        QSignalSpy urlSpy(&client, &SupabaseClient::supabaseUrlChanged);
        QSignalSpy backendSpy(&client, &SupabaseClient::backendBaseUrlChanged);
        client.configure(url, key);
        client.setBackendUrl(url);
        QCOMPARE(client.supabaseUrl(), stored);
        QCOMPARE(client.supabaseAnonKey(), key);
        QCOMPARE(client.backendBaseUrl(), stored);
        QCOMPARE(urlSpy.count(), 1);
        QCOMPARE(backendSpy.count(), 1);
        QCOMPARE(settings.string("orlavant_supabase_url"), stored);
        QCOMPARE(settings.string("orlavant_supabase_key"), key);
        QCOMPARE(settings.string("orlavant_backend_base_url"), stored);
    }
    Settings settings(path);
    HttpClient http;
    SupabaseClient client(settings, http);
    QCOMPARE(client.supabaseAnonKey(), key);
    // An empty stored value is ignored at start: the built-in default stays.
    QCOMPARE(client.supabaseUrl(), stored.isEmpty() ? SupabaseClient::DefaultSupabaseUrl : stored);
}

void TestVaultAuth::emptyStoredUrlKeepsDefault() {
    Settings settings(makeTempDir("empty") + "/o.conf");
    settings.setString("orlavant_supabase_url", "");
    settings.setString("orlavant_supabase_key", "");
    settings.setString("orlavant_backend_base_url", "");
    HttpClient http;
    SupabaseClient client(settings, http);
    QCOMPARE(client.supabaseUrl(), SupabaseClient::DefaultSupabaseUrl);
    QCOMPARE(client.supabaseAnonKey(), SupabaseClient::DefaultAnonKey);
    QCOMPARE(client.backendBaseUrl(), SupabaseClient::DefaultBackendBaseUrl);
}

void TestVaultAuth::restore_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("authenticated");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<bool>("logged");
    QTest::newRow("full session") << hostedSession("t1") << true << "u-hosted" << false;
    QTest::newRow("no user object") << QByteArray(R"({"access_token":"t1"})") << true << "" << false;
    QTest::newRow("empty token") << QByteArray(R"({"access_token":"","user":{"id":"u"}})") << false << ""
                                 << false;
    QTest::newRow("not JSON") << QByteArray("not json") << false << "" << true;
    QTest::newRow("user without id") << QByteArray(R"({"access_token":"t1","user":{}})") << false << ""
                                     << true;
}

void TestVaultAuth::restore() {
    QFETCH(QByteArray, stored);
    QFETCH(bool, authenticated);
    QFETCH(bool, logged);
    Settings settings(makeTempDir("restore") + "/o.conf");
    settings.setData("orlavant_supabase_session", stored);
    HttpClient http;
    LogCapture log;
    SupabaseClient client(settings, http);
    QCOMPARE(client.isAuthenticated(), authenticated);
    QCOMPARE(client.currentSession().has_value(), authenticated);
    if (authenticated)
        QTEST(client.currentSession()->userId, "userId");
    const QStringList lines = log.linesStartingWith("[SupabaseClient] Error restoring session: ");
    QCOMPARE(lines.size(), logged ? 1 : 0);
    if (logged)
        QVERIFY(lines.first().size() > QStringLiteral("[SupabaseClient] Error restoring session: ").size());
    // A session that cannot be read is left where it is.
    QCOMPARE(settings.data("orlavant_supabase_session"), std::optional<QByteArray>(stored));
}

void TestVaultAuth::signOutForgetsSessionButKeepsConfiguration() {
    VaultFixture f(VaultFixture::session());
    QVERIFY(f.client->isAuthenticated());
    QSignalSpy signedOut(f.client.get(), &SupabaseClient::signedOut);
    QSignalSpy authChanged(f.client.get(), &SupabaseClient::isAuthenticatedChanged);
    bool clearedBeforeSignal = false;
    connect(f.client.get(), &SupabaseClient::signedOut, this, [&] {
        clearedBeforeSignal =
            !f.client->isAuthenticated() && !f.settings->contains("orlavant_supabase_session");
    });
    f.client->signOut();
    QCOMPARE(signedOut.count(), 1);
    QCOMPARE(authChanged.count(), 1);
    QVERIFY(clearedBeforeSignal);
    QVERIFY(!f.client->currentSession());
    QCOMPARE(f.server.requestCount(), 0);

    HttpClient http;
    SupabaseClient again(*f.settings, http);
    QVERIFY(!again.isAuthenticated());
    QCOMPARE(again.supabaseUrl(), f.server.baseUrl());
    QCOMPARE(again.supabaseAnonKey(), QStringLiteral("test-anon-key"));
    QCOMPARE(again.backendBaseUrl(), f.server.baseUrl());
}

void TestVaultAuth::hostedSignInSendsCredentialsAndStoresSession() {
    VaultFixture f;
    f.server.on("POST", "/auth/v1/token", FakeServer::Reply::json(200, hostedSession("hosted-token")));
    QFuture<SupabaseSession> future;
    bool finishedAtSignal = true;
    bool authenticatedAtSignal = false;
    QSignalSpy signedIn(f.client.get(), &SupabaseClient::signedIn);
    connect(f.client.get(), &SupabaseClient::signedIn, this, [&](const SupabaseSession&) {
        finishedAtSignal = future.isFinished();
        authenticatedAtSignal = f.client->isAuthenticated();
    });
    future = f.client->signIn("jane@example.com", "pa\"ss");
    const SupabaseSession session = resultOf(future);

    QCOMPARE(session.accessToken, QStringLiteral("hosted-token"));
    QCOMPARE(session.userId, QStringLiteral("u-hosted"));
    QCOMPARE(signedIn.count(), 1);
    QVERIFY2(!finishedAtSignal, "the future completed before the engine was told");
    QVERIFY(authenticatedAtSignal);
    QCOMPARE(f.client->currentSession(), std::optional<SupabaseSession>(session));
    QCOMPARE(SupabaseSession::fromJson(*f.settings->data("orlavant_supabase_session")), session);

    const auto requests = f.server.requests("POST", "/auth/v1/token");
    QCOMPARE(requests.size(), 1);
    const FakeServer::Request& r = requests.first();
    QCOMPARE(r.query("grant_type"), QByteArray("password"));
    QCOMPARE(r.header("apikey"), QByteArray("test-anon-key"));
    QCOMPARE(r.header("authorization"), QByteArray("Bearer test-anon-key"));
    QCOMPARE(r.header("content-type"), QByteArray("application/json"));
    const QJsonObject body = jsonObject(r.body);
    QCOMPARE(body.size(), 2);
    QCOMPARE(body.value("email").toString(), QStringLiteral("jane@example.com"));
    QCOMPARE(body.value("password").toString(), QStringLiteral("pa\"ss"));
    QCOMPARE(f.server.requestCount(), 1); // no backend, and no device registration from the client
}

void TestVaultAuth::hostedFailures_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("signUp");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("backendTried");

    QTest::newRow("400 error_description")
        << 400 << QByteArray(R"({"error_description":"Invalid login credentials"})") << false
        << "SupabaseAuth" << 400 << "Invalid login credentials" << false;
    QTest::newRow("numeric error_description, msg text")
        << 400 << QByteArray(R"({"error_description":7,"msg":"Email not confirmed"})") << false
        << "SupabaseAuth" << 400 << "Email not confirmed" << false;
    QTest::newRow("422 message on sign-up")
        << 422 << QByteArray(R"({"message":"User already registered"})") << true << "SupabaseAuth" << 422
        << "User already registered" << false;
    QTest::newRow("empty message falls through") << 400 << QByteArray(R"({"error_description":""})") << false
                                                 << "OrlavantAuth" << 401 << InvalidCredentials << true;
    QTest::newRow("500 html falls through") << 500 << QByteArray("<html>oops</html>") << false
                                            << "OrlavantAuth" << 401 << InvalidCredentials << true;
    QTest::newRow("array body falls through")
        << 400 << QByteArray(R"(["x"])") << false << "OrlavantAuth" << 401 << InvalidCredentials << true;
    QTest::newRow("200 without a session")
        << 200 << QByteArray(R"({"user":{"id":"u"}})") << false << "DecodingError" << 4865 << "" << false;
    QTest::newRow("sign-up 201 awaiting confirmation")
        << 201 << QByteArray(R"({"id":"u","email":"a@b.c","confirmation_sent_at":"now"})") << true
        << "DecodingError" << 4865 << "" << false;
    QTest::newRow("200 with an empty token") << 200 << QByteArray(R"({"access_token":"","user":{"id":"u"}})")
                                             << false << "DecodingError" << 4864 << "" << false;
    QTest::newRow("sign-in 201 is not success")
        << 201 << hostedSession("t") << false << "OrlavantAuth" << 401 << InvalidCredentials << true;
}

void TestVaultAuth::hostedFailures() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, signUp);
    QFETCH(bool, backendTried);
    if (backendTried)
        SKIP_UNLESS_FIXED_PORTS_FREE();
    VaultFixture f;
    f.server.on("POST", signUp ? "/auth/v1/signup" : "/auth/v1/token", FakeServer::Reply::json(status, body));
    f.server.on("POST", "/api/auth/login", FakeServer::Reply::json(401, R"({"detail":"no"})"));
    QSignalSpy signedIn(f.client.get(), &SupabaseClient::signedIn);
    const VaultError error =
        errorOf(signUp ? f.client->signUp("a@b.c", "pw") : f.client->signIn("a@b.c", "pw"));
    QTEST(error.domain(), "domain");
    QTEST(error.code(), "code");
    QFETCH(QString, description);
    if (!description.isEmpty())
        QCOMPARE(error.description(), description);
    QCOMPARE(f.server.requests("POST", "/api/auth/login").size(), backendTried ? 1 : 0);
    QCOMPARE(signedIn.count(), 0);
    QVERIFY(!f.client->isAuthenticated());
    QVERIFY(!f.settings->contains("orlavant_supabase_session"));
}

void TestVaultAuth::placeholderKeyGoesStraightToBackend() {
    VaultFixture f(std::nullopt, SupabaseClient::DefaultAnonKey);
    f.server.on("POST", "/api/auth/login",
                FakeServer::Reply::json(200, R"({"access_token":"b1","user":{"id":"u9","email":"x@y.z"}})"));
    const SupabaseSession session = resultOf(f.client->signIn("a@b.c", "pw"));
    QCOMPARE(session, (SupabaseSession{"b1", std::nullopt, "u9", "x@y.z"}));
    QCOMPARE(f.server.requestCount(), 1);
    const FakeServer::Request r = f.server.requests().first();
    QCOMPARE(r.path, QByteArray("/api/auth/login"));
    QVERIFY(!r.hasHeader("apikey"));
    QVERIFY(!r.hasHeader("authorization"));
    QCOMPARE(r.header("content-type"), QByteArray("application/json"));
    QCOMPARE(jsonObject(r.body), (QJsonObject{{"email", "a@b.c"}, {"password", "pw"}}));
    QVERIFY(f.client->isAuthenticated());
}

void TestVaultAuth::backendReplies_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("token"); // empty: no candidate gives a session
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("email");

    QTest::newRow("top-level token, user object")
        << 200 << QByteArray(R"({"access_token":"t","user":{"id":"u1","email":"srv@x.y"}})") << "t"
        << "u1"
        << "srv@x.y";
    QTest::newRow("201, token under tokens, top-level user_id")
        << 201 << QByteArray(R"({"tokens":{"access_token":"t2"},"user_id":"u2"})") << "t2"
        << "u2"
        << "typed@x.y";
    QTest::newRow("token object") << 200
                                  << QByteArray(R"({"token":{"access_token":"t3"},"user":{"id":"u3"}})")
                                  << "t3"
                                  << "u3"
                                  << "typed@x.y";
    QTest::newRow("user id not text falls to user_id")
        << 200 << QByteArray(R"({"access_token":"t","user":{"id":5},"user_id":"u4"})") << "t"
        << "u4"
        << "typed@x.y";
    QTest::newRow("plain token text is not accepted") << 200 << QByteArray(R"({"token":"t"})") << ""
                                                      << ""
                                                      << "";
    QTest::newRow("empty token") << 200 << QByteArray(R"({"access_token":""})") << ""
                                 << ""
                                 << "";
    QTest::newRow("202 is not success") << 202 << QByteArray(R"({"access_token":"t"})") << ""
                                        << ""
                                        << "";
    QTest::newRow("array body") << 200 << QByteArray(R"([{"access_token":"t"}])") << ""
                                << ""
                                << "";
    QTest::newRow("empty body") << 200 << QByteArray() << ""
                                << ""
                                << "";
}

void TestVaultAuth::backendReplies() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, token);
    if (token.isEmpty())
        SKIP_UNLESS_FIXED_PORTS_FREE();
    VaultFixture f(std::nullopt, SupabaseClient::DefaultAnonKey);
    f.server.on("POST", "/api/auth/login", FakeServer::Reply::json(status, body));
    auto future = f.client->signIn("typed@x.y", "pw");
    if (token.isEmpty()) {
        const VaultError error = errorOf(future);
        QCOMPARE(error.domain(), QStringLiteral("OrlavantAuth"));
        QCOMPARE(error.code(), 401);
        QCOMPARE(error.description(), InvalidCredentials);
        return;
    }
    const SupabaseSession session = resultOf(future);
    QCOMPARE(session.accessToken, token);
    QTEST(session.userId, "userId");
    QTEST(*session.email, "email");
    QVERIFY(!session.refreshToken);
}

void TestVaultAuth::backendUserIdIsFreshEachTime() {
    VaultFixture f(std::nullopt, SupabaseClient::DefaultAnonKey);
    f.server.on("POST", "/api/auth/login", FakeServer::Reply::json(200, R"({"access_token":"t"})"));
    const QString first = resultOf(f.client->signIn("a@b.c", "pw")).userId;
    const QString second = resultOf(f.client->signIn("a@b.c", "pw")).userId;
    const QRegularExpression uuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    QVERIFY2(uuid.match(first).hasMatch(), qPrintable(first));
    QVERIFY(uuid.match(second).hasMatch());
    QVERIFY(first != second);
}

void TestVaultAuth::backendTimeoutMovesOn() {
    // The one test that waits out the backend's 8-second limit.
    SKIP_UNLESS_FIXED_PORTS_FREE();
    VaultFixture f(std::nullopt, SupabaseClient::DefaultAnonKey);
    FakeServer::Reply hang;
    hang.hang = true;
    f.server.on("POST", "/api/auth/login", hang);
    const VaultError error = errorOf(f.client->signIn("a@b.c", "pw"));
    QCOMPARE(error.description(), InvalidCredentials);
    QCOMPARE(f.server.requests("POST", "/api/auth/login").size(), 1);
}

void TestVaultAuth::signUpDisplayName_data() {
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("name");
    QTest::newRow("lower case") << "jane@example.com"
                                << "Jane";
    QTest::newRow("upper case with a dot") << "JANE.DOE@example.com"
                                           << "Jane.Doe";
    QTest::newRow("no at sign") << "mary ann"
                                << "Mary Ann";
    QTest::newRow("apostrophe stays in the word") << "o'neil@example.com"
                                                  << "O'neil";
    QTest::newRow("digits") << "2cool4u@example.com"
                            << "2cool4u";
    QTest::newRow("first at sign only") << "a@b@c"
                                        << "A";
}

void TestVaultAuth::signUpDisplayName() {
    QFETCH(QString, email);
    QFETCH(QString, name);
    VaultFixture f(std::nullopt, SupabaseClient::DefaultAnonKey);
    f.server.on("POST", "/api/auth/register",
                FakeServer::Reply::json(201, R"({"access_token":"t","user_id":"u"})"));
    const SupabaseSession session = resultOf(f.client->signUp(email, "pw"));
    QCOMPARE(session.email, std::optional<QString>(email));
    const auto requests = f.server.requests("POST", "/api/auth/register");
    QCOMPARE(requests.size(), 1);
    const QJsonObject body = jsonObject(requests.first().body);
    QCOMPARE(body, (QJsonObject{{"email", email},
                                {"password", "pw"},
                                {"full_name", name},
                                {"household_name", name + "'s Family Vault"},
                                {"plan_id", "basic"}}));
    QCOMPARE(f.server.requests("POST", "/auth/v1/signup").size(), 0);
}

void TestVaultAuth::signUpFailureWrapsLastError() {
    SKIP_UNLESS_FIXED_PORTS_FREE();
    VaultFixture f(std::nullopt, SupabaseClient::DefaultAnonKey);
    f.server.on("POST", "/api/auth/register", FakeServer::Reply::json(500, "{}"));
    // The last candidate refuses the connection, so its transport error is what the user sees.
    const VaultError error = errorOf(f.client->signUp("jane@example.com", "pw"));
    QCOMPARE(error.domain(), QStringLiteral("OrlavantAuth"));
    QCOMPARE(error.code(), 400);
    QCOMPARE(error.description(), QStringLiteral("Sign up error: ") +
                                      VaultError::url(VaultError::CannotConnectToHost).description());
}

void TestVaultAuth::signInTwiceReplacesStoredSession() {
    VaultFixture f;
    f.server.on("POST", "/auth/v1/token", FakeServer::Reply::json(200, hostedSession("first")));
    resultOf(f.client->signIn("a@b.c", "pw"));
    f.server.on("POST", "/auth/v1/token", FakeServer::Reply::json(200, hostedSession("second")));
    QSignalSpy sessionChanged(f.client.get(), &SupabaseClient::currentSessionChanged);
    resultOf(f.client->signIn("a@b.c", "pw"));
    QCOMPARE(sessionChanged.count(), 1);
    QCOMPARE(SupabaseSession::fromJson(*f.settings->data("orlavant_supabase_session")).accessToken,
             QStringLiteral("second"));
    HttpClient http;
    SupabaseClient restarted(*f.settings, http);
    QCOMPARE(restarted.currentSession()->accessToken, QStringLiteral("second"));
}

void TestVaultAuth::demoCandidates_data() {
    QTest::addColumn<QByteArray>("v1Status");
    QTest::addColumn<QByteArray>("v1Body");
    QTest::addColumn<QByteArray>("plainBody");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("email");

    QTest::newRow("token text") << QByteArray("200")
                                << QByteArray(R"({"token":"d1","user":{"id":"u1","email":"demo@x.y"}})")
                                << QByteArray() << "d1"
                                << "u1"
                                << "demo@x.y";
    QTest::newRow("token object, no user")
        << QByteArray("201") << QByteArray(R"({"token":{"access_token":"d2"}})") << QByteArray() << "d2"
        << "user_demo_pellan"
        << "demo@vault.orlavant.app";
    QTest::newRow("top-level access token")
        << QByteArray("200") << QByteArray(R"({"access_token":"d3","user":5})") << QByteArray() << "d3"
        << "user_demo_pellan"
        << "demo@vault.orlavant.app";
    QTest::newRow("first candidate missing, second answers")
        << QByteArray("404") << QByteArray(R"({"token":"nope"})") << QByteArray(R"({"token":"d4"})") << "d4"
        << "user_demo_pellan"
        << "demo@vault.orlavant.app";
    QTest::newRow("first candidate has an empty token") << QByteArray("200") << QByteArray(R"({"token":""})")
                                                        << QByteArray(R"({"access_token":"d5"})") << "d5"
                                                        << "user_demo_pellan"
                                                        << "demo@vault.orlavant.app";
}

void TestVaultAuth::demoCandidates() {
    QFETCH(QByteArray, v1Status);
    QFETCH(QByteArray, v1Body);
    QFETCH(QByteArray, plainBody);
    VaultFixture f;
    f.server.on("POST", "/api/v1/auth/demo-login", FakeServer::Reply::json(v1Status.toInt(), v1Body));
    if (!plainBody.isEmpty())
        f.server.on("POST", "/api/auth/demo-login", FakeServer::Reply::json(200, plainBody));
    QSignalSpy signedIn(f.client.get(), &SupabaseClient::signedIn);
    const SupabaseSession session = resultOf(f.client->signInDemo());
    QTEST(session.accessToken, "token");
    QTEST(session.userId, "userId");
    QTEST(*session.email, "email");
    QCOMPARE(signedIn.count(), 1);
    const auto requests = f.server.requests();
    QCOMPARE(requests.size(), plainBody.isEmpty() ? 1 : 2);
    for (const auto& r : requests) {
        QVERIFY(r.body.isEmpty());
        QVERIFY(!r.hasHeader("authorization"));
        QVERIFY(!r.hasHeader("apikey"));
    }
}

void TestVaultAuth::demoFallsBackWithNoServer() {
    SKIP_UNLESS_FIXED_PORTS_FREE();
    VaultFixture f;
    f.client->setBackendUrl(FakeServer::refusedBaseUrl());
    const SupabaseSession session = resultOf(f.client->signInDemo());
    const SupabaseSession fallback{"sample_fallback_access_code_9137", std::nullopt, "user_demo_pellan",
                                   "demo@vault.orlavant.app"};
    QCOMPARE(session, fallback);
    QVERIFY(f.client->isAuthenticated());
    QCOMPARE(SupabaseSession::fromJson(*f.settings->data("orlavant_supabase_session")), fallback);
}

void TestVaultAuth::registerDevice() {
    VaultFixture f(VaultFixture::session());
    f.server.on("POST", "/api/devices/register", FakeServer::Reply::json(500, "not json"));
    resultOf(f.client->registerDevice("Jane's Laptop", "mac"));
    const auto requests = f.server.requests("POST", "/api/devices/register");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().header("authorization"), QByteArray("Bearer user-token"));
    QVERIFY(!requests.first().hasHeader("apikey"));
    QCOMPARE(
        jsonObject(requests.first().body),
        (QJsonObject{{"device_name", "Jane's Laptop"}, {"device_type", "mac"}, {"app_version", "1.0.0"}}));

    // Best effort: an unreachable backend changes nothing for the caller.
    f.client->setBackendUrl(FakeServer::refusedBaseUrl());
    resultOf(f.client->registerDevice("x", "mac"));
    resultOf(f.client->bindDeviceSyncFolder("x", "/a", "a"));
}

void TestVaultAuth::deviceCallsWithoutSessionSendNothing() {
    VaultFixture f;
    resultOf(f.client->registerDevice("x", "mac"));
    resultOf(f.client->bindDeviceSyncFolder("x", "/home/jane/Vault", "Vault"));
    QCOMPARE(f.server.requestCount(), 0);
}

void TestVaultAuth::bindDeviceSyncFolder_data() {
    QTest::addColumn<QString>("deviceId");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("plain host name") << "jane-laptop" << QByteArray("/api/devices/jane-laptop/sync-folder");
    QTest::newRow("pretty name with space and quote")
        << "Jane's \"Laptop\"" << QByteArray("/api/devices/Jane's%20%22Laptop%22/sync-folder");
    QTest::newRow("slash stays inside the segment")
        << "a/../b" << QByteArray("/api/devices/a%2F..%2Fb/sync-folder");
    QTest::newRow("dot-dot alone is not sent") << ".." << QByteArray();
    QTest::newRow("empty is not sent") << "" << QByteArray();
    QTest::newRow("non-ASCII") << "Küche" << QByteArray("/api/devices/K%C3%BCche/sync-folder");
}

void TestVaultAuth::bindDeviceSyncFolder() {
    QFETCH(QString, deviceId);
    QFETCH(QByteArray, target);
    VaultFixture f(VaultFixture::session());
    f.server.onPrefix("PUT", "/api/",
                      [](const FakeServer::Request&) { return FakeServer::Reply::json(204, ""); });
    resultOf(f.client->bindDeviceSyncFolder(deviceId, "/home/jane/Family Photos", "Family Photos"));
    const auto requests = f.server.requests();
    QCOMPARE(requests.size(), target.isEmpty() ? 0 : 1);
    if (target.isEmpty())
        return;
    QCOMPARE(requests.first().method, QByteArray("PUT"));
    QCOMPARE(requests.first().target, target);
    QCOMPARE(requests.first().header("authorization"), QByteArray("Bearer user-token"));
    QCOMPARE(jsonObject(requests.first().body),
             (QJsonObject{{"folder_path", "/home/jane/Family Photos"}, {"folder_name", "Family Photos"}}));
}

ORLAVANT_TEST_GUILESS_MAIN(TestVaultAuth)
#include "tst_vaultauth.moc"
