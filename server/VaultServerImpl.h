#pragma once

// Shared between the server's source files only: the state behind VaultServer and the small
// helpers every route uses.

#include "BlobStore.h"
#include "SessionAuthority.h"
#include "VaultServer.h"
#include "VaultStore.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

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
    VaultStore store;
    BlobStore blobs;
    SessionAuthority sessions;
    httplib::Server http;
    std::string secret; // signs upload locations and download links
    std::string host;
    int port = -1;

    // Time.
    std::int64_t nowMicros() const;
    std::int64_t nowSeconds() const { return nowMicros() / 1'000'000; }
    std::string timestamp() const; // "2026-01-31T12:00:00.123456+00:00"

    // The sender of a request, from its "Authorization: Bearer" header.
    Authentication authenticate(const httplib::Request& req);

    // Request bodies. Reads at most `cap` bytes; larger bodies are refused unread.
    enum class BodyStatus { Ok, TooLarge, Broken };
    BodyStatus readBody(const httplib::Request& req, const httplib::ContentReader& reader, std::size_t cap,
                        std::string& out);
    // Parses a JSON object; nullopt for anything else (malformed, nested too deep, not an object).
    static std::optional<json> parseObject(const std::string& body);
    static std::optional<json> parseJson(const std::string& body); // any JSON value

    std::string sign(const std::string& purpose, const std::string& subject, std::int64_t expires) const;
    bool verifySignature(const std::string& purpose, const std::string& subject, std::int64_t expires,
                         const std::string& signature) const;
    std::string publicBase(const httplib::Request& req) const;

    // Streams a stored blob as the reply body; false when the blob is missing.
    bool streamBlob(httplib::Response& res, const ObjectRow& object);
    void log(const std::string& line) const;

    // Register routes that take a body. A body the handler did not read (a refusal before
    // reading) is drained when it is small, so it is never taken for the next request.
    void post(const std::string& pattern, httplib::Server::HandlerWithContentReader handler);
    void put(const std::string& pattern, httplib::Server::HandlerWithContentReader handler);

    // Methods and paths whose bodies are read by their handlers (streamed, with their own caps).
    std::vector<std::pair<std::string, std::regex>> bodyRoutes;

    void installCommon();
    void installHosted();
    void installBackend();
};

void sendJson(httplib::Response& res, int status, const json& body);
json fileRowJson(const FileRow& row);
// An object key: non-empty segments, none "." or "..", no backslash or control characters.
bool isSafeObjectKey(const std::string& key);
std::string percentEncodePath(const std::string& path);
// A JSON member holding a string (possibly empty); nullopt when absent or of another kind.
std::optional<std::string> stringMember(const json& object, const char* key);
bool isValidEmail(const std::string& email);
std::string displayNameFor(const std::string& email);
json userJson(const Account& account, VaultStore& store);

} // namespace vault
