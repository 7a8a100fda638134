#pragma once

// Shared between the server's source files only: the state behind VaultServer and the small
// helpers every route uses.

#include "BlobStore.h"
#include "DataFolderLock.h"
#include "Households.h"
#include "SessionAuthority.h"
#include "VaultServer.h"
#include "VaultStore.h"
#include "http/HttpServer.h"
#include "http/Router.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace vault {

using json = nlohmann::json;

struct VaultServer::Impl {
    explicit Impl(Config c);

    Config config;
    DataFolderLock folderLock; // before anything in the folder is opened or cleaned
    VaultStore store;
    BlobStore blobs;
    SessionAuthority sessions;
    Households households;
    http::Router router;
    std::string secret; // signs upload locations and download links
    std::string host;
    int port = -1;
    // Last, so it stops (and its handlers finish) before the routes and the store go.
    std::unique_ptr<http::HttpServer> server;

    // The sweep, and the thread that runs it every config.sweepInterval while serving.
    SweepReport sweep(bool atStartup);
    void sweepUntilStopped();
    std::mutex sweeperMutex;
    std::condition_variable sweeperWake;
    bool sweeperStopping = false;

    // Time.
    std::int64_t nowMicros() const;
    std::int64_t nowSeconds() const { return nowMicros() / 1'000'000; }
    std::string timestamp() const; // "2026-01-31T12:00:00.123456+00:00"

    // The sender of a request, from its "Authorization: Bearer" header.
    Authentication authenticate(const http::Request& req);

    // Request bodies. Reads at most `cap` bytes; larger bodies are refused unread.
    enum class BodyStatus { Ok, TooLarge, Broken };
    BodyStatus readBody(const http::Request& req, const http::BodyReader& reader, std::size_t cap,
                        std::string& out);
    // Parses a JSON object; nullopt for anything else (malformed, nested too deep, not an object).
    static std::optional<json> parseObject(const std::string& body);
    static std::optional<json> parseJson(const std::string& body); // any JSON value

    std::string sign(const std::string& purpose, const std::string& subject, std::int64_t expires) const;
    bool verifySignature(const std::string& purpose, const std::string& subject, std::int64_t expires,
                         const std::string& signature) const;
    std::string publicBase(const http::Request& req) const;

    // Streams a stored blob as the reply body (a single byte range of it when the request
    // asks); false when the blob is missing.
    bool streamBlob(const http::Request& req, http::Response& res, const ObjectRow& object);
    // One line of the log; control characters and bytes that are not UTF-8 are escaped, so
    // nothing a client sends can start a line of its own.
    void log(const std::string& line) const;

    void get(const std::string& pattern, http::Handler handler, http::CostRule cost = {});
    void post(const std::string& pattern, http::BodyHandler handler, http::CostRule cost = {});
    void put(const std::string& pattern, http::BodyHandler handler, http::CostRule cost = {});
    void del(const std::string& pattern, http::Handler handler, http::CostRule cost = {});

    // Reserves room for the ticket's content in the household's quota by storing the ticket,
    // checked and stored in one transaction so that two uploads never share the last room.
    // Content the household keeps or reserves already needs no more. The refusal's text when it
    // does not fit.
    std::optional<std::string> reserveUpload(const Account& account, const UploadTicket& ticket);
    std::string quotaExceeded(std::int64_t used, std::int64_t needed) const; // the refusal's words

    // A body the route does not read, refused (413) when it is larger than a JSON body may be.
    bool skipBody(const http::Request& req, const http::BodyReader& reader, http::Response& res);
    void refuseLargeBody(http::Response& res) const;
    // The backend's JSON object body, or the refusal already sent.
    std::optional<json> readBackendObject(const http::Request& req, const http::BodyReader& reader,
                                          http::Response& res);
    // The backend's signed-in caller, or the refusal (401, in words the client can show) already sent.
    std::optional<Account> backendCaller(const http::Request& req, http::Response& res);

    void installCommon();
    void installHosted();
    void installBackend();
    void installHouseholds();
};

// Runs its action when it goes out of scope, however the scope is left.
template <typename F> class ScopeExit {
public:
    explicit ScopeExit(F action)
        : m_action(std::move(action)) {}
    ~ScopeExit() { m_action(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F m_action;
};

void sendJson(http::Response& res, int status, const json& body);
void sendMessage(http::Response& res, int status, const std::string& message); // {"message": ...}
// "a\nb" -> "a\x0ab": one printable line whatever the text holds.
std::string escapeForLog(const std::string& text);
json fileRowJson(const FileRow& row);
// An object key: non-empty segments, none "." or "..", no backslash or control characters.
bool isSafeObjectKey(const std::string& key);
std::string percentEncodePath(const std::string& path);
// A JSON member holding a string (possibly empty); nullopt when absent or of another kind.
std::optional<std::string> stringMember(const json& object, const char* key);
std::string displayNameFor(const std::string& email);
json userJson(const Account& account, VaultStore& store);

} // namespace vault
