#pragma once

// A small harness for the vault server's tests: plain C++ (the server links no Qt), named
// checks, and the closing line "N passed, N failed" that CTest's log shows.

#include "BlobStore.h"
#include "RawHttp.h"
#include "VaultCrypto.h"
#include "VaultServer.h"
#include "VaultStore.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <iostream>
#include <unistd.h>

using json = nlohmann::json;
constexpr auto npos = std::string::npos;
inline const httplib::Headers none;

struct Reply {
    int status = 0; // 0: no reply at all
    std::string raw;
    json body;
    // The refusal text whatever the service's error shape.
    std::string message() const {
        for (const char* key : {"message", "msg", "error_description"})
            if (body.is_object() && body.contains(key) && body[key].is_string())
                return body[key];
        return {};
    }
};

// The object with one member set.
inline json with(json object, const std::string& key, json value) {
    object[key] = std::move(value);
    return object;
}

inline int passed = 0, failed = 0;
inline void expect(bool ok, const std::string& name, const Reply& reply = {}) {
    ++(ok ? passed : failed);
    if (!ok)
        std::cout << "FAIL: " << name << " -- " << reply.status << " " << reply.raw << std::endl;
}
inline void expect(bool ok, const std::string& name, const raw::Reply& reply) {
    expect(ok, name, Reply{reply.status, reply.head + reply.body, {}});
}

// Runs the tests in order; the closing line, and the exit code CTest reads.
inline int runAll(std::initializer_list<void (*)()> tests) {
    for (const auto test : tests)
        test();
    std::cout << passed << " passed, " << failed << " failed" << std::endl;
    return failed == 0 ? 0 : 1;
}

inline const std::string anonKey = "test-anon-key";
inline std::string credentials(const std::string& email) {
    return json{{"email", email}, {"password", "correct horse"}}.dump();
}
inline httplib::Headers hosted(const std::string& token) {
    return {{"apikey", anonKey}, {"Authorization", "Bearer " + token}};
}
inline httplib::Headers bearer(const std::string& token) {
    return {{"Authorization", "Bearer " + token}};
}

// A folder under $TMPDIR (never the home folder) that goes away with it.
struct TempDir {
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    inline static int made = 0;
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("orlavant-vault-test-" + std::to_string(getpid()) + "-" + std::to_string(++made));
};

// The server in this process on an ephemeral loopback port, with a clock the test steps and
// limits small enough to pass cheaply, over a temporary folder: data/ holds the vault, web/ the
// pages.
class VaultFixture {
public:
    // `configure` changes the configuration before the server starts (short time-outs, small limits).
    using Configure = std::function<void(vault::VaultServer::Config&)>;
    explicit VaultFixture(std::int64_t quotaBytes = 10 << 20, const Configure& configure = {}) {
        m_config.dataDir = dir / "data";
        m_config.webDir = dir / "web";
        m_config.anonKey = anonKey;
        m_config.quotaBytes = quotaBytes;
        m_config.maxJsonBytes = 4096;
        m_config.maxUploadBytes = 1 << 20;
        m_config.passwordIterations = 1000; // the hash format is what is tested, not its cost
        m_config.nowMicros = [this] { return m_now.fetch_add(1); };
        m_config.log = [this](const std::string& line) {
            std::lock_guard lock(m_logMutex);
            m_log += line + "\n";
        };
        if (configure)
            configure(m_config);
        start();
    }
    ~VaultFixture() { stop(); }
    // Stops the server, runs `whileStopped` (to change the data folder as another program or an
    // earlier version would), and starts a new server on the same folder and clock.
    void restart(const std::function<void()>& whileStopped = {}) {
        stop();
        if (whileStopped)
            whileStopped();
        start();
    }
    std::int64_t nowSeconds() const { return m_now / 1'000'000; }
    void advanceSeconds(std::int64_t seconds) { m_now += seconds * 1'000'000; }
    vault::VaultStore& store() { return m_server->store(); }
    vault::SweepReport sweep() { return m_server->sweep(); }
    vault::BlobStore& blobs() { return m_server->blobs(); }
    std::string log() {
        std::lock_guard lock(m_logMutex);
        return m_log;
    }

    Reply request(const std::string& method, const std::string& path, const httplib::Headers& headers = {},
                  const std::string& body = {}) {
        httplib::Client client("127.0.0.1", port);
        httplib::Result result = method == "GET"      ? client.Get(path, headers)
                                 : method == "DELETE" ? client.Delete(path, headers)
                                 : method == "PUT"
                                     ? client.Put(path, headers, body, "application/octet-stream")
                                     : client.Post(path, headers, body, "application/json");
        if (!result)
            return {};
        return {result->status, result->body, json::parse(result->body, nullptr, false)};
    }

    // The account and session a sign-up, sign-in, registration or refresh answered with; only
    // the reply when refused.
    struct User {
        std::string id, token, refresh;
        Reply reply;
    };
    static User user(const Reply& r) {
        if (r.status >= 300 || !r.body.is_object() || !r.body.contains("user"))
            return {{}, {}, {}, r};
        return {r.body["user"].value("id", ""), r.body.value("access_token", r.body.value("token", "")),
                r.body.value("refresh_token", ""), r};
    }
    User signUp(const std::string& email) {
        return user(request("POST", "/auth/v1/signup", hosted(anonKey), credentials(email)));
    }
    User demo() { return user(request("POST", "/api/v1/auth/demo-login")); }

    TempDir temp; // made before `dir`, which names it
    const std::filesystem::path dir = temp.path;
    int port = -1;

private:
    void start() {
        m_server = std::make_unique<vault::VaultServer>(m_config);
        port = m_server->bind("127.0.0.1", 0);
        m_thread = std::thread([this] { m_server->run(); });
        while (!m_server->isRunning())
            std::this_thread::yield();
    }
    void stop() {
        m_server->stop();
        m_thread.join();
        m_server.reset();
    }

    vault::VaultServer::Config m_config;
    std::unique_ptr<vault::VaultServer> m_server;
    std::thread m_thread;
    std::atomic<std::int64_t> m_now{1'800'000'000'000'000};
    std::mutex m_logMutex;
    std::string m_log;
};

// One request and what its answer must hold: the status, a piece of its body and, for a
// refusal, a JSON message.
struct Step {
    std::string name, method, path;
    httplib::Headers headers;
    std::string body;
    int status;
    std::string holds = {};
};
inline void run(VaultFixture& vault, const std::vector<Step>& steps) {
    for (const auto& s : steps) {
        const Reply r = vault.request(s.method, s.path, s.headers, s.body);
        expect(r.status == s.status && r.raw.find(s.holds) != std::string::npos &&
                   (s.status < 400 || !r.message().empty()),
               s.name, r);
    }
}

inline std::string sha(const std::string& bytes) {
    return vault::crypto::sha256Hex(bytes);
}
// What the desktop client announces before an upload.
inline json claim(const std::string& bytes, const std::string& device = "Kitchen iMac") {
    return {{"file_hash", sha(bytes)},       {"file_size", bytes.size()}, {"filename", "photo.jpg"},
            {"folder_path", "/home/a/Sync"}, {"device_id", device},       {"mime_type", "image/jpeg"}};
}
inline Reply preUpload(VaultFixture& vault, const std::string& token, const std::string& bytes,
                       const std::string& device = "Kitchen iMac") {
    return vault.request("POST", "/api/files/pre-upload", bearer(token), claim(bytes, device).dump());
}
inline std::string uploadPath(const Reply& pre) {
    const std::string url = pre.body.value("upload_url", "");
    return url.empty() ? url : url.substr(url.find("/api/uploads/"));
}
inline std::string confirmBody(const Reply& pre, json claimed) {
    return with(std::move(claimed), "storage_key", pre.body.value("storage_key", "")).dump();
}
// The desktop client's upload: the pre-upload and, for content the vault asks for, the bytes and
// the confirmation.
struct Uploaded {
    Reply pre, confirmed;
};
inline Uploaded upload(VaultFixture& vault, const std::string& token, const std::string& bytes,
                       const std::string& device = "Kitchen iMac") {
    Uploaded result{preUpload(vault, token, bytes, device), {}};
    if (result.pre.status == 200 && !result.pre.body.value("deduplicated", false)) {
        vault.request("PUT", uploadPath(result.pre), {}, bytes);
        result.confirmed = vault.request("POST", "/api/files/confirm", bearer(token),
                                         confirmBody(result.pre, claim(bytes, device)));
    }
    return result;
}
inline std::size_t fileCount(VaultFixture& vault, const std::string& userId) {
    return vault.store().files(userId).size();
}
