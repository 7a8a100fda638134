// The vault server in-process: shared accounts across both contracts, household deduplication,
// the quota, the single-use upload location, confirm's checks, storage ownership, bad input,
// and what survives a restart.

#include "BlobStore.h"
#include "VaultCrypto.h"
#include "VaultTestHarness.h"

#include <arpa/inet.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vaulttest;
namespace fs = std::filesystem;

namespace {

Checks checks;

void expect(bool ok, const std::string& name, const Reply& reply = {}) {
    checks.check(ok, name,
                 reply.status ? "status " + std::to_string(reply.status) + " body " + reply.raw : "");
}

std::string sha(const std::string& bytes) {
    return vault::crypto::sha256Hex(bytes);
}

json claim(const std::string& bytes, const std::string& name = "photo.jpg",
           const std::string& device = "Kitchen iMac") {
    return {{"file_hash", sha(bytes)},       {"file_size", bytes.size()}, {"filename", name},
            {"folder_path", "/home/a/Sync"}, {"device_id", device},       {"mime_type", "image/jpeg"}};
}

// Pre-upload, PUT, confirm; returns the confirm reply (or the first refusal).
Reply uploadThroughBackend(VaultFixture& vault, const std::string& token, const std::string& bytes,
                           const std::string& name = "photo.jpg",
                           const std::string& device = "Kitchen iMac") {
    Reply pre = vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(token),
                              claim(bytes, name, device).dump());
    if (pre.status != 200 || pre.body.value("deduplicated", false))
        return pre;
    const std::string url = pre.body["upload_url"];
    const std::string path = url.substr(url.find("/api/uploads/"));
    Reply put = vault.request("PUT", path, {}, bytes, "image/jpeg");
    if (put.status != 200)
        return put;
    json body = claim(bytes, name, device);
    body["storage_key"] = pre.body["storage_key"];
    return vault.request("POST", "/api/files/confirm", VaultFixture::bearer(token), body.dump());
}

std::int64_t fileCount(VaultFixture& vault, const std::string& userId) {
    return static_cast<std::int64_t>(vault.store().files(userId, {}, "", false).size());
}

// Sends a raw request head and gives back the status of the reply (0 when there is none).
int rawStatus(int port, const std::string& head) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        [[maybe_unused]] auto sent = ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        char buffer[4096];
        ssize_t got = 0;
        while (reply.find("\r\n") == std::string::npos && (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return reply.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(reply.c_str() + 9) : 0;
}

// Sends the head of a request and part of its body, then hangs up.
void sendTruncated(int port, const std::string& head, const std::string& partialBody) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string data = head + partialBody;
        [[maybe_unused]] auto sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        char buffer[4096];
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    }
    ::close(fd);
}

void sharedAccounts() {
    TempDir dir;
    VaultFixture vault(dir.path());
    const auto hostedUser = vault.signUp("jane@example.org");
    expect(!hostedUser.token.empty(), "hosted sign-up gives a session");

    // The backend's login knows the account made on the hosted side, and its token works there.
    Reply login = vault.request("POST", "/api/v1/auth/login", {},
                                json{{"email", "jane@example.org"}, {"password", "correct horse"}}.dump());
    expect(login.status == 200 && login.body["user"]["id"] == hostedUser.id &&
               login.body["tokens"]["access_token"] == login.body["access_token"],
           "backend login of a hosted account", login);
    const std::string backendToken = login.body.value("access_token", "");
    Reply list =
        vault.request("GET", "/rest/v1/files?user_id=eq." + hostedUser.id + "&order=created_at.desc&select=*",
                      VaultFixture::hosted(backendToken));
    expect(list.status == 200 && list.body.is_array(), "a backend token reads the hosted REST table", list);

    // And the other way round: a backend registration signs in on the hosted side.
    Reply reg = vault.request("POST", "/api/auth/register", {},
                              json{{"email", "sam@example.org"},
                                   {"password", "s3cret-pass"},
                                   {"full_name", "Sam"},
                                   {"household_name", "Sam's Family Vault"},
                                   {"plan_id", "basic"}}
                                  .dump());
    expect(reg.status == 201, "backend registration", reg);
    Reply hosted = vault.request("POST", "/auth/v1/token?grant_type=password",
                                 {{"apikey", VaultFixture::anonKey},
                                  {"Authorization", std::string("Bearer ") + VaultFixture::anonKey}},
                                 json{{"email", "SAM@example.org"}, {"password", "s3cret-pass"}}.dump());
    expect(hosted.status == 200 && hosted.body["user"]["email"] == "sam@example.org" &&
               hosted.body["token_type"] == "bearer",
           "hosted password grant of a backend account, e-mail case-insensitive", hosted);
    Reply pre =
        vault.request("POST", "/api/files/pre-upload",
                      VaultFixture::bearer(hosted.body.value("access_token", "")), claim("bytes").dump());
    expect(pre.status == 200, "a hosted token works on the backend", pre);

    // The demo login creates its account once and signs it in again after that.
    const auto first = vault.demo();
    const auto second = vault.demo();
    expect(!first.id.empty() && first.id == second.id && first.token != second.token &&
               first.email == "demo@vault.orlavant.app",
           "demo login: one demo account, a fresh token each time");

    // Passwords are kept as salted slow hashes, never as given.
    const auto account = vault.store().accountByEmail("jane@example.org");
    expect(account && account->passwordHash.rfind("pbkdf2-sha256$", 0) == 0 &&
               account->passwordHash.find("correct horse") == std::string::npos,
           "password stored as a PBKDF2 hash");
    expect(vault::crypto::verifyPassword("correct horse", account->passwordHash) &&
               !vault::crypto::verifyPassword("correct horsE", account->passwordHash),
           "password hash verifies only the right password");

    // Nothing secret ever reaches a log line.
    for (const auto& line : vault.log()) {
        const bool leaks = line.find(backendToken) != std::string::npos ||
                           line.find(hostedUser.token) != std::string::npos ||
                           line.find("correct horse") != std::string::npos;
        expect(!leaks, "log line without secrets: " + line);
    }
}

void householdDeduplicationAndQuota() {
    TempDir dir;
    vault::VaultServer::Config config;
    config.quotaBytes = 100;
    VaultFixture vault(dir.path(), config);
    const auto demo = vault.demo();
    const std::string sixty(60, 'a'), otherSixty(60, 'b');

    Reply first = uploadThroughBackend(vault, demo.token, sixty, "a.jpg", "Laptop");
    expect(first.status == 200 && first.body["file"]["file_size"] == 60, "first upload stored", first);

    // A second device of the same household: same content is deduplicated, nothing uploaded.
    Reply again = vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(demo.token),
                                claim(sixty, "copy.jpg", "Desktop").dump());
    expect(again.status == 200 && again.body["deduplicated"] == true && !again.body.contains("upload_url") &&
               again.body["message"] == "Deduplicated across Home vault",
           "same content from another device is deduplicated", again);

    // New content beyond the quota is refused with a message; content already held never is.
    Reply over = vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(demo.token),
                               claim(otherSixty, "b.jpg").dump());
    expect(over.status == 402 && over.message().find("quota") != std::string::npos,
           "quota refusal with a message", over);
    expect(vault.store().householdUsage(demo.householdId) == 60, "usage counts distinct content once");

    // Another household does not share content: its user uploads its own copy.
    const auto stranger = vault.signUp("stranger@example.org");
    Reply theirs = vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(stranger.token),
                                 claim(sixty).dump());
    expect(theirs.status == 200 && theirs.body["deduplicated"] == false && theirs.body.contains("upload_url"),
           "no deduplication across households", theirs);

    // A row registered on the hosted side with a claimed digest (no bytes) must not make the
    // backend skip real content: the stranger's household would lose the file.
    const std::string claimedOnly = "never uploaded";
    Reply rpc = vault.request("POST", "/rest/v1/rpc/register_or_deduplicate_file",
                              VaultFixture::hosted(stranger.token),
                              json{{"p_file_hash", sha(claimedOnly)},
                                   {"p_original_filename", "x"},
                                   {"p_file_path", stranger.id + "/x"},
                                   {"p_file_size", 14},
                                   {"p_mime_type", "text/plain"},
                                   {"p_device_name", "d"},
                                   {"p_device_type", "mac"},
                                   {"p_folder_path", "/f"}}
                                  .dump());
    expect(rpc.status == 200 && rpc.body["deduplicated"] == false, "procedure registers a new row", rpc);
    Reply afterClaim = vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(stranger.token),
                                     claim(claimedOnly).dump());
    expect(afterClaim.status == 200 && afterClaim.body["deduplicated"] == false,
           "a claimed digest without content is not deduplicated", afterClaim);
    Reply rpcAgain = vault.request("POST", "/rest/v1/rpc/register_or_deduplicate_file",
                                   VaultFixture::hosted(stranger.token),
                                   rpc.body.is_object() ? json{{"p_file_hash", sha(claimedOnly)},
                                                               {"p_original_filename", "y"},
                                                               {"p_file_path", stranger.id + "/y"},
                                                               {"p_file_size", 14},
                                                               {"p_mime_type", "text/plain"},
                                                               {"p_device_name", "d"},
                                                               {"p_device_type", "mac"},
                                                               {"p_folder_path", "/f"}}
                                                              .dump()
                                                        : "{}");
    expect(rpcAgain.status == 200 && rpcAgain.body["deduplicated"] == true &&
               rpcAgain.body["file"]["original_filename"] == "x",
           "procedure reports the user's existing row for the same digest", rpcAgain);
}

void uploadLocation() {
    TempDir dir;
    VaultFixture vault(dir.path());
    const auto user = vault.demo();
    const std::string bytes = "the real bytes";

    auto preUpload = [&](const std::string& content) {
        Reply pre = vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(user.token),
                                  claim(content).dump());
        const std::string url = pre.body.value("upload_url", "");
        return std::make_pair(pre, url.empty() ? url : url.substr(url.find("/api/uploads/")));
    };
    auto confirm = [&](const Reply& pre, const std::string& content) {
        json body = claim(content);
        body["storage_key"] = pre.body.value("storage_key", "");
        return vault.request("POST", "/api/files/confirm", VaultFixture::bearer(user.token), body.dump());
    };

    // Each row spoils the location in one way; none may leave a file behind.
    struct Row {
        const char* name;
        std::function<Reply(const std::string& path)> put;
        int status;
    };
    const std::vector<Row> rows = {
        {"tampered signature",
         [&](const std::string& p) {
             return vault.request("PUT", p.substr(0, p.size() - 4) + "0000", {}, bytes);
         },
         403},
        {"signature of another upload",
         [&](const std::string& p) {
             auto other = preUpload("other content");
             const std::string sig = other.second.substr(other.second.find("&signature="));
             return vault.request("PUT", p.substr(0, p.find("&signature=")) + sig, {}, bytes);
         },
         403},
        {"other bytes than announced",
         [&](const std::string& p) { return vault.request("PUT", p, {}, "the fake bytes"); }, 422},
        {"more bytes than announced",
         [&](const std::string& p) { return vault.request("PUT", p, {}, bytes + "!"); }, 413},
        {"fewer bytes than announced",
         [&](const std::string& p) { return vault.request("PUT", p, {}, bytes.substr(1)); }, 422},
        {"expired location",
         [&](const std::string& p) {
             vault.advanceSeconds(16 * 60);
             return vault.request("PUT", p, {}, bytes);
         },
         410},
    };
    for (const auto& row : rows) {
        auto [pre, path] = preUpload(bytes);
        const Reply put = row.put(path);
        expect(put.status == row.status && !put.message().empty(), std::string("upload refused: ") + row.name,
               put);
        const Reply conf = confirm(pre, bytes);
        expect(conf.status == 409, std::string("confirm refused after: ") + row.name, conf);
    }
    expect(fileCount(vault, user.id) == 0 && vault.store().objectCount() == 0,
           "refused uploads stored nothing");

    // Replay: the location works once.
    auto [pre, path] = preUpload(bytes);
    expect(vault.request("PUT", path, {}, bytes).status == 200, "upload accepted once");
    const Reply replay = vault.request("PUT", path, {}, bytes);
    expect(replay.status == 409 && !replay.message().empty(), "replayed upload location refused", replay);

    // Confirm checks the claim against the bytes that arrived.
    Reply wrongClaim = vault.request("POST", "/api/files/confirm", VaultFixture::bearer(user.token), [&] {
        json body = claim(bytes);
        body["storage_key"] = pre.body["storage_key"];
        body["file_size"] = bytes.size() + 1;
        return body.dump();
    }());
    expect(wrongClaim.status == 422 && fileCount(vault, user.id) == 0,
           "confirm with another size stores nothing", wrongClaim);
    const Reply good = confirm(pre, bytes);
    expect(good.status == 200 && fileCount(vault, user.id) == 1, "confirm stores the file", good);
    const Reply twice = confirm(pre, bytes);
    expect(twice.status == 409 && fileCount(vault, user.id) == 1, "second confirm refused", twice);

    // An upload cut off mid-body leaves nothing: no object, no blob, no temporary file.
    auto [cutPre, cutPath] = preUpload("x" + std::string(1000, 'y'));
    sendTruncated(
        vault.port(),
        "PUT " + cutPath +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1001\r\nContent-Type: text/plain\r\n\r\n",
        std::string(300, 'x'));
    const Reply afterCut = confirm(cutPre, "x" + std::string(1000, 'y'));
    expect(afterCut.status == 409, "confirm after an interrupted upload refused", afterCut);
    expect(fs::is_empty(dir.path() / "tmp"), "no temporary file left by the interrupted upload");
    expect(vault.request("PUT", cutPath, {}, "x" + std::string(1000, 'y')).status == 409,
           "an interrupted upload's location is spent");
}

void badInput() {
    TempDir dir;
    vault::VaultServer::Config config;
    config.maxJsonBytes = 4096;
    config.maxUploadBytes = 1 << 20;
    fs::create_directories(dir.path() / "web");
    fs::create_directories(dir.path() / "outside");
    std::ofstream(dir.path() / "web/login.html") << "<html>login</html>";
    std::ofstream(dir.path() / "outside/secret.txt") << "secret";
    fs::create_symlink(dir.path() / "outside/secret.txt", dir.path() / "web/leak.html");
    config.webDir = dir.path() / "web";
    VaultFixture vault(dir.path() / "data", config);
    const auto alice = vault.signUp("alice@example.org");
    const auto bob = vault.signUp("bob@example.org");
    const std::string anon = VaultFixture::anonKey;
    const httplib::Headers authAnon = {{"apikey", anon}, {"Authorization", "Bearer " + anon}};

    // An object of Bob's and a file of Alice's, which Bob and strangers try to reach.
    const std::string bobKey = bob.id + "/mac/Laptop/Sync/abc_b.txt";
    Reply stored = vault.request("POST", "/storage/v1/object/orlavant-files/" + bobKey,
                                 VaultFixture::hosted(bob.token), "bob's bytes", "text/plain");
    expect(stored.status == 200, "owner uploads to their own folder", stored);
    Reply aliceFile = uploadThroughBackend(vault, alice.token, "alice's bytes");
    const std::string aliceFileId = aliceFile.body["file"].value("id", "");

    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    std::string deepSmall = std::string(40, '[') + std::string(40, ']');
    json sizeAsText = claim("x");
    sizeAsText["file_size"] = "1";
    json negative = claim("x");
    negative["file_size"] = -1;
    json badHash = claim("x");
    badHash["file_hash"] = "not-a-digest";
    json tooBig = claim("x");
    tooBig["file_size"] = 2 << 20;

    struct Row {
        const char* name;
        std::string method, path;
        httplib::Headers headers;
        std::string body;
        int status;
    };
    const std::vector<Row> rows = {
        {"hosted sign-in without apikey",
         "POST",
         "/auth/v1/token?grant_type=password",
         {},
         R"({"email":"alice@example.org","password":"correct horse"})",
         401},
        {"hosted sign-in with a wrong apikey",
         "POST",
         "/auth/v1/token?grant_type=password",
         {{"apikey", anon + "x"}},
         R"({"email":"alice@example.org","password":"correct horse"})",
         401},
        {"hosted sign-in with malformed JSON", "POST", "/auth/v1/token?grant_type=password", authAnon,
         R"({"email":)", 400},
        {"hosted sign-in with a number as password", "POST", "/auth/v1/token?grant_type=password", authAnon,
         R"({"email":"alice@example.org","password":12345678})", 400},
        {"hosted sign-in with a wrong password", "POST", "/auth/v1/token?grant_type=password", authAnon,
         R"({"email":"alice@example.org","password":"wrong"})", 400},
        {"hosted sign-in of an unknown address", "POST", "/auth/v1/token?grant_type=password", authAnon,
         R"({"email":"nobody@example.org","password":"correct horse"})", 400},
        {"hosted refresh grant", "POST", "/auth/v1/token?grant_type=refresh_token", authAnon,
         R"({"refresh_token":"x"})", 400},
        {"sign-up of a taken address", "POST", "/auth/v1/signup", authAnon,
         R"({"email":"alice@example.org","password":"another one"})", 400},
        {"sign-up with a short password", "POST", "/auth/v1/signup", authAnon,
         R"({"email":"c@example.org","password":"123"})", 400},
        {"sign-up with an invalid address", "POST", "/auth/v1/signup", authAnon,
         R"({"email":"not an address","password":"123456"})", 400},
        {"backend login with malformed JSON", "POST", "/api/auth/login", {}, "email=alice", 400},
        {"backend login with an array", "POST", "/api/auth/login", {}, "[]", 400},
        {"backend login with a wrong password",
         "POST",
         "/api/auth/login",
         {},
         R"({"email":"alice@example.org","password":"wrong"})",
         401},
        {"backend registration of a taken address",
         "POST",
         "/api/v1/auth/register",
         {},
         R"({"email":"bob@example.org","password":"whatever1"})",
         409},
        {"pre-upload without a token", "POST", "/api/files/pre-upload", {}, claim("x").dump(), 401},
        {"pre-upload with an unknown token", "POST", "/api/files/pre-upload", VaultFixture::bearer("forged"),
         claim("x").dump(), 401},
        {"pre-upload with the anon key as token", "POST", "/api/files/pre-upload", VaultFixture::bearer(anon),
         claim("x").dump(), 401},
        {"pre-upload with the size as text", "POST", "/api/files/pre-upload",
         VaultFixture::bearer(alice.token), sizeAsText.dump(), 400},
        {"pre-upload with a negative size", "POST", "/api/files/pre-upload",
         VaultFixture::bearer(alice.token), negative.dump(), 400},
        {"pre-upload with a malformed digest", "POST", "/api/files/pre-upload",
         VaultFixture::bearer(alice.token), badHash.dump(), 400},
        {"pre-upload over the upload limit", "POST", "/api/files/pre-upload",
         VaultFixture::bearer(alice.token), tooBig.dump(), 413},
        {"pre-upload body over the JSON limit", "POST", "/api/files/pre-upload",
         VaultFixture::bearer(alice.token), R"({"pad":")" + std::string(5000, 'p') + R"("})", 413},
        {"pre-upload nested beyond reason", "POST", "/api/files/pre-upload",
         VaultFixture::bearer(alice.token), deepSmall, 400},
        {"pre-upload missing members", "POST", "/api/files/pre-upload", VaultFixture::bearer(alice.token),
         "{}", 400},
        {"confirm without an upload", "POST", "/api/files/confirm", VaultFixture::bearer(alice.token),
         [&] {
             json body = claim("never sent");
             body["storage_key"] = alice.id + "/vault/" + sha("never sent");
             return body.dump();
         }(),
         409},
        {"device registration without a name", "POST", "/api/devices/register",
         VaultFixture::bearer(alice.token), R"({"device_type":"mac","app_version":"1.0.0"})", 400},
        {"REST listing without a token", "GET", "/rest/v1/files?select=*", {{"apikey", anon}}, "", 401},
        {"REST filter on an unknown column", "GET", "/rest/v1/files?owner=eq.x&select=*",
         VaultFixture::hosted(alice.token), "", 400},
        {"REST filter with another operator", "GET", "/rest/v1/files?file_size=gt.1&select=*",
         VaultFixture::hosted(alice.token), "", 400},
        {"REST insert of another user's row", "POST", "/rest/v1/files", VaultFixture::hosted(alice.token),
         json{{"user_id", bob.id},
              {"file_hash", sha("z")},
              {"original_filename", "z"},
              {"file_path", bob.id + "/z"},
              {"file_size", 1},
              {"mime_type", "text/plain"},
              {"device_name", "d"},
              {"device_type", "mac"},
              {"folder_path", "/f"}}
             .dump(),
         403},
        {"REST insert with the size as text", "POST", "/rest/v1/files", VaultFixture::hosted(alice.token),
         json{{"user_id", alice.id},
              {"file_hash", sha("z")},
              {"original_filename", "z"},
              {"file_path", alice.id + "/z"},
              {"file_size", "1"},
              {"mime_type", "text/plain"},
              {"device_name", "d"},
              {"device_type", "mac"}}
             .dump(),
         400},
        {"REST insert with malformed JSON", "POST", "/rest/v1/files", VaultFixture::hosted(alice.token),
         "{\"user_id\"", 400},
        {"REST insert nested beyond reason", "POST", "/rest/v1/files", VaultFixture::hosted(alice.token),
         deep, 413},
        {"procedure without a parameter", "POST", "/rest/v1/rpc/register_or_deduplicate_file",
         VaultFixture::hosted(alice.token), R"({"p_file_hash":"x"})", 404},
        {"storage upload into another user's folder", "POST",
         "/storage/v1/object/orlavant-files/" + bob.id + "/mine.txt", VaultFixture::hosted(alice.token),
         "intruder", 400},
        {"storage key climbing out with ..", "POST",
         "/storage/v1/object/orlavant-files/" + alice.id + "/%2e%2e/" + bob.id + "/x.txt",
         VaultFixture::hosted(alice.token), "x", 400},
        {"storage key with an empty segment", "POST",
         "/storage/v1/object/orlavant-files/" + alice.id + "//x.txt", VaultFixture::hosted(alice.token), "x",
         400},
        {"storage key with a backslash", "POST",
         "/storage/v1/object/orlavant-files/" + alice.id + "/a%5C..%5Cb", VaultFixture::hosted(alice.token),
         "x", 400},
        {"storage upload to another bucket", "POST", "/storage/v1/object/other-bucket/" + alice.id + "/x.txt",
         VaultFixture::hosted(alice.token), "x", 400},
        {"storage upload over the limit", "POST",
         "/storage/v1/object/orlavant-files/" + alice.id + "/big.bin", VaultFixture::hosted(alice.token),
         std::string((1 << 20) + 1, 'b'), 413},
        {"storage download of another user's object", "GET",
         "/storage/v1/object/authenticated/orlavant-files/" + bobKey, VaultFixture::hosted(alice.token), "",
         400},
        {"storage signing another user's object", "POST", "/storage/v1/object/sign/orlavant-files/" + bobKey,
         VaultFixture::hosted(alice.token), R"({"expiresIn":3600})", 400},
        {"signed link with a forged token",
         "GET",
         "/storage/v1/object/sign/orlavant-files/" + bobKey + "?token=9999999999.abc",
         {},
         "",
         400},
        {"download of another user's file", "GET", "/api/files/" + aliceFileId + "/download",
         VaultFixture::bearer(bob.token), "", 404},
        {"web page climbing out with ..", "GET", "/web/%2e%2e/outside/secret.txt", {}, "", 404},
        {"web page through a symbolic link out of the folder", "GET", "/web/leak.html", {}, "", 404},
        {"web page that is hidden", "GET", "/web/.env", {}, "", 404},
    };

    const auto objectsBefore = vault.store().objectCount();
    for (const auto& row : rows) {
        const Reply reply = vault.request(row.method, row.path, row.headers, row.body);
        expect(reply.status == row.status && reply.body.is_object() && !reply.message().empty(),
               std::string("bad input refused with a JSON message: ") + row.name, reply);
    }
    expect(vault.store().objectCount() == objectsBefore, "bad input stored no object");
    expect(fileCount(vault, alice.id) == 1 && fileCount(vault, bob.id) == 0, "bad input stored no row");
    expect(fs::is_empty(dir.path() / "data/tmp"), "bad input left no temporary file");

    const Reply page = vault.request("GET", "/web/login.html");
    expect(page.status == 200 && page.raw == "<html>login</html>" &&
               page.header("Content-Type").rfind("text/html", 0) == 0,
           "a page inside the web folder is served", page);
    // A row filtered by someone else's id is simply not there, as row-level security has it.
    const Reply foreign = vault.request("GET", "/rest/v1/files?user_id=eq." + alice.id + "&select=*",
                                        VaultFixture::hosted(bob.token));
    expect(foreign.status == 200 && foreign.body == json::array(), "another user's rows are invisible",
           foreign);
    // Routes that take no body, and unknown paths, refuse a large one before reading it (the
    // HTTP layer would otherwise hold all of it in memory).
    for (const std::string method : {"GET /health", "POST /no/such/route", "DELETE /api/files"}) {
        const int status =
            rawStatus(vault.port(), method + " HTTP/1.1\r\nHost: x\r\nContent-Length: 900000000\r\n\r\n");
        expect(status == 413, "large body refused unread: " + method);
    }
    // The same connection keeps working after a refusal whose body was never read.
    httplib::Client client("127.0.0.1", vault.port());
    client.set_keep_alive(true);
    auto refused = client.Post("/api/files/pre-upload", claim("x").dump(), "application/json");
    auto healthy = client.Get("/health");
    expect(refused && refused->status == 401 && healthy && healthy->status == 200,
           "a refused request does not spoil the connection for the next one");
}

void storageAndListing() {
    TempDir dir;
    VaultFixture vault(dir.path());
    const auto user = vault.demo();
    const std::string key = user.id + "/mac/My Laptop/Sync/" + sha("pdf bytes") + "_report 1.pdf";
    const std::string encoded = user.id + "/mac/My%20Laptop/Sync/" + sha("pdf bytes") + "_report%201.pdf";
    Reply up = vault.request(
        "POST", "/storage/v1/object/orlavant-files/" + encoded,
        [&] {
            auto h = VaultFixture::hosted(user.token);
            h.emplace("x-upsert", "false");
            return h;
        }(),
        "pdf bytes", "application/pdf");
    expect(up.status == 200 && up.body["Key"] == "orlavant-files/" + key,
           "object stored under its decoded key", up);
    Reply dup = vault.request("POST", "/storage/v1/object/orlavant-files/" + encoded,
                              VaultFixture::hosted(user.token), "other bytes", "application/pdf");
    expect(dup.status == 400 && dup.body["statusCode"] == "409", "existing object: 400 with statusCode 409",
           dup);

    Reply sign = vault.request("POST", "/storage/v1/object/sign/orlavant-files/" + encoded,
                               VaultFixture::hosted(user.token), R"({"expiresIn":3600})");
    const std::string link = sign.body.value("signedURL", "");
    expect(sign.status == 200 && link.rfind("/object/sign/orlavant-files/", 0) == 0,
           "signed link relative to /storage/v1", sign);
    Reply viaLink = vault.request("GET", "/storage/v1" + link);
    expect(viaLink.status == 200 && viaLink.raw == "pdf bytes",
           "signed link gives the stored bytes (not the duplicate's)", viaLink);
    Reply direct = vault.request("GET", "/storage/v1/object/authenticated/orlavant-files/" + encoded,
                                 VaultFixture::hosted(user.token));
    expect(direct.status == 200 && direct.raw == "pdf bytes" &&
               direct.header("Content-Type") == "application/pdf",
           "authenticated download", direct);
    vault.advanceSeconds(3601);
    Reply expired = vault.request("GET", "/storage/v1" + link);
    expect(expired.status == 400 && expired.message() == "jwt expired", "expired signed link refused",
           expired);

    // Rows through the insert (merge on the same path) and the listing's order and filters.
    const json row = {{"user_id", user.id},
                      {"file_hash", sha("pdf bytes")},
                      {"original_filename", "report 1.pdf"},
                      {"file_path", key},
                      {"file_size", 9},
                      {"mime_type", "application/pdf"},
                      {"device_name", "My Laptop"},
                      {"device_type", "mac"},
                      {"folder_path", "/home/a/Sync"}};
    httplib::Headers prefer = VaultFixture::hosted(user.token);
    prefer.emplace("Prefer", "resolution=merge-duplicates,return=representation");
    Reply inserted = vault.request("POST", "/rest/v1/files", prefer, row.dump());
    expect(inserted.status == 201 && inserted.body.is_array() && inserted.body.size() == 1 &&
               inserted.body[0]["file_size"] == 9 && inserted.body[0]["folder_path"] == "/home/a/Sync",
           "insert answers 201 with the stored rows", inserted);
    Reply merged = vault.request("POST", "/rest/v1/files", prefer, row.dump());
    expect(merged.status == 201 && merged.body[0]["id"] == inserted.body[0]["id"],
           "merge-duplicates keeps one row", merged);
    Reply conflict = vault.request("POST", "/rest/v1/files", VaultFixture::hosted(user.token), row.dump());
    expect(conflict.status == 409, "insert without merging refuses a duplicate", conflict);

    uploadThroughBackend(vault, user.token, "second file", "b.txt");
    uploadThroughBackend(vault, user.token, "third file", "c.txt");
    Reply list =
        vault.request("GET", "/rest/v1/files?user_id=eq." + user.id + "&order=created_at.desc&select=*",
                      VaultFixture::hosted(user.token));
    std::vector<std::string> names;
    for (const auto& r : list.body)
        names.push_back(r["original_filename"]);
    expect(names == std::vector<std::string>{"c.txt", "b.txt", "report 1.pdf"}, "listing newest first", list);
    Reply byHash = vault.request(
        "GET", "/rest/v1/files?user_id=eq." + user.id + "&file_hash=eq." + sha("second file") + "&select=*",
        VaultFixture::hosted(user.token));
    expect(byHash.status == 200 && byHash.body.size() == 1 && byHash.body[0]["original_filename"] == "b.txt",
           "digest lookup finds one row", byHash);

    // The web pages' download: the file's bytes and a name that cannot become a path.
    const std::string id = list.body[0]["id"];
    Reply download = vault.request("GET", "/api/files/" + id + "/download", VaultFixture::bearer(user.token));
    expect(download.status == 200 && download.raw == "third file" &&
               download.header("Content-Disposition").find("filename=\"c.txt\"") != std::string::npos,
           "backend download with its file name", download);
}

void restartKeepsEverything() {
    TempDir dir;
    std::string token, userId;
    std::string key;
    {
        VaultFixture vault(dir.path());
        const auto user = vault.signUp("keep@example.org");
        token = user.token;
        userId = user.id;
        const Reply stored = uploadThroughBackend(vault, token, "kept bytes", "kept.txt");
        key = stored.body["file"].value("file_path", "");
        // An upload that arrived but was never confirmed, and a stray blob no one refers to.
        Reply pre = vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(token),
                                  claim("pending bytes").dump());
        const std::string url = pre.body["upload_url"];
        vault.request("PUT", url.substr(url.find("/api/uploads/")), {}, "pending bytes");
        fs::create_directories(dir.path() / "blobs" / sha("stray").substr(0, 2));
        std::ofstream(dir.path() / "blobs" / sha("stray").substr(0, 2) / sha("stray")) << "stray";
        std::ofstream(dir.path() / "tmp" / "upload-leftover") << "half";
        vault.stop();
    }
    VaultFixture vault(dir.path());
    Reply login = vault.request("POST", "/api/auth/login", {},
                                json{{"email", "keep@example.org"}, {"password", "correct horse"}}.dump());
    expect(login.status == 200, "account survives a restart", login);
    Reply download = vault.request("GET", "/storage/v1/object/authenticated/orlavant-files/" + key,
                                   VaultFixture::hosted(token));
    expect(download.status == 200 && download.raw == "kept bytes", "token and bytes survive a restart",
           download);
    vault::BlobStore& blobs = vault.server().blobs();
    expect(blobs.contains(sha("pending bytes")), "an upload awaiting confirm keeps its bytes");
    expect(!blobs.contains(sha("stray")), "a blob nobody refers to is removed at start");
    expect(fs::is_empty(dir.path() / "tmp"), "temporary files of cut-off uploads are removed at start");
    // An expired session is refused, whichever side asks.
    vault.advanceSeconds(8 * 24 * 3600);
    const Reply late =
        vault.request("POST", "/api/files/pre-upload", VaultFixture::bearer(token), claim("z").dump());
    const Reply lateRest = vault.request("GET", "/rest/v1/files?select=*", VaultFixture::hosted(token));
    expect(late.status == 401 && lateRest.status == 401, "an expired token is refused on both sides", late);
}

} // namespace

int main() {
    sharedAccounts();
    householdDeduplicationAndQuota();
    uploadLocation();
    badInput();
    storageAndListing();
    restartKeepsEverything();
    return checks.finish();
}
