#include "SessionAuthority.h"

#include "VaultCrypto.h"

#include <nlohmann/json.hpp>

namespace vault {

using json = nlohmann::json;

SessionAuthority::SessionAuthority(VaultStore& store, std::string signingKey,
                                   std::function<std::int64_t()> nowSeconds, Lifetimes lifetimes)
    : m_store(store)
    , m_key(std::move(signingKey))
    , m_now(std::move(nowSeconds))
    , m_lifetimes(lifetimes) {}

AuthSession SessionAuthority::begin(const Account& account, std::optional<std::int64_t> expiresAt) {
    const AuthSession session{crypto::randomUuid(), account.id, m_now(), expiresAt, std::nullopt};
    m_store.createAuthSession(session);
    return session;
}

IssuedTokens SessionAuthority::startRefreshable(const Account& account) {
    IssuedTokens tokens;
    m_store.transaction([&] { tokens = issue(account, begin(account, std::nullopt), true); });
    return tokens;
}

IssuedTokens SessionAuthority::startFixed(const Account& account) {
    return issue(account, begin(account, m_now() + m_lifetimes.fixedSessionSeconds), false);
}

IssuedTokens SessionAuthority::issue(const Account& account, const AuthSession& session,
                                     bool withRefreshToken, const std::string& parentRefreshToken) {
    const std::int64_t now = m_now();
    IssuedTokens tokens;
    tokens.expiresAt = session.expiresAt ? *session.expiresAt : now + m_lifetimes.accessTokenSeconds;
    tokens.expiresIn = tokens.expiresAt - now;
    // The claims the hosted service's client libraries decode; "jti" keeps two tokens issued in
    // the same second apart.
    const json claims = {{"aud", "authenticated"},
                         {"role", "authenticated"},
                         {"sub", account.id},
                         {"email", account.email},
                         {"phone", ""},
                         {"iat", now},
                         {"exp", tokens.expiresAt},
                         {"session_id", session.id},
                         {"jti", crypto::randomUuid()},
                         {"aal", "aal1"},
                         {"amr", json::array({{{"method", "password"}, {"timestamp", session.createdAt}}})},
                         {"app_metadata", {{"provider", "email"}, {"providers", {"email"}}}},
                         {"user_metadata", {{"full_name", account.fullName}}},
                         {"is_anonymous", false}};
    tokens.accessToken = crypto::signJwtHs256(claims.dump(), m_key);
    if (withRefreshToken) {
        tokens.refreshToken =
            parentRefreshToken.empty() ? crypto::randomToken() : successorOf(parentRefreshToken);
        m_store.addRefreshToken(crypto::sha256Hex(tokens.refreshToken), session.id, now);
    }
    return tokens;
}

std::string SessionAuthority::successorOf(const std::string& refreshToken) const {
    return crypto::base64UrlEncode(crypto::hmacSha256(m_key, "refresh-token-successor\n" + refreshToken));
}

// The live token the chain has reached from a spent one: its successor, or that one's, as far
// as the chain moved on within the reuse interval.
std::optional<std::string> SessionAuthority::currentSuccessor(const std::string& spentToken,
                                                              const std::string& sessionId) {
    std::string token = spentToken;
    for (int step = 0; step < 8; ++step) {
        token = successorOf(token);
        const auto row = m_store.refreshToken(crypto::sha256Hex(token));
        if (!row || row->sessionId != sessionId)
            return std::nullopt;
        if (!row->spent)
            return token;
    }
    return std::nullopt;
}

SessionAuthority::Refreshed SessionAuthority::refresh(const std::string& refreshToken) {
    Refreshed out;
    const std::string digest = crypto::sha256Hex(refreshToken);
    // One transaction: of two exchanges of the same token, exactly one spends it and the other
    // finds it spent a moment ago.
    m_store.transaction([&] {
        const auto row = m_store.refreshToken(digest);
        const auto session = row ? m_store.authSession(row->sessionId) : std::nullopt;
        const auto account =
            session && !session->endedAt ? m_store.accountById(session->accountId) : std::nullopt;
        if (!account)
            return;
        const std::int64_t now = m_now();
        if (!row->spent && m_store.spendRefreshToken(digest, now)) {
            out.tokens = issue(*account, *session, true, refreshToken);
        } else {
            // A retry of an exchange whose reply was lost gets what that exchange handed out;
            // later, a spent token means two parties hold the chain.
            const auto successor = row->spentAt && now - *row->spentAt < m_lifetimes.reuseSeconds
                                       ? currentSuccessor(refreshToken, session->id)
                                       : std::nullopt;
            if (!successor) {
                m_store.endAuthSession(session->id, now);
                out.status = Refreshed::Status::Reused;
                return;
            }
            out.tokens = issue(*account, *session, false);
            out.tokens.refreshToken = *successor;
        }
        out.account = *account;
        out.status = Refreshed::Status::Ok;
    });
    return out;
}

Authentication SessionAuthority::authenticate(std::string_view bearerToken) {
    using Status = Authentication::Status;
    if (bearerToken.empty())
        return {Status::Missing, {}, {}};
    if (bearerToken.find('.') == std::string_view::npos) {
        const auto session = m_store.authSessionForOpaqueToken(crypto::sha256Hex(bearerToken));
        return session ? check(session, session->accountId) : Authentication{Status::Invalid, {}, {}};
    }
    const auto claimsText = crypto::verifyJwtHs256(bearerToken, m_key);
    const json claims = claimsText ? json::parse(*claimsText, nullptr, false) : json();
    if (!claims.is_object() || !claims.contains("sub") || !claims["sub"].is_string() ||
        !claims.contains("session_id") || !claims["session_id"].is_string() || !claims.contains("exp") ||
        !claims["exp"].is_number_integer())
        return {Status::Invalid, {}, {}};
    if (claims["exp"].get<std::int64_t>() <= m_now())
        return {Status::Expired, {}, {}};
    return check(m_store.authSession(claims["session_id"].get<std::string>()),
                 claims["sub"].get<std::string>());
}

Authentication SessionAuthority::check(const std::optional<AuthSession>& session,
                                       const std::string& subject) {
    using Status = Authentication::Status;
    // A signed token whose session the vault no longer knows was signed out as far as anyone
    // can tell.
    if (!session || session->endedAt)
        return {Status::Ended, {}, {}};
    if (session->accountId != subject)
        return {Status::Invalid, {}, {}};
    if (session->expiresAt && *session->expiresAt <= m_now())
        return {Status::Expired, {}, {}};
    auto account = m_store.accountById(session->accountId);
    if (!account)
        return {Status::Ended, {}, {}};
    return {Status::Ok, std::move(*account), session->id};
}

void SessionAuthority::signOut(const Authentication& caller, LogoutScope scope) {
    if (!caller)
        return;
    switch (scope) {
    case LogoutScope::Local:
        m_store.endAuthSession(caller.sessionId, m_now());
        break;
    case LogoutScope::Global:
        m_store.endAccountSessions(caller.account.id, {}, m_now());
        break;
    case LogoutScope::Others:
        m_store.endAccountSessions(caller.account.id, caller.sessionId, m_now());
        break;
    }
}

std::optional<LogoutScope> SessionAuthority::scopeFromText(std::string_view text) {
    if (text == "global")
        return LogoutScope::Global;
    if (text == "local")
        return LogoutScope::Local;
    if (text == "others")
        return LogoutScope::Others;
    return std::nullopt;
}

} // namespace vault
