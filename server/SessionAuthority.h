#pragma once

#include "VaultStore.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vault {

// What a sign-in or refresh hands to the client.
struct IssuedTokens {
    std::string accessToken;
    std::string refreshToken;   // empty for a session that cannot be refreshed
    std::int64_t expiresIn = 0; // seconds the access token lives
    std::int64_t expiresAt = 0; // unix seconds
};

// Who sent a request, or why nobody is.
struct Authentication {
    enum class Status {
        Ok,
        Missing, // no bearer token at all
        Invalid, // not a token this vault issued: malformed, wrongly signed, unknown
        Expired, // was valid, its time is up
        Ended,   // its session was signed out or revoked
    };
    Status status = Status::Missing;
    Account account;
    std::string sessionId;
    explicit operator bool() const { return status == Status::Ok; }
};

enum class LogoutScope { Global, Local, Others };

// Sessions and their tokens, the way the hosted auth service issues them. An access token is a
// JWT (HS256) naming its session; every request checks its signature, its expiry and that the
// session is still live. A refreshable session also holds a chain of single-use refresh tokens:
// each exchange spends one and hands out the next, and presenting a spent one again means two
// parties hold the chain, so the whole session ends. Only shortly after it was spent (a reply
// lost on the way, two tabs refreshing at once) is a spent token answered with the chain's
// current token instead. A fixed session (the application backend's, which has no refresh)
// simply lasts a set time. Knows nothing of HTTP.
class SessionAuthority {
public:
    struct Lifetimes {
        std::int64_t accessTokenSeconds;  // refreshable sessions
        std::int64_t fixedSessionSeconds; // sessions without refresh
        std::int64_t reuseSeconds = 10;   // a spent refresh token still names its successor this long
    };

    SessionAuthority(VaultStore& store, std::string signingKey, std::function<std::int64_t()> nowSeconds,
                     Lifetimes lifetimes);

    IssuedTokens startRefreshable(const Account& account);
    IssuedTokens startFixed(const Account& account);

    struct Refreshed {
        enum class Status {
            Ok,
            Unknown, // never issued, or its session has ended
            Reused,  // spent a while ago: the session has now ended
        };
        Status status = Status::Unknown;
        IssuedTokens tokens;
        Account account;
    };
    Refreshed refresh(const std::string& refreshToken);

    Authentication authenticate(std::string_view bearerToken);
    // Ends the caller's session (Local), every session of the account (Global), or all but the
    // caller's (Others).
    void signOut(const Authentication& caller, LogoutScope scope);
    static std::optional<LogoutScope> scopeFromText(std::string_view text);

private:
    // With `parentRefreshToken`, the new refresh token is that one's successor.
    IssuedTokens issue(const Account& account, const AuthSession& session, bool withRefreshToken,
                       const std::string& parentRefreshToken = {});
    // A refresh token's successor is derived from it with the signing key, so a retried exchange
    // can be answered with the very token the first one handed out, though only digests are kept.
    std::string successorOf(const std::string& refreshToken) const;
    std::optional<std::string> currentSuccessor(const std::string& spentToken, const std::string& sessionId);
    AuthSession begin(const Account& account, std::optional<std::int64_t> expiresAt);
    Authentication check(const std::optional<AuthSession>& session, const std::string& subject);

    VaultStore& m_store;
    std::string m_key;
    std::function<std::int64_t()> m_now;
    Lifetimes m_lifetimes;
};

} // namespace vault
