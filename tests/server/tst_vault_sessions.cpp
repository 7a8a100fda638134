// Sessions the way the hosted auth service issues them: signed access tokens that expire, single-use
// refresh tokens whose reuse ends the whole session, sign-out in each scope, and the backend's
// sessions without refresh. Every token is tried on all four doors (the auth service, REST,
// storage, the backend), since each answers a dead token in its own shape.

#include "VaultTestHarness.h"

#include <sys/stat.h>

#include <fstream>
#include <future>
#include <set>

namespace fs = std::filesystem;

namespace {

const std::string tokenRoute = "/auth/v1/token?grant_type=", userRoute = "/auth/v1/user",
                  logoutRoute = "/auth/v1/logout";
constexpr std::int64_t hour = 3600, day = 24 * hour;

using Session = VaultFixture::User;
Session signIn(VaultFixture& vault, const std::string& email) {
    return VaultFixture::user(
        vault.request("POST", tokenRoute + "password", hosted(anonKey), credentials(email)));
}
Session refresh(VaultFixture& vault, const std::string& refreshToken) {
    return VaultFixture::user(vault.request("POST", tokenRoute + "refresh_token", hosted(anonKey),
                                            json{{"refresh_token", refreshToken}}.dump()));
}
Session backendLogin(VaultFixture& vault, const std::string& email) {
    return VaultFixture::user(vault.request("POST", "/api/auth/login", none, credentials(email)));
}
Reply logout(VaultFixture& vault, const std::string& token, const std::string& query = "") {
    return vault.request("POST", logoutRoute + query, hosted(token));
}
std::string errorCode(const Reply& r) {
    return r.body.is_object() ? r.body.value("error_code", "") : "";
}

// How the four doors answer a bearer token, in one line: the auth service's user (status and
// error code), a REST read and a backend read (status and message), and a storage read of an
// object nobody has (the status inside the body and the message).
std::string access(VaultFixture& vault, const std::string& token) {
    const Reply user = vault.request("GET", userRoute, hosted(token));
    const Reply rest = vault.request("GET", "/rest/v1/files", hosted(token));
    const Reply storage =
        vault.request("GET", "/storage/v1/object/authenticated/orlavant-files/nobody/x", hosted(token));
    const Reply backend = vault.request("GET", "/api/devices", bearer(token));
    auto said = [](const Reply& r) { return r.status < 300 ? std::string() : " " + r.message(); };
    return "user " + std::to_string(user.status) + (user.status < 300 ? "" : " " + errorCode(user)) +
           " | rest " + std::to_string(rest.status) + said(rest) + " | storage " +
           (storage.body.is_object() ? storage.body.value("statusCode", "?") : "?") + " " +
           storage.message() + " | backend " + std::to_string(backend.status) + said(backend);
}
const std::string works = "user 200 | rest 200 | storage 404 Object not found | backend 200";
const std::string expired = "user 403 bad_jwt | rest 401 JWT expired | storage 403 jwt expired | backend 401 "
                            "Session expired. Please sign in again.";
const std::string ended = "user 403 session_not_found | rest 401 JWT invalid or signed out; sign in again | "
                          "storage 403 Invalid JWT | backend 401 You were signed out. Please sign in again.";
const std::string refused = "user 403 bad_jwt | rest 401 JWT invalid or signed out; sign in again | storage "
                            "403 Invalid JWT | backend 401 Authentication required";

void expectAccess(VaultFixture& vault, const std::string& token, const std::string& wanted,
                  const std::string& name) {
    const std::string got = access(vault, token);
    expect(got == wanted, name + " (got: " + got + ")");
}

json claimsOf(const std::string& jwt) {
    const auto first = jwt.find('.'), second = jwt.find('.', first + 1);
    const auto text = vault::crypto::base64UrlDecode(jwt.substr(first + 1, second - first - 1));
    return text ? json::parse(*text, nullptr, false) : json();
}
std::string signingKey(VaultFixture& vault) {
    std::ifstream in(vault.dir / "data/jwt.key");
    std::string key;
    std::getline(in, key);
    return key;
}

// Both lifetimes come from the configuration. An access token is refused from its expiry on;
// its refresh token is not, and the chain goes on.
void accessTokenExpiry() {
    VaultFixture vault(10 << 20, [](vault::VaultServer::Config& c) {
        c.accessTokenSeconds = 600;
        c.backendSessionSeconds = 2 * hour;
    });
    const Session first = vault.signUp("cy@example.org");
    const Session backend = backendLogin(vault, "cy@example.org");
    vault.advanceSeconds(599);
    expectAccess(vault, first.token, works, "an access token works until its last second");
    vault.advanceSeconds(1);
    expectAccess(vault, first.token, expired, "an access token is refused from its expiry on, on every door");
    expectAccess(vault, backend.token, works, "the backend session outlives the hosted access token");
    vault.advanceSeconds(2 * hour - 600);
    expectAccess(vault, backend.token, expired, "a backend session expires after the configured time");
    vault.advanceSeconds(90 * day);
    const Session second = refresh(vault, first.refresh);
    expect(second.reply.status == 200 && second.id == first.id &&
               second.reply.body.value("expires_at", std::int64_t{0}) == vault.nowSeconds() + 600,
           "a refresh token outlives its access token", second.reply);
    expectAccess(vault, second.token, works, "the refreshed access token works");
}

// Refresh tokens are single-use: presenting a spent one (after the few seconds a lost reply
// may take to be retried) means two parties hold the chain, and the whole session (every token
// of it, whoever holds it) ends. Other sessions are untouched.
void refreshRotationAndReuse() {
    VaultFixture vault;
    const Session first = vault.signUp("ed@example.org");
    const Session elsewhere = signIn(vault, "ed@example.org");
    const Session second = refresh(vault, first.refresh);
    const Session third = refresh(vault, second.refresh);
    vault.advanceSeconds(10);
    expect(second.reply.status == 200 && third.reply.status == 200 && second.refresh != first.refresh &&
               third.refresh != second.refresh && second.token != first.token &&
               claimsOf(third.token)["session_id"] == claimsOf(first.token)["session_id"] &&
               third.reply.body["user"].value("id", "") == first.id,
           "each refresh hands out a new pair in the same session", third.reply);
    // Until the session ends, earlier access tokens live out their hour, as the hosted service's do.
    expectAccess(vault, first.token, works, "an earlier access token of a live session");

    const Reply reuse = refresh(vault, first.refresh).reply;
    expect(reuse.status == 400 && errorCode(reuse) == "refresh_token_already_used",
           "a spent refresh token is refused", reuse);
    for (const auto& token : {first.token, second.token, third.token})
        expectAccess(vault, token, ended, "reuse ends every access token of the session");
    for (const auto& token : {third.refresh, first.refresh}) {
        const Reply r = refresh(vault, token).reply;
        expect(r.status == 400 && errorCode(r) == "refresh_token_not_found",
               "no refresh token of an ended session works", r);
    }
    expectAccess(vault, elsewhere.token, works, "another session of the same account is untouched");
    expect(refresh(vault, elsewhere.refresh).reply.status == 200, "and still refreshes");
}

// Parties exchanging one refresh token at the same moment (two tabs, a retry racing its
// original) are one exchange: the token is spent once, and every one of them gets the same
// successor.
void concurrentRefresh() {
    VaultFixture vault;
    const Session s = vault.signUp("fay@example.org");
    std::vector<std::future<Session>> parties;
    for (int i = 0; i < 8; ++i)
        parties.push_back(std::async(std::launch::async, [&] { return refresh(vault, s.refresh); }));
    std::set<std::string> successors;
    for (auto& party : parties) {
        const Session r = party.get();
        successors.insert(r.reply.status == 200 ? r.refresh : r.reply.raw);
    }
    expect(successors.size() == 1 && refresh(vault, *successors.begin()).reply.status == 200,
           "one refresh token exchanged at once gives one working successor to all (" +
               std::to_string(successors.size()) + " different answers)");
}

// The sweep prunes sessions that ended or expired a week ago, with their refresh tokens, and
// nothing a live session needs; a pruned session's tokens answer as before.
void deadSessionsPruned() {
    VaultFixture vault;
    const Session live = vault.signUp("hana@example.org");
    const Session out = signIn(vault, "hana@example.org");
    const Session backend = backendLogin(vault, "hana@example.org");
    logout(vault, out.token, "?scope=local");
    refresh(vault, live.refresh);
    auto sessionRow = [&](const std::string& access) {
        return vault.store().authSession(claimsOf(access).value("session_id", "")).has_value();
    };
    vault.advanceSeconds(7 * day - 1);
    expect(vault.sweep().sessions == 0 && sessionRow(out.token),
           "a session ended less than a week ago is kept");
    vault.advanceSeconds(31 * day); // the backend session expired a week ago too
    const vault::SweepReport report = vault.sweep();
    expect(report.sessions == 2 && report.refreshTokens == 1 && !sessionRow(out.token) &&
               !sessionRow(backend.token) && sessionRow(live.token),
           "the ended and the expired session go, with their refresh tokens; the live one stays");
    expect(errorCode(refresh(vault, out.refresh).reply) == "refresh_token_not_found",
           "a pruned session's refresh token is refused as before");
    const Reply reuse = refresh(vault, live.refresh).reply;
    expect(errorCode(reuse) == "refresh_token_already_used",
           "a live session keeps its spent tokens: they still reveal a stolen one", reuse);
}

void logoutScopes() {
    VaultFixture vault;
    const Session laptop = vault.signUp("gus@example.org");
    const Session phone = signIn(vault, "gus@example.org");
    const Session desk = backendLogin(vault, "gus@example.org");
    const Session neighbour = vault.signUp("hal@example.org");

    run(vault, {
                   {"logout in an unknown scope", "POST", logoutRoute + "?scope=everyone",
                    hosted(laptop.token), "", 400, "validation_failed"},
                   {"logout without a token", "POST", logoutRoute, hosted(""), "", 401, "no_authorization"},
               });
    expectAccess(vault, laptop.token, works, "a refused logout ends nothing");

    const Reply local = logout(vault, laptop.token, "?scope=local");
    expect(local.status == 204 && local.raw.empty(), "logout answers 204 with no body", local);
    expectAccess(vault, laptop.token, ended, "local: this session's access token stops working");
    expect(errorCode(refresh(vault, laptop.refresh).reply) == "refresh_token_not_found",
           "local: this session's refresh token stops working");
    expectAccess(vault, desk.token, works, "local: the account's other sessions go on");
    expect(logout(vault, laptop.token).status == 403, "a second logout with an ended session is refused");

    expect(logout(vault, phone.token, "?scope=others").status == 204, "logout of the others");
    expectAccess(vault, desk.token, ended, "others: the backend session ends too");

    expect(logout(vault, phone.token).status == 204, "logout with no scope");
    expectAccess(vault, phone.token, ended, "global (the default): the caller's session ends");
    expectAccess(vault, neighbour.token, works, "no logout touches another account");
}

// Anything but a token this vault signed, unchanged, is refused the same way on every door.
void forgedTokens() {
    VaultFixture vault;
    const Session ann = vault.signUp("ivy@example.org"), ben = vault.signUp("jo@example.org");
    const std::string key = signingKey(vault);
    auto parts = [](const std::string& jwt) {
        const auto a = jwt.find('.'), b = jwt.find('.', a + 1);
        return std::array<std::string, 3>{jwt.substr(0, a), jwt.substr(a + 1, b - a - 1), jwt.substr(b + 1)};
    };
    const auto a = parts(ann.token), b = parts(ben.token);
    const std::string none64 = vault::crypto::base64UrlEncode(R"({"alg":"none","typ":"JWT"})");
    const auto sign = [&](json claims, const std::string& withKey) {
        return vault::crypto::signJwtHs256(claims.dump(), withKey);
    };
    const json claims = claimsOf(ann.token);
    const auto without = [](json object, const char* member) {
        object.erase(member);
        return object;
    };
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"another user's claims under this user's signature", a[0] + "." + b[1] + "." + a[2]},
        {"no signature", a[0] + "." + a[1] + "."},
        {"alg none without a signature", none64 + "." + a[1] + "."},
        {"the project key", anonKey},
        // Well signed but not what the vault issues: the claims are checked, not trusted.
        {"signed claims naming another user's session", sign(with(claims, "sub", ben.id), key)},
        {"signed claims without a session", sign(without(claims, "session_id"), key)},
        {"signed claims with the expiry as text", sign(with(claims, "exp", "9999999999"), key)},
        {"signed claims that are not JSON", vault::crypto::signJwtHs256("{\"sub\":", key)},
    };
    for (const auto& [name, token] : rows)
        expectAccess(vault, token, refused, "refused: " + name);
    expectAccess(vault, ann.token, works, "the genuine token still works after all that");
}

// The signing key and the sessions live in the data folder: a restart keeps everyone signed in;
// removing the key signs everyone out, and a new one is made.
void keyAndSessionsAcrossRestarts() {
    VaultFixture vault;
    const Session hostedSession = vault.signUp("kim@example.org");
    const std::string key = signingKey(vault);
    vault.restart(
        [&] { fs::permissions(vault.dir / "data/jwt.key", fs::perms::others_read, fs::perm_options::add); });
    struct stat st {};
    expect(signingKey(vault) == key && ::stat((vault.dir / "data/jwt.key").c_str(), &st) == 0 &&
               (st.st_mode & 0777) == 0600,
           "the key survives a restart and is made owner-only again");
    expectAccess(vault, hostedSession.token, works, "a hosted session survives a restart");
    const Session refreshed = refresh(vault, hostedSession.refresh);
    expect(refreshed.reply.status == 200, "a refresh token survives a restart", refreshed.reply);

    vault.restart([&] { fs::remove(vault.dir / "data/jwt.key"); });
    expect(signingKey(vault).size() >= 32 && signingKey(vault) != key,
           "a removed key is replaced by a new one");
    expectAccess(vault, refreshed.token, refused, "tokens signed with the old key are refused");
    vault.restart([&] { std::ofstream(vault.dir / "data/jwt.key") << "short\n"; });
    expect(signingKey(vault).size() >= 32, "a key too short to be safe is replaced");
}

} // namespace

int main() {
    return runAll({accessTokenExpiry, refreshRotationAndReuse, concurrentRefresh, deadSessionsPruned,
                   logoutScopes, forgedTokens, keyAndSessionsAcrossRestarts});
}
