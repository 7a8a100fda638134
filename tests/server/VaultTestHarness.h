#pragma once

// A small harness for the vault server's tests: plain C++ (the server links no Qt), named
// checks, and the closing line "N passed, N failed" that CTest's log shows.

#include "VaultServer.h"
#include "VaultStore.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vaulttest {

using json = nlohmann::json;

class Checks {
public:
    void check(bool ok, const std::string& name, const std::string& detail = {}) {
        if (ok) {
            ++m_passed;
            return;
        }
        ++m_failed;
        std::cout << "FAIL: " << name << (detail.empty() ? "" : " -- " + detail) << std::endl;
    }
    int finish() const {
        std::cout << m_passed << " passed, " << m_failed << " failed" << std::endl;
        return m_failed == 0 ? 0 : 1;
    }

private:
    int m_passed = 0;
    int m_failed = 0;
};

struct Reply {
    int status = 0; // 0: no reply at all
    std::string raw;
    json body;
    httplib::Headers headers;
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
    // The refusal text whatever the service's error shape.
    std::string message() const {
        for (const char* key : {"message", "msg", "error_description"})
            if (body.is_object() && body.contains(key) && body[key].is_string())
                return body[key];
        return {};
    }
};

// A temporary folder under $TMPDIR (never the home folder), removed at the end.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/orlavant-vault-test-XXXXXX";
        if (!mkdtemp(pattern.data()))
            std::abort();
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The server in this process on an ephemeral loopback port, with a clock the test steps.
class VaultFixture {
public:
    static constexpr const char* anonKey = "test-anon-key";

    explicit VaultFixture(const std::filesystem::path& dataDir, vault::VaultServer::Config config = {}) {
        config.dataDir = dataDir;
        config.anonKey = anonKey;
        config.passwordIterations = 1000; // the hash format is what is tested, not its cost
        config.nowMicros = [this] { return m_now.fetch_add(1); };
        config.log = [this](const std::string& line) {
            std::lock_guard lock(m_logMutex);
            m_log.push_back(line);
        };
        m_config = config;
        start();
    }
    ~VaultFixture() { stop(); }

    void start() {
        m_server = std::make_unique<vault::VaultServer>(m_config);
        m_port = m_server->bind("127.0.0.1", 0);
        m_thread = std::thread([this] { m_server->run(); });
        while (!m_server->isRunning())
            std::this_thread::yield();
    }
    void stop() {
        if (!m_server)
            return;
        m_server->stop();
        m_thread.join();
        m_server.reset();
    }
    void advanceSeconds(std::int64_t seconds) { m_now += seconds * 1'000'000; }

    int port() const { return m_port; }
    vault::VaultServer& server() { return *m_server; }
    vault::VaultStore& store() { return m_server->store(); }
    std::vector<std::string> log() {
        std::lock_guard lock(m_logMutex);
        return m_log;
    }

    Reply request(const std::string& method, const std::string& path, const httplib::Headers& headers = {},
                  const std::string& body = {}, const std::string& contentType = "application/json") {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(30, 0);
        httplib::Result result = method == "GET"   ? client.Get(path, headers)
                                 : method == "PUT" ? client.Put(path, headers, body, contentType)
                                                   : client.Post(path, headers, body, contentType);
        Reply reply;
        if (!result)
            return reply;
        reply.status = result->status;
        reply.raw = result->body;
        reply.headers = result->headers;
        reply.body = json::parse(result->body, nullptr, false);
        return reply;
    }

    // Hosted headers: the project's key and a bearer token.
    static httplib::Headers hosted(const std::string& token) {
        return {{"apikey", anonKey}, {"Authorization", "Bearer " + token}};
    }
    static httplib::Headers bearer(const std::string& token) {
        return {{"Authorization", "Bearer " + token}};
    }

    struct User {
        std::string id, token, email, householdId;
    };
    User signUp(const std::string& email, const std::string& password = "correct horse") {
        const Reply reply =
            request("POST", "/auth/v1/signup",
                    {{"apikey", anonKey}, {"Authorization", std::string("Bearer ") + anonKey}},
                    json{{"email", email}, {"password", password}}.dump());
        if (reply.status != 200)
            return {};
        return User{reply.body["user"]["id"], reply.body["access_token"], email,
                    reply.body["user"]["household_id"]};
    }
    User demo() {
        const Reply reply = request("POST", "/api/v1/auth/demo-login");
        if (reply.status != 200)
            return {};
        return User{reply.body["user"]["id"], reply.body["token"], reply.body["user"]["email"],
                    reply.body["user"]["household_id"]};
    }

private:
    vault::VaultServer::Config m_config;
    std::unique_ptr<vault::VaultServer> m_server;
    std::thread m_thread;
    int m_port = -1;
    std::atomic<std::int64_t> m_now{1'800'000'000'000'000};
    std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

} // namespace vaulttest
