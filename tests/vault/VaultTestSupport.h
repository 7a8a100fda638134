#pragma once

#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "platform/VaultError.h"
#include "support/FakeServer.h"
#include "support/TestMain.h"
#include "vault/SupabaseClient.h"

#include <QCoreApplication>
#include <QFuture>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>
#include <memory>

// Waits for a vault future while the main thread keeps processing events, as the application's
// would: sign-in continuations run there.
template <typename T> void waitFor(const QFuture<T>& future) {
    while (!future.isFinished())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

template <typename T> T resultOf(QFuture<T> future) {
    waitFor(future);
    if constexpr (std::is_void_v<T>)
        future.waitForFinished();
    else
        return future.result();
}

// The VaultError the future failed with; a future that succeeds yields an error of domain
// "(none)" so that the comparison that follows fails with a readable message.
template <typename T> VaultError errorOf(QFuture<T> future) {
    waitFor(future);
    try {
        future.waitForFinished();
        if constexpr (!std::is_void_v<T>)
            (void)future.result();
    } catch (const VaultError& error) {
        return error;
    }
    return VaultError(QStringLiteral("(none)"), 0, QStringLiteral("the operation succeeded"));
}

inline QJsonObject jsonObject(const QByteArray& body) {
    return QJsonDocument::fromJson(body).object();
}

// Whether the fixed development ports the sign-in and demo candidates include are free here;
// a test whose outcome depends on their refusing connections is skipped otherwise.
inline bool fixedBackendPortsFree() {
    for (const quint16 port : {quint16(8787), quint16(8000)}) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, port))
            return false;
    }
    return true;
}

#define SKIP_UNLESS_FIXED_PORTS_FREE()                                                                       \
    do {                                                                                                     \
        if (!fixedBackendPortsFree())                                                                        \
            QSKIP("127.0.0.1:8787 or :8000 is in use here; the outcome depends on their refusing");          \
    } while (false)

// One client with its own settings file and HTTP client, both pointing at a fake server.
struct VaultFixture {
    explicit VaultFixture(const std::optional<SupabaseSession>& session = std::nullopt,
                          const QString& anonKey = QStringLiteral("test-anon-key")) {
        settingsPath = makeTempDir(QStringLiteral("vault")) + QStringLiteral("/orlavant.conf");
        settings = std::make_unique<Settings>(settingsPath);
        if (session)
            settings->setData(QStringLiteral("orlavant_supabase_session"), session->toJson());
        client = std::make_unique<SupabaseClient>(*settings, http);
        client->configure(server.baseUrl(), anonKey);
        client->setBackendUrl(server.baseUrl());
    }

    static SupabaseSession session() {
        return SupabaseSession{QStringLiteral("user-token"), QStringLiteral("refresh"),
                               QStringLiteral("user-1"), QStringLiteral("jane@example.com")};
    }

    FakeServer server;
    QString settingsPath;
    std::unique_ptr<Settings> settings;
    HttpClient http;
    std::unique_ptr<SupabaseClient> client;
};
