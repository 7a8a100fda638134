#include "vault/TokenExpiry.h"

#include "platform/Clock.h"
#include "vault/VaultJson.h"

#include <QByteArray>
#include <algorithm>

namespace {

// Whole seconds under `key`, when it holds a number.
std::optional<qint64> seconds(const QJsonObject& object, const QString& key) {
    const std::optional<double> value = VaultJson::number(object, key);
    if (!value || *value < 0 || *value > 1e15)
        return std::nullopt;
    return qint64(*value);
}

qint64 wallClockSeconds(const Clock& clock) {
    return clock.now().toSecsSinceEpoch();
}

} // namespace

std::optional<QJsonObject> TokenExpiry::jwtClaims(const QString& token) {
    const QStringList parts = token.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(
        parts.at(1).toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals |
                                    QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return VaultJson::parseObject(*decoded);
}

TokenExpiry TokenExpiry::dueIn(const Clock& clock, qint64 remainingMs, qint64 lifetimeMs) {
    TokenExpiry expiry;
    expiry.m_dueAtMs = clock.monotonicMs() + remainingMs - std::min(RefreshLeadMs, lifetimeMs / 2);
    expiry.m_freshForMs = std::min(FreshMs, lifetimeMs / 2);
    return expiry;
}

TokenExpiry TokenExpiry::received(const QString& accessToken, const QJsonObject& reply, const Clock& clock) {
    TokenExpiry expiry = fromReply(accessToken, reply, clock);
    expiry.m_receivedAtMs = clock.monotonicMs();
    return expiry;
}

TokenExpiry TokenExpiry::fromReply(const QString& accessToken, const QJsonObject& reply, const Clock& clock) {
    const std::optional<QJsonObject> claims = jwtClaims(accessToken);
    std::optional<qint64> lifetime = seconds(reply, QStringLiteral("expires_in"));
    if ((!lifetime || *lifetime == 0) && claims) {
        const auto exp = seconds(*claims, QStringLiteral("exp"));
        const auto iat = seconds(*claims, QStringLiteral("iat"));
        if (exp && iat && *exp > *iat)
            lifetime = *exp - *iat;
    }
    if (lifetime && *lifetime > 0)
        return dueIn(clock, *lifetime * 1000, *lifetime * 1000);

    // Only an end date: the wall clock is all there is. A token that looks already dead on
    // arrival says more about this computer's clock than about the token; the server's 401
    // will tell.
    std::optional<qint64> end = claims ? seconds(*claims, QStringLiteral("exp")) : std::nullopt;
    if (!end)
        end = seconds(reply, QStringLiteral("expires_at"));
    if (!end)
        return {};
    const qint64 remaining = (*end - wallClockSeconds(clock)) * 1000;
    if (remaining <= 0)
        return {};
    return dueIn(clock, remaining, remaining);
}

TokenExpiry TokenExpiry::restored(const QString& accessToken, const Clock& clock) {
    const std::optional<QJsonObject> claims = jwtClaims(accessToken);
    if (!claims)
        return {};
    const auto exp = seconds(*claims, QStringLiteral("exp"));
    if (!exp)
        return {};
    const auto iat = seconds(*claims, QStringLiteral("iat"));
    const qint64 lifetime = iat && *exp > *iat ? (*exp - *iat) * 1000 : 2 * RefreshLeadMs;
    return dueIn(clock, (*exp - wallClockSeconds(clock)) * 1000, lifetime);
}

bool TokenExpiry::isDue(const Clock& clock) const {
    return m_dueAtMs && clock.monotonicMs() >= *m_dueAtMs;
}

bool TokenExpiry::isFresh(const Clock& clock) const {
    return m_receivedAtMs && clock.monotonicMs() - *m_receivedAtMs < m_freshForMs;
}
