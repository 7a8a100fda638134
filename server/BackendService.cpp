// The application backend's side of the vault: login, registration and demo login, devices,
// and the household upload path (pre-upload, a signed single-use upload location, confirm).

#include "VaultCrypto.h"
#include "VaultServerImpl.h"

#include <cinttypes>

namespace vault {

namespace {

using Req = http::Request;
using Res = http::Response;
using Reader = http::BodyReader;

const char* const demoEmail = "demo@vault.orlavant.app";

// What a member must hold, for error texts that name the member and the expected kind.
struct Expect {
    const char* key;
    enum Kind { Text, NonEmptyText, Size } kind;
};

// Checks every listed member; on the first failure replies 400 and returns false.
bool checkMembers(const json& object, std::initializer_list<Expect> expected, Res& res) {
    for (const auto& e : expected) {
        const auto it = object.find(e.key);
        if (it == object.end()) {
            sendMessage(res, 400, std::string("Missing \"") + e.key + "\"");
            return false;
        }
        if (e.kind == Expect::Size) {
            if (!it->is_number_integer() || it->get<std::int64_t>() < 0) {
                sendMessage(res, 400, std::string("\"") + e.key + "\" must be a non-negative whole number");
                return false;
            }
        } else if (!it->is_string() || (e.kind == Expect::NonEmptyText && it->get<std::string>().empty())) {
            sendMessage(res, 400,
                        std::string("\"") + e.key + "\" must be " +
                            (e.kind == Expect::NonEmptyText ? "a non-empty string" : "a string"));
            return false;
        }
    }
    return true;
}

bool hasControlCharacters(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

// A name for Content-Disposition: the last path component, without quotes or control characters.
std::string safeDownloadName(const std::string& name) {
    std::string base =
        name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
    std::string out;
    for (unsigned char c : base)
        out += (c < 0x20 || c == 0x7f || c == '"') ? '_' : static_cast<char>(c);
    if (out.empty() || out == "." || out == "..")
        out = "download";
    return out;
}

} // namespace

void VaultServer::Impl::refuseLargeBody(Res& res) const {
    sendMessage(res, 413, "Request body is larger than " + std::to_string(config.maxJsonBytes) + " bytes");
}

bool VaultServer::Impl::skipBody(const Req& req, const Reader& reader, Res& res) {
    std::string ignored;
    if (readBody(req, reader, config.maxJsonBytes, ignored) != BodyStatus::TooLarge)
        return true;
    refuseLargeBody(res);
    return false;
}

std::optional<json> VaultServer::Impl::readBackendObject(const Req& req, const Reader& reader, Res& res) {
    std::string body;
    switch (readBody(req, reader, config.maxJsonBytes, body)) {
    case BodyStatus::TooLarge:
        refuseLargeBody(res);
        return std::nullopt;
    case BodyStatus::Broken:
        sendMessage(res, 400, "The request body was cut off");
        return std::nullopt;
    case BodyStatus::Ok:
        break;
    }
    auto object = parseObject(body);
    if (!object)
        sendMessage(res, 400, "The request body must be a JSON object");
    return object;
}

// A session here has no refresh token: when it ends the person signs in again, so the refusal
// says that in words the client can show.
std::optional<Account> VaultServer::Impl::backendCaller(const Req& req, Res& res) {
    auto caller = authenticate(req);
    switch (caller.status) {
    case Authentication::Status::Ok:
        return std::move(caller.account);
    case Authentication::Status::Expired:
        sendJson(res, 401,
                 {{"message", "Session expired. Please sign in again."}, {"error", "session_expired"}});
        break;
    case Authentication::Status::Ended:
        sendJson(res, 401,
                 {{"message", "You were signed out. Please sign in again."}, {"error", "session_ended"}});
        break;
    default:
        sendJson(res, 401, {{"message", "Authentication required"}, {"error", "unauthorized"}});
        break;
    }
    return std::nullopt;
}

void VaultServer::Impl::installBackend() {
    auto readObject = [this](const Req& req, const Reader& reader, Res& res) {
        return readBackendObject(req, reader, res);
    };
    auto signedIn = [this](const Req& req, Res& res) { return backendCaller(req, res); };
    auto loginReply = [this](Res& res, int status, const Account& account) {
        const IssuedTokens tokens = sessions.startFixed(account);
        sendJson(res, status,
                 {{"access_token", tokens.accessToken},
                  {"token_type", "bearer"},
                  {"expires_in", tokens.expiresIn},
                  {"expires_at", tokens.expiresAt},
                  {"tokens", {{"access_token", tokens.accessToken}, {"token_type", "bearer"}}},
                  {"user", userJson(account, store)}});
    };

    auto login = [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto body = readObject(req, reader, res);
        if (!body ||
            !checkMembers(*body, {{"email", Expect::NonEmptyText}, {"password", Expect::NonEmptyText}}, res))
            return;
        const auto account = store.accountByEmail((*body)["email"].get<std::string>());
        if (!account ||
            !crypto::verifyPassword((*body)["password"].get<std::string>(), account->passwordHash)) {
            sendMessage(res, 401, "Invalid email or password");
            return;
        }
        loginReply(res, 200, *account);
    };
    post("/api/auth/login", login, http::Cost::Heavy);
    post("/api/v1/auth/login", login, http::Cost::Heavy);

    auto registerAccount = [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto body = readObject(req, reader, res);
        if (!body ||
            !checkMembers(*body, {{"email", Expect::NonEmptyText}, {"password", Expect::NonEmptyText}}, res))
            return;
        const std::string email = (*body)["email"];
        const std::string password = (*body)["password"];
        if (!isValidEmail(email)) {
            sendMessage(res, 400, "That is not a valid e-mail address");
            return;
        }
        if (password.size() < 6 || password.size() > 1024) {
            sendMessage(res, 400, "The password must be between 6 and 1024 characters");
            return;
        }
        for (const char* key : {"full_name", "household_name", "plan_id"}) {
            if (body->contains(key) && (!(*body)[key].is_string() || hasControlCharacters((*body)[key]))) {
                sendMessage(res, 400, std::string("\"") + key + "\" must be a string");
                return;
            }
        }
        const std::string name = body->value("full_name", displayNameFor(email));
        const std::string household = body->value("household_name", name + "'s Family Vault");
        const std::string plan = body->value("plan_id", "basic");
        const auto account =
            store.createAccount(email, crypto::hashPassword(password, config.passwordIterations), name,
                                household, plan, timestamp());
        if (!account) {
            sendMessage(res, 409, "An account with this e-mail address already exists");
            return;
        }
        loginReply(res, 201, *account);
    };
    post("/api/auth/register", registerAccount, http::Cost::Heavy);
    post("/api/v1/auth/register", registerAccount, http::Cost::Heavy);

    auto demoLogin = [=, this](const Req& req, Res& res, const Reader& reader) {
        if (!skipBody(req, reader, res))
            return;
        auto account = store.accountByEmail(demoEmail);
        if (!account) {
            // Nobody knows this password: the demo account is reached through this route only.
            store.createAccount(demoEmail,
                                crypto::hashPassword(crypto::randomToken(), config.passwordIterations),
                                "Demo", "Demo Family Vault", "basic", timestamp());
            account = store.accountByEmail(demoEmail);
        }
        const IssuedTokens tokens = sessions.startFixed(*account);
        sendJson(res, 200,
                 {{"token", tokens.accessToken},
                  {"access_token", tokens.accessToken},
                  {"token_type", "bearer"},
                  {"expires_in", tokens.expiresIn},
                  {"user", userJson(*account, store)}});
    };
    post("/api/v1/auth/demo-login", demoLogin, http::Cost::Heavy);
    post("/api/auth/demo-login", demoLogin, http::Cost::Heavy);

    post("/api/devices/register", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = signedIn(req, res);
        if (!account)
            return;
        const auto body = readObject(req, reader, res);
        if (!body ||
            !checkMembers(*body, {{"device_name", Expect::NonEmptyText}, {"device_type", Expect::Text}}, res))
            return;
        std::string version = "";
        if (body->contains("app_version")) {
            if (!(*body)["app_version"].is_string()) {
                sendMessage(res, 400, "\"app_version\" must be a string");
                return;
            }
            version = (*body)["app_version"];
        }
        const std::string name = (*body)["device_name"];
        const std::string id =
            store.registerDevice(account->id, name, (*body)["device_type"], version, timestamp());
        sendJson(res, 201,
                 {{"device", {{"id", id}, {"device_name", name}, {"device_type", (*body)["device_type"]}}}});
    });

    put("/api/devices/([^/]+)/sync-folder", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = signedIn(req, res);
        if (!account)
            return;
        const auto body = readObject(req, reader, res);
        if (!body ||
            !checkMembers(*body, {{"folder_path", Expect::NonEmptyText}, {"folder_name", Expect::Text}}, res))
            return;
        const std::string id = store.bindSyncFolder(account->id, req.matches[1], (*body)["folder_path"],
                                                    (*body)["folder_name"], timestamp());
        sendJson(res, 200,
                 {{"device",
                   {{"id", id},
                    {"folder_path", (*body)["folder_path"]},
                    {"folder_name", (*body)["folder_name"]}}}});
    });

    get("/api/devices", [=, this](const Req& req, Res& res) {
        const auto account = signedIn(req, res);
        if (!account)
            return;
        json list = json::array();
        for (const auto& d : store.devices(account->id))
            list.push_back({{"id", d.id},
                            {"device_name", d.name},
                            {"device_type", d.type},
                            {"folder_path", d.folderPath},
                            {"folder_name", d.folderName}});
        sendJson(res, 200, {{"devices", list}});
    });

    // The members pre-upload and confirm share, checked once.
    struct FileClaim {
        std::string hash, filename, folderPath, deviceId, mimeType;
        std::int64_t size = 0;
    };
    auto readClaim = [this](const json& body, Res& res, FileClaim& claim) {
        if (!checkMembers(body,
                          {{"file_hash", Expect::NonEmptyText},
                           {"file_size", Expect::Size},
                           {"filename", Expect::NonEmptyText},
                           {"folder_path", Expect::Text},
                           {"device_id", Expect::NonEmptyText},
                           {"mime_type", Expect::Text}},
                          res))
            return false;
        claim.hash = http::asciiLower(body["file_hash"].get<std::string>());
        if (!crypto::isLowerHexDigest(claim.hash)) {
            sendMessage(res, 400, "\"file_hash\" must be a SHA-256 digest of 64 hexadecimal digits");
            return false;
        }
        claim.size = body["file_size"];
        claim.filename = body["filename"];
        claim.folderPath = body["folder_path"];
        claim.deviceId = body["device_id"];
        claim.mimeType = body["mime_type"];
        if (claim.mimeType.empty())
            claim.mimeType = "application/octet-stream";
        if (hasControlCharacters(claim.filename) || claim.filename.size() > 1024) {
            sendMessage(res, 400, "\"filename\" must be a plain name of at most 1024 bytes");
            return false;
        }
        if (claim.size > config.maxUploadBytes) {
            sendMessage(res, 413,
                        "The file is larger than this vault's upload limit of " +
                            std::to_string(config.maxUploadBytes) + " bytes");
            return false;
        }
        return true;
    };
    auto deviceType = [this](const Account& account, const std::string& idOrName) {
        for (const auto& d : store.devices(account.id))
            if (d.id == idOrName || d.name == idOrName)
                return d.type.empty() ? std::string("unknown") : d.type;
        return std::string("unknown");
    };
    // Content lives under the owner's id and its digest, so one user's copy of some content
    // is one object whatever the file is called.
    auto storageKeyFor = [](const Account& account, const std::string& hash) {
        return account.id + "/vault/" + hash;
    };
    // Inside a transaction: the user's object for the verified content (made when missing)
    // and the file row the claim describes. Whatever else sits at the key (put there through
    // the hosted storage) is not adopted: the key names this content, so this content replaces it.
    auto recordClaim = [=, this](const Account& account, const FileClaim& claim, const std::string& key,
                                 const std::string& sha256, std::int64_t size) {
        const auto atKey = store.object(key);
        if (!atKey) {
            store.insertObject(ObjectRow{key, account.id, sha256, size, claim.mimeType, {}}, timestamp());
        } else if (atKey->sha256 != sha256 || atKey->size != size) {
            store.upsertObject(ObjectRow{key, account.id, sha256, size, claim.mimeType, {}}, timestamp());
            log("[vault] " + key +
                " held other content than its name says; the verified content replaced it");
        }
        FileRow r;
        r.userId = account.id;
        r.fileHash = claim.hash;
        r.originalFilename = claim.filename;
        r.filePath = key;
        r.fileSize = size;
        r.mimeType = claim.mimeType;
        r.deviceName = claim.deviceId;
        r.deviceType = deviceType(account, claim.deviceId);
        r.folderPath = claim.folderPath;
        return store.insertFile(r, OnConflict::Merge, timestamp())->row;
    };

    post("/api/files/pre-upload", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = signedIn(req, res);
        if (!account)
            return;
        const auto body = readObject(req, reader, res);
        FileClaim claim;
        if (!body || !readClaim(*body, res, claim))
            return;
        // Deduplication trusts only content whose digest the vault computed itself, never a
        // row someone registered with a claimed digest, and only while its bytes are there.
        std::optional<FileRow> row;
        bool deduplicated = false;
        store.transaction([&] {
            const auto existing = store.householdObjectWithContent(account->householdId, claim.hash);
            if (!existing || blobs.sizeOf(existing->sha256) != static_cast<std::uint64_t>(existing->size))
                return;
            deduplicated = true;
            row = store.fileByUserHash(account->id, claim.hash);
            if (row) {
                const auto object = store.object(row->filePath);
                if (object && object->sha256 == claim.hash)
                    return;
            }
            row = recordClaim(*account, claim, storageKeyFor(*account, claim.hash), existing->sha256,
                              existing->size);
        });
        if (deduplicated) {
            sendJson(res, 200,
                     {{"deduplicated", true},
                      {"message", "Deduplicated across Home vault"},
                      {"file", row ? fileRowJson(*row) : json(nullptr)}});
            return;
        }
        UploadTicket ticket;
        ticket.id = crypto::randomUuid();
        ticket.accountId = account->id;
        ticket.storageKey = storageKeyFor(*account, claim.hash);
        ticket.fileHash = claim.hash;
        ticket.fileSize = claim.size;
        ticket.mimeType = claim.mimeType;
        ticket.expiresAt = nowSeconds() + config.uploadLinkSeconds;
        if (const auto refusal = reserveUpload(*account, ticket)) {
            sendMessage(res, 402, *refusal);
            return;
        }
        const std::string url = publicBase(req) + "/api/uploads/" + ticket.id +
                                "?expires=" + std::to_string(ticket.expiresAt) +
                                "&signature=" + sign("upload", ticket.id, ticket.expiresAt);
        sendJson(res, 200,
                 {{"deduplicated", false},
                  {"upload_url", url},
                  {"storage_key", ticket.storageKey},
                  {"expires_in", config.uploadLinkSeconds}});
    });

    // The upload location: no bearer token, the signature is the authority. It takes exactly
    // the announced bytes once; anything else is refused and nothing is kept.
    put("/api/uploads/([0-9a-f-]{36})", [=, this](const Req& req, Res& res, const Reader& reader) {
        const std::string id = req.matches[1];
        const std::string expiresText = req.param("expires");
        std::int64_t expires = 0;
        bool numeric = !expiresText.empty() && expiresText.size() < 19;
        for (char c : expiresText) {
            numeric = numeric && std::isdigit(static_cast<unsigned char>(c));
            expires = expires * 10 + (c - '0');
        }
        if (!numeric || !verifySignature("upload", id, expires, req.param("signature"))) {
            sendMessage(res, 403, "This upload location is not valid");
            return;
        }
        if (expires <= nowSeconds()) {
            sendMessage(res, 410, "This upload location has expired; ask for a new one");
            return;
        }
        const auto ticket = store.upload(id);
        if (!ticket) {
            sendMessage(res, 404, "No such upload");
            return;
        }
        if (!store.transitionUpload(id, UploadTicket::State::Pending, UploadTicket::State::Receiving)) {
            sendMessage(res, 409, "This upload location has already been used");
            return;
        }
        // However this handler ends short of "received" (a refusal, a cut-off body, an error
        // thrown), the ticket fails: a ticket left receiving would reserve its room forever.
        bool received = false;
        const ScopeExit settle([&] {
            if (!received)
                store.transitionUpload(id, UploadTicket::State::Receiving, UploadTicket::State::Failed);
        });
        auto refuse = [&](int status, const std::string& message) { sendMessage(res, status, message); };
        const auto announced = static_cast<std::uint64_t>(ticket->fileSize);
        if (req.contentLength() > announced) {
            refuse(413, "The upload is larger than the announced " + std::to_string(announced) + " bytes");
            return;
        }
        auto writer = blobs.begin();
        if (!writer) {
            refuse(500, "The upload could not be stored");
            return;
        }
        bool tooLarge = false, diskError = false;
        const bool complete = reader([&](const char* data, std::size_t length) {
            if (writer->size() + length > announced) {
                tooLarge = true;
                return false;
            }
            if (!writer->write(data, length)) {
                diskError = true;
                return false;
            }
            return true;
        });
        if (tooLarge) {
            refuse(413, "The upload is larger than the announced " + std::to_string(announced) + " bytes");
            return;
        }
        if (!complete || diskError) {
            refuse(400, "The upload was interrupted; nothing was stored");
            return;
        }
        if (writer->size() != announced || writer->finishDigest() != ticket->fileHash) {
            refuse(422, "The uploaded bytes do not match the announced size and SHA-256; nothing was stored");
            return;
        }
        if (!writer->commit()) {
            refuse(500, "The upload could not be stored");
            return;
        }
        // The bytes now wait for their confirmation, and count against the quota until then.
        received = store.transitionUpload(id, UploadTicket::State::Receiving, UploadTicket::State::Received,
                                          nowSeconds() + config.uploadLinkSeconds);
        sendJson(res, 200, {{"message", "Upload received"}, {"storage_key", ticket->storageKey}});
    });

    post("/api/files/confirm", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = signedIn(req, res);
        if (!account)
            return;
        const auto body = readObject(req, reader, res);
        FileClaim claim;
        if (!body || !checkMembers(*body, {{"storage_key", Expect::NonEmptyText}}, res) ||
            !readClaim(*body, res, claim))
            return;
        const std::string key = (*body)["storage_key"];
        const auto ticket = store.uploadByKey(account->id, key, UploadTicket::State::Received);
        if (!ticket) {
            sendMessage(res, 409,
                        "No completed upload for this storage key; upload the file before confirming");
            return;
        }
        // The ticket holds the digest and size of the bytes that actually arrived.
        if (ticket->fileHash != claim.hash || ticket->fileSize != claim.size) {
            sendMessage(res, 422,
                        "The uploaded bytes do not match the claimed size and SHA-256; nothing was stored");
            return;
        }
        if (ticket->expiresAt <= nowSeconds()) {
            sendMessage(res, 410, "The upload waited too long for its confirmation; upload the file again");
            return;
        }
        // The stored bytes themselves, not only the ticket's word for them.
        if (blobs.sizeOf(ticket->fileHash) != static_cast<std::uint64_t>(ticket->fileSize)) {
            store.transitionUpload(ticket->id, UploadTicket::State::Received, UploadTicket::State::Failed);
            log("[vault] the received bytes of " + key + " are missing from the blob store");
            sendMessage(res, 409, "The uploaded bytes are no longer stored; upload the file again");
            return;
        }
        std::optional<FileRow> row;
        bool replayed = false;
        store.transaction([&] {
            if (!store.transitionUpload(ticket->id, UploadTicket::State::Received,
                                        UploadTicket::State::Confirmed)) {
                replayed = true;
                return;
            }
            row = recordClaim(*account, claim, key, ticket->fileHash, claim.size);
        });
        if (replayed) {
            sendMessage(res, 409, "This upload was already confirmed");
            return;
        }
        sendJson(res, 200, {{"message", "Uploaded to Home cloud vault"}, {"file", fileRowJson(*row)}});
    });

    get("/api/files", [=, this](const Req& req, Res& res) {
        const auto account = signedIn(req, res);
        if (!account)
            return;
        json list = json::array();
        for (const auto& row : store.files(account->id, {{}, {{"created_at", true, {}}}, {}, 0}))
            list.push_back(fileRowJson(row));
        sendJson(res, 200, {{"files", list}});
    });

    get("/api/files/([^/]+)/download", [=, this](const Req& req, Res& res) {
        const auto account = signedIn(req, res);
        if (!account)
            return;
        const auto row = store.fileById(req.matches[1]);
        const auto object = row ? store.object(row->filePath) : std::nullopt;
        // Someone else's file and a missing one look the same from outside.
        if (!row || row->userId != account->id || !object || object->userId != account->id ||
            !streamBlob(req, res, *object)) {
            sendMessage(res, 404, "No such file");
            return;
        }
        const std::string name = safeDownloadName(row->originalFilename);
        res.setHeader("Content-Disposition",
                      "attachment; filename=\"" + name + "\"; filename*=UTF-8''" + percentEncodePath(name));
    });
}

} // namespace vault
