#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

class Clock;

// When an access token is due for a refresh, on this computer's monotonic clock.
//
// A token's lifetime is what the server gave ("expires_in", else the token's own exp - iat),
// counted from the moment this computer received it. So a computer clock that is hours off
// neither makes every fresh token look stale (a refresh per request) nor keeps a dead one for
// hours. Only a token restored after a restart must be judged by its exp against the wall clock;
// a wrong clock then costs one early refresh at most, or leaves it to the server's 401. Nothing
// here ever ends a session: only the server's refusal of a refresh does that.
class TokenExpiry {
public:
    // A token is refreshed this long before its end, or at half its life when it lives shorter
    // than twice this: every token is used for at least half its life, so refreshes cannot chase
    // each other.
    static constexpr qint64 RefreshLeadMs = 5 * 60 * 1000;
    // A token younger than this (or than half its life, if that is shorter) is not expired: a
    // server that refuses it has another reason, which a refresh would not change.
    static constexpr qint64 FreshMs = 60 * 1000;

    TokenExpiry() = default; // unknown: never due ahead of time

    // A token the auth service has just handed over, with the rest of its reply.
    static TokenExpiry received(const QString& accessToken, const QJsonObject& reply, const Clock& clock);
    // A token read back from the settings store.
    static TokenExpiry restored(const QString& accessToken, const Clock& clock);
    // The claims of a JWT (its middle part), when the token is one.
    static std::optional<QJsonObject> jwtClaims(const QString& token);

    bool isKnown() const { return m_dueAtMs.has_value(); }
    bool isDue(const Clock& clock) const;
    // Received in this run of the program, moments ago.
    bool isFresh(const Clock& clock) const;

private:
    static TokenExpiry fromReply(const QString& accessToken, const QJsonObject& reply, const Clock& clock);
    // Due `lead` before `remainingMs` from now, the lead taken from `lifetimeMs`.
    static TokenExpiry dueIn(const Clock& clock, qint64 remainingMs, qint64 lifetimeMs);

    std::optional<qint64> m_dueAtMs;
    std::optional<qint64> m_receivedAtMs;
    qint64 m_freshForMs = FreshMs;
};
