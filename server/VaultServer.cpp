#include "VaultServerImpl.h"

#include "VaultCrypto.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <mutex>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vault {

namespace {

// Deeply nested input would make parsing and freeing recurse without bound.
bool nestingWithin(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::string contentTypeForPage(const fs::path& path) {
    static const std::map<std::string, std::string> types = {{".html", "text/html; charset=utf-8"},
                                                             {".htm", "text/html; charset=utf-8"},
                                                             {".js", "text/javascript; charset=utf-8"},
                                                             {".mjs", "text/javascript; charset=utf-8"},
                                                             {".css", "text/css; charset=utf-8"},
                                                             {".json", "application/json"},
                                                             {".svg", "image/svg+xml"},
                                                             {".png", "image/png"},
                                                             {".jpg", "image/jpeg"},
                                                             {".jpeg", "image/jpeg"},
                                                             {".gif", "image/gif"},
                                                             {".webp", "image/webp"},
                                                             {".ico", "image/x-icon"},
                                                             {".woff2", "font/woff2"},
                                                             {".txt", "text/plain; charset=utf-8"}};
    const auto it = types.find(http::asciiLower(path.extension().string()));
    return it == types.end() ? "application/octet-stream" : it->second;
}

// A page path below /web/: plain names only, so no request can leave the web folder.
bool isSafePagePath(const std::string& page) {
    if (page.empty() || page.size() > 512)
        return false;
    std::size_t start = 0;
    while (start <= page.size()) {
        const std::size_t end = std::min(page.find('/', start), page.size());
        const std::string segment = page.substr(start, end - start);
        if (segment.empty() || segment[0] == '.')
            return false;
        for (char c : segment)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
                return false;
        start = end + 1;
    }
    return true;
}

} // namespace

VaultServer::Impl::Impl(Config c)
    : config(std::move(c))
    , folderLock((fs::create_directories(config.dataDir), config.dataDir))
    , store(config.dataDir / "vault.sqlite3")
    , blobs(config.dataDir)
    , sessions(store,
               crypto::loadOrCreateKeyFile(
                   config.dataDir / "jwt.key", [] { return crypto::randomToken(); }, 32),
               [this] { return nowSeconds(); },
               {config.accessTokenSeconds, config.backendSessionSeconds, config.refreshReuseSeconds})
    , households(store, [this] { return timestamp(); }) {
    if (auto stored = store.meta("signing_secret")) {
        secret = *stored;
    } else {
        secret = crypto::hexEncode(crypto::randomBytes(32));
        store.setMeta("signing_secret", secret);
    }
    for (const char* name : {"vault.sqlite3", "vault.sqlite3-wal", "vault.sqlite3-shm"}) {
        std::error_code ignored;
        fs::permissions(config.dataDir / name, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace, ignored);
    }
    // What a stop or a crash left behind: uploads cut off, received and never confirmed, or
    // refused; sessions long dead.
    sweep(true);
}

SweepReport VaultServer::Impl::sweep(bool atStartup) {
    constexpr std::int64_t week = 7 * 24 * 3600;
    SweepReport report = store.sweepRows(nowSeconds(), week, atStartup);
    report.blobs = blobs.removeUnreferenced([this] { return store.referencedContent(); });
    if (report.uploadTickets + report.blobs + report.sessions + report.refreshTokens > 0)
        log("[vault] sweep removed " + std::to_string(report.blobs) + " unreferenced blobs, " +
            std::to_string(report.uploadTickets) + " finished or expired upload tickets, " +
            std::to_string(report.sessions) + " dead sessions and " + std::to_string(report.refreshTokens) +
            " of their refresh tokens");
    return report;
}

void VaultServer::Impl::sweepUntilStopped() {
    std::unique_lock lock(sweeperMutex);
    while (!sweeperStopping) {
        if (sweeperWake.wait_for(lock, config.sweepInterval, [this] { return sweeperStopping; }))
            break;
        lock.unlock();
        try {
            sweep(false);
        } catch (const std::exception& e) {
            log(std::string("[vault] sweep failed, trying again later: ") + e.what());
        }
        lock.lock();
    }
}

std::int64_t VaultServer::Impl::nowMicros() const {
    if (config.nowMicros)
        return config.nowMicros();
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string VaultServer::Impl::timestamp() const {
    return formatTimestamp(nowMicros());
}

Authentication VaultServer::Impl::authenticate(const http::Request& req) {
    const std::string header = req.header("Authorization");
    static const std::string prefix = "Bearer ";
    if (header.compare(0, prefix.size(), prefix) != 0)
        return sessions.authenticate({});
    return sessions.authenticate(std::string_view(header).substr(prefix.size()));
}

std::string VaultServer::Impl::quotaExceeded(std::int64_t used, std::int64_t needed) const {
    return "Household quota exceeded: " + std::to_string(used) + " of " + std::to_string(config.quotaBytes) +
           " bytes used, this file needs " + std::to_string(needed) + ". Please upgrade plan.";
}

std::optional<std::string> VaultServer::Impl::reserveUpload(const Account& account,
                                                            const UploadTicket& ticket) {
    std::optional<std::string> refusal;
    store.transaction([&] {
        const std::int64_t now = nowSeconds();
        if (!store.householdCounts(account.householdId, ticket.fileHash, now)) {
            const std::int64_t used = store.householdUsage(account.householdId, now);
            if (used + ticket.fileSize > config.quotaBytes) {
                refusal = quotaExceeded(used, ticket.fileSize);
                return;
            }
        }
        store.createUpload(ticket, timestamp());
    });
    return refusal;
}

VaultServer::Impl::BodyStatus VaultServer::Impl::readBody(const http::Request& req,
                                                          const http::BodyReader& reader, std::size_t cap,
                                                          std::string& out) {
    out.clear();
    if (req.contentLength() > cap)
        return BodyStatus::TooLarge;
    bool tooLarge = false;
    const bool ok = reader([&](const char* data, std::size_t length) {
        if (out.size() + length > cap) {
            tooLarge = true;
            return false;
        }
        out.append(data, length);
        return true;
    });
    if (tooLarge)
        return BodyStatus::TooLarge;
    return ok ? BodyStatus::Ok : BodyStatus::Broken;
}

std::optional<json> VaultServer::Impl::parseJson(const std::string& body) {
    if (!nestingWithin(body, 32))
        return std::nullopt;
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

std::optional<json> VaultServer::Impl::parseObject(const std::string& body) {
    auto parsed = parseJson(body);
    if (!parsed || !parsed->is_object())
        return std::nullopt;
    return parsed;
}

std::string VaultServer::Impl::sign(const std::string& purpose, const std::string& subject,
                                    std::int64_t expires) const {
    return crypto::hmacSha256Hex(secret, purpose + "\n" + subject + "\n" + std::to_string(expires));
}

bool VaultServer::Impl::verifySignature(const std::string& purpose, const std::string& subject,
                                        std::int64_t expires, const std::string& signature) const {
    return crypto::constantTimeEquals(sign(purpose, subject, expires), signature);
}

std::string VaultServer::Impl::publicBase(const http::Request& req) const {
    // A wildcard bind has no address a client could use, so the client's own Host is echoed,
    // but only when it is a plain host[:port].
    if (host == "0.0.0.0" || host == "::") {
        static const std::regex plainHost(R"(^[A-Za-z0-9.\-]+(:[0-9]{1,5})?$)");
        const std::string requested = req.header("Host");
        if (std::regex_match(requested, plainHost))
            return "http://" + requested;
        return "http://127.0.0.1:" + std::to_string(port);
    }
    return "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

bool VaultServer::Impl::streamBlob(const http::Request& req, http::Response& res, const ObjectRow& object) {
    if (!crypto::isLowerHexDigest(object.sha256))
        return false;
    const int fd = ::open(blobs.pathFor(object.sha256).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    // Content is addressed by its digest, so the digest names this version exactly.
    res.sendFile(req, fd, static_cast<std::uint64_t>(st.st_size), object.mimeType,
                 "\"" + object.sha256 + "\"");
    return true;
}

void VaultServer::Impl::get(const std::string& pattern, http::Handler handler, http::CostRule cost) {
    router.get(pattern, std::move(handler), std::move(cost));
}

void VaultServer::Impl::post(const std::string& pattern, http::BodyHandler handler, http::CostRule cost) {
    router.post(pattern, std::move(handler), std::move(cost));
}

void VaultServer::Impl::put(const std::string& pattern, http::BodyHandler handler, http::CostRule cost) {
    router.put(pattern, std::move(handler), std::move(cost));
}

void VaultServer::Impl::del(const std::string& pattern, http::Handler handler, http::CostRule cost) {
    router.del(pattern, std::move(handler), std::move(cost));
}

void VaultServer::Impl::log(const std::string& text) const {
    const std::string line = escapeForLog(text);
    if (config.log) {
        config.log(line);
        return;
    }
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cout << line << std::endl;
}

std::string escapeForLog(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        // Whole UTF-8 sequences pass as they are; a stray byte is shown by its value.
        std::size_t length = 1;
        if (c >= 0x80) {
            length = (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
            if (length == 0 || !http::isValidUtf8(std::string_view(text).substr(i, length)))
                length = 0;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length;
        } else if (c < 0x20 || c == 0x7f || c >= 0x80 || c == '\\') {
            out += c == '\\' ? "\\\\" : std::string("\\x") + digits[c >> 4] + digits[c & 15];
            ++i;
        } else {
            out += static_cast<char>(c);
            ++i;
        }
    }
    return out;
}

void VaultServer::Impl::installCommon() {
    get("/health", [](const http::Request&, http::Response& res) {
        sendJson(res, 200, {{"status", "ok"}, {"service", "orlavant-vault"}});
    });
    get("/", [](const http::Request&, http::Response& res) { res.setRedirect("/web/login.html"); });
    get("/web/?", [](const http::Request&, http::Response& res) { res.setRedirect("/web/login.html"); });
    get("/web/(.+)", [this](const http::Request& req, http::Response& res) {
        const std::string page = req.matches[1];
        std::error_code error;
        const fs::path root = config.webDir.empty() ? fs::path() : fs::canonical(config.webDir, error);
        if (root.empty() || error || !isSafePagePath(page)) {
            sendJson(res, 404, {{"message", "No such page"}});
            return;
        }
        // Symbolic links inside the folder must not lead out of it either.
        const fs::path resolved = fs::weakly_canonical(root / page, error);
        const auto rel = resolved.lexically_relative(root);
        if (error || rel.empty() || *rel.begin() == ".." || !fs::is_regular_file(resolved, error)) {
            sendJson(res, 404, {{"message", "No such page"}});
            return;
        }
        std::ifstream in(resolved, std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        res.setHeader("X-Content-Type-Options", "nosniff");
        res.setContent(content, contentTypeForPage(resolved));
    });
}

void sendJson(http::Response& res, int status, const json& body) {
    res.status = status;
    // A text that is not UTF-8 must not turn a reply into an exception after the work is done.
    res.setContent(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void sendMessage(http::Response& res, int status, const std::string& message) {
    sendJson(res, status, {{"message", message}});
}

json fileRowJson(const FileRow& row) {
    return json{{"id", row.id},
                {"user_id", row.userId},
                {"file_hash", row.fileHash},
                {"original_filename", row.originalFilename},
                {"file_path", row.filePath},
                {"file_size", row.fileSize},
                {"mime_type", row.mimeType},
                {"device_name", row.deviceName},
                {"device_type", row.deviceType},
                {"folder_path", row.folderPath ? json(*row.folderPath) : json(nullptr)},
                {"created_at", row.createdAt},
                {"updated_at", row.updatedAt}};
}

bool isSafeObjectKey(const std::string& key) {
    if (key.empty() || key.size() > 1024)
        return false;
    std::size_t start = 0;
    while (start <= key.size()) {
        const std::size_t end = std::min(key.find('/', start), key.size());
        const std::string segment = key.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..")
            return false;
        start = end + 1;
    }
    for (unsigned char c : key)
        if (c < 0x20 || c == 0x7f || c == '\\')
            return false;
    return true;
}

std::string percentEncodePath(const std::string& path) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::optional<std::string> stringMember(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::string displayNameFor(const std::string& email) {
    std::string name = email.substr(0, email.find('@'));
    bool start = true;
    for (auto& c : name) {
        const auto u = static_cast<unsigned char>(c);
        c = static_cast<char>(start ? std::toupper(u) : std::tolower(u));
        start = !std::isalnum(u);
    }
    return name;
}

json userJson(const Account& account, VaultStore& store) {
    const auto household = store.household(account.householdId);
    return json{{"id", account.id},
                {"email", account.email},
                {"full_name", account.fullName},
                {"household_id", account.householdId},
                {"household_name", household ? household->name : ""},
                {"household_role", household && household->ownerId == account.id ? "owner" : "member"},
                {"aud", "authenticated"},
                {"role", "authenticated"},
                {"created_at", account.createdAt},
                {"user_metadata", {{"full_name", account.fullName}}}};
}

VaultServer::VaultServer(Config config)
    : m_impl(std::make_unique<Impl>(std::move(config))) {
    m_impl->installCommon();
    m_impl->installHosted();
    m_impl->installBackend();
    m_impl->installHouseholds();
    Impl& impl = *m_impl;
    // The transport's limit on any body is only a backstop: it never cuts an upload the
    // vault's own limit allows.
    auto& transport = impl.config.transport;
    transport.maxBodyBytes = std::max<std::uint64_t>(
        transport.maxBodyBytes, static_cast<std::uint64_t>(impl.config.maxUploadBytes) + (1 << 20));
    // One line per request; the query is left out because signed links carry their signature there.
    impl.server = std::make_unique<http::HttpServer>(
        impl.router, impl.config.transport,
        [&impl](const http::Request& req, int status) {
            impl.log("[vault] " + req.remoteAddr + " " + (req.method.empty() ? "-" : req.method) + " " +
                     (req.path.empty() ? "-" : req.path) + " " + std::to_string(status));
        },
        [&impl](const std::string& line) { impl.log(line); });
}

VaultServer::~VaultServer() {
    stop();
}

int VaultServer::bind(const std::string& host, int port, std::string* error) {
    std::string reason;
    m_impl->host = host;
    m_impl->port = m_impl->server->bind(host, port, reason);
    if (error)
        *error = reason;
    return m_impl->port;
}

void VaultServer::run() {
    Impl& impl = *m_impl;
    {
        std::lock_guard lock(impl.sweeperMutex);
        impl.sweeperStopping = false;
    }
    std::thread sweeper([&impl] { impl.sweepUntilStopped(); });
    impl.server->run();
    {
        std::lock_guard lock(impl.sweeperMutex);
        impl.sweeperStopping = true;
    }
    impl.sweeperWake.notify_all();
    sweeper.join();
}

SweepReport VaultServer::sweep() {
    return m_impl->sweep(false);
}

void VaultServer::stop() {
    m_impl->server->stop();
}

bool VaultServer::isRunning() const {
    return m_impl->server->isRunning();
}

std::string VaultServer::baseUrl() const {
    const std::string& host = m_impl->host;
    return "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(m_impl->port);
}

VaultStore& VaultServer::store() {
    return m_impl->store;
}
BlobStore& VaultServer::blobs() {
    return m_impl->blobs;
}

std::string loadOrCreateAnonKey(const fs::path& dataDir) {
    fs::create_directories(dataDir);
    return crypto::loadOrCreateKeyFile(dataDir / "anon.key",
                                       [] { return "orlavant-local-" + crypto::randomToken(); });
}

} // namespace vault
