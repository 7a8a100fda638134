#pragma once

#include "support/FakeServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <condition_variable>
#include <functional>
#include <mutex>

// The hosted auth service and the vault's protected routes on a FakeServer, scripted the way
// real sessions behave: only tokens the vault accepts pass a protected route (the others get
// `refusal`), the password grant answers `signIn`, and the refresh grant rotates: refresh token
// "refresh-N" is good once and gives "access-N+1" and "refresh-N+1". Safe to script from the test
// while the server answers.
class FakeSessionVault {
public:
    using Reply = FakeServer::Reply;

    explicit FakeSessionVault(FakeServer& server)
        : m_server(server) {
        server.on("POST", "/auth/v1/token", [this](const FakeServer::Request& r) { return token(r); });
    }

    // A route that answers `ok` to an accepted token and `refusal` to any other.
    void protect(const QByteArray& method, const QByteArray& path, const Reply& ok) {
        m_server.on(method, path, [this, ok](const FakeServer::Request& r) { return answer(r, ok); });
    }
    void protectPrefix(const QByteArray& method, const QByteArray& prefix, const Reply& ok) {
        m_server.onPrefix(method, prefix, [this, ok](const FakeServer::Request& r) { return answer(r, ok); });
    }

    // The password grant signs `userId` in with these tokens from now on.
    void signInAs(const QString& userId, const QString& email, const QString& access,
                  const QString& refresh) {
        std::lock_guard lock(m_mutex);
        m_valid.insert(access);
        m_currentRefresh = refresh;
        m_userId = userId;
        m_email = email;
        signIn = Reply::json(200, QJsonDocument(session(access, refresh)).toJson());
    }
    void accept(const QString& token) {
        std::lock_guard lock(m_mutex);
        m_valid.insert(token);
    }
    // Every token issued so far stops working, as after an hour.
    void expireEveryToken() {
        std::lock_guard lock(m_mutex);
        m_valid.clear();
    }
    // Replaces the rotating refresh: `reply(n)` answers the n-th refresh request.
    void answerRefreshWith(std::function<Reply(int)> reply) {
        std::lock_guard lock(m_mutex);
        m_refreshReply = std::move(reply);
    }
    // A refresh is answered only once `refusals` protected requests have been refused and the
    // test has released it (both true unless set).
    void holdRefresh(int refusals, bool released) {
        std::lock_guard lock(m_mutex);
        m_holdUntilRefusals = refusals;
        m_released = released;
    }
    void release() {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    int refreshCount() const {
        std::lock_guard lock(m_mutex);
        return m_refreshes;
    }
    int refusalCount() const {
        std::lock_guard lock(m_mutex);
        return m_refusals;
    }

    Reply refusal = Reply::json(401, R"({"message":"JWT expired"})");
    Reply signIn = Reply::json(400, R"({"error_description":"Invalid login credentials"})");

private:
    QJsonObject session(const QString& access, const QString& refresh) const {
        return {{"access_token", access},
                {"token_type", "bearer"},
                {"expires_in", 3600},
                {"refresh_token", refresh},
                {"user", QJsonObject{{"id", m_userId}, {"email", m_email}, {"aud", "authenticated"}}}};
    }

    Reply answer(const FakeServer::Request& r, const Reply& ok) {
        std::lock_guard lock(m_mutex);
        const QByteArray authorization = r.header("authorization");
        if (authorization.startsWith("Bearer ") && m_valid.contains(QString::fromUtf8(authorization.mid(7))))
            return ok;
        ++m_refusals;
        m_changed.notify_all();
        return refusal;
    }

    Reply token(const FakeServer::Request& r) {
        if (r.query("grant_type") == "password") {
            std::lock_guard lock(m_mutex);
            return signIn;
        }
        std::unique_lock lock(m_mutex);
        const int count = ++m_refreshes;
        m_changed.notify_all();
        m_changed.wait_for(lock, std::chrono::seconds(20),
                           [this] { return m_refusals >= m_holdUntilRefusals && m_released; });
        if (m_refreshReply)
            return m_refreshReply(count);
        const QString presented = QJsonDocument::fromJson(r.body).object().value("refresh_token").toString();
        if (presented.isEmpty() || presented != m_currentRefresh)
            return Reply::json(
                400,
                R"({"error":"invalid_grant","error_description":"Invalid Refresh Token: Already Used"})");
        ++m_issued;
        const QString access = QStringLiteral("access-%1").arg(m_issued);
        m_currentRefresh = QStringLiteral("refresh-%1").arg(m_issued);
        m_valid.insert(access);
        return Reply::json(200, QJsonDocument(session(access, m_currentRefresh)).toJson());
    }

    FakeServer& m_server;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QSet<QString> m_valid;
    QString m_currentRefresh = QStringLiteral("refresh-0");
    QString m_userId = QStringLiteral("user-1");
    QString m_email = QStringLiteral("jane@example.com");
    int m_issued = 0, m_refreshes = 0, m_refusals = 0, m_holdUntilRefusals = 0;
    bool m_released = true;
    std::function<Reply(int)> m_refreshReply;
};
