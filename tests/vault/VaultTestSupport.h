#pragma once

#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "platform/VaultError.h"
#include "support/FakeServer.h"
#include "support/TestMain.h"
#include "vault/SupabaseClient.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>

// Waits for a vault future while the main thread keeps processing events, as the application's
// would: sign-in continuations run there.
template <typename T> T resultOf(QFuture<T> future) {
    while (!future.isFinished())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if constexpr (std::is_void_v<T>)
        future.waitForFinished();
    else
        return future.result();
}

// How an operation ended, to compare with `expected` in one line: `describe` of its result, or
// its failure as "<domain> <code>", followed by ": <description>" when `expected` names one.
template <typename T, typename F> QString outcomeOf(QFuture<T> future, F describe, const QString& expected) {
    try {
        return describe(resultOf(future));
    } catch (const VaultError& e) {
        const QString text = QStringLiteral("%1 %2").arg(e.domain()).arg(e.code());
        return expected.contains(QLatin1String(": ")) ? text + QStringLiteral(": ") + e.description() : text;
    }
}

#define VERIFY_OUTCOME(future, describe, expected)                                                           \
    QCOMPARE(outcomeOf(future, describe, expected), QString(expected))
inline const auto Succeeded = [](const auto&) { return QStringLiteral("(succeeded)"); };
#define VERIFY_FAILS_WITH(future, expected) VERIFY_OUTCOME(future, Succeeded, expected)

inline QJsonObject jsonObject(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

// Data columns named by their position, fetched back the same way into one structured binding:
// addColumns<int, QString>() in the data function, `auto [status, body] = fetch<int, QString>()`
// in the test (types are checked as QFETCH checks them).
inline const char* const ColumnNames[] = {"0", "1", "2", "3", "4", "5", "6", "7"};
template <typename... T> void addColumns() {
    int i = 0;
    (QTest::addColumn<T>(ColumnNames[i++]), ...);
}
template <typename... T> std::tuple<T...> fetch() {
    return [&]<std::size_t... I>(std::index_sequence<I...>)->std::tuple<T...> {
        return {*static_cast<T*>(QTest::qData(ColumnNames[I], qMetaTypeId<T>()))...};
    }
    (std::index_sequence_for<T...>());
}

// A named data row on one line: values in column order.
template <typename... T> void row(const char* name, const T&... values) {
    (QTest::newRow(name) << ... << values);
}

// The credentials a request carried, as "<apikey>|<authorization>" (empty where absent).
inline QByteArray sentAuth(const FakeServer::Request& request) {
    return request.header("apikey") + '|' + request.header("authorization");
}

// The sign-in and demo candidates include fixed development ports; a case that `needs` them to
// refuse connections is skipped where something listens there.
#define SKIP_UNLESS_FIXED_PORTS_FREE(needs)                                                                  \
    if (QTcpServer a_, b_;                                                                                   \
        (needs) && (!a_.listen(QHostAddress::LocalHost, 8787) || !b_.listen(QHostAddress::LocalHost, 8000))) \
    QSKIP("127.0.0.1:8787 or :8000 is in use here; the outcome depends on their refusing")

// One client with its own settings file and HTTP client, both pointing at a fake server.
struct VaultFixture {
    explicit VaultFixture(bool signedIn = false, const QString& anonKey = QStringLiteral("test-anon-key")) {
        if (signedIn)
            settings.setData(QStringLiteral("orlavant_supabase_session"),
                             SupabaseSession{"user-token", "r", "user-1", "jane@example.com"}.toJson());
        client = std::make_unique<SupabaseClient>(settings, http);
        // Trailing slashes, as users type them: every request path shows they are trimmed.
        client->configure(server.baseUrl() + "/", anonKey);
        client->setBackendUrl(server.baseUrl() + "//");
    }

    // Routes a JSON reply; "$" in it stands for the server's base URL.
    void on(const QByteArray& method, const QByteArray& path, int status, const QString& body) {
        server.on(method, path,
                  FakeServer::Reply::json(status, QString(body).replace("$", server.baseUrl()).toUtf8()));
    }

    FakeServer server;
    Settings settings{makeTempDir(QStringLiteral("vault")) + QStringLiteral("/o.conf")};
    HttpClient http;
    std::unique_ptr<SupabaseClient> client;
};
