// The hosted service's side of the vault: password auth, the files table with its procedure,
// and the storage bucket, in the shapes (paths, members, statuses, errors) the real services use.

#include "RestQuery.h"
#include "VaultCrypto.h"
#include "VaultServerImpl.h"

#include <algorithm>
#include <set>

namespace vault {

namespace {

using Req = http::Request;
using Res = http::Response;
using Reader = http::BodyReader;

const char* const bucket = "orlavant-files";

// The auth service's refusal: the status again, a stable machine-readable code, and the text.
void authError(Res& res, int status, const std::string& errorCode, const std::string& message) {
    sendJson(res, status, {{"code", status}, {"error_code", errorCode}, {"msg", message}});
}

// A request to the auth service that needs a signed-in user and has none.
void authRefusal(Res& res, Authentication::Status status) {
    switch (status) {
    case Authentication::Status::Missing:
        authError(res, 401, "no_authorization", "This endpoint requires a Bearer token");
        return;
    case Authentication::Status::Expired:
        authError(res, 403, "bad_jwt", "invalid JWT: token is expired");
        return;
    case Authentication::Status::Ended:
        // The hosted service's client libraries take this code to mean "signed out".
        authError(res, 403, "session_not_found", "Session from session_id claim in JWT does not exist");
        return;
    default:
        authError(res, 403, "bad_jwt", "invalid JWT: unable to parse or verify signature");
        return;
    }
}

void restError(Res& res, int status, const std::string& code, const std::string& message) {
    sendJson(res, status, {{"code", code}, {"details", nullptr}, {"hint", nullptr}, {"message", message}});
}

// An object's id, stable for its key, in the UUID form the storage service gives.
std::string objectId(const std::string& key) {
    std::string hex = crypto::sha256Hex("object\n" + key).substr(0, 32);
    hex[12] = '5'; // a name-based UUID
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
           "-" + hex.substr(20);
}

// Storage reports most refusals as HTTP 400 with the real status as text in "statusCode".
void storageError(Res& res, int httpStatus, const std::string& statusCode, const std::string& error,
                  const std::string& message) {
    sendJson(res, httpStatus, {{"statusCode", statusCode}, {"error", error}, {"message", message}});
}

} // namespace

void VaultServer::Impl::installHosted() {
    // Every hosted request carries the project's key, as the API gateway in front of the real
    // services demands.
    auto apiKeyOk = [this](const Req& req, Res& res) {
        if (!req.hasHeader("apikey")) {
            sendJson(res, 401, {{"message", "No API key found in request"}});
            return false;
        }
        if (!crypto::constantTimeEquals(req.header("apikey"), config.anonKey)) {
            sendJson(res, 401, {{"message", "Invalid API key"}});
            return false;
        }
        return true;
    };

    // The JSON object body of an auth request, or the refusal already sent.
    auto readAuthObject = [this](const Req& req, const Reader& reader, Res& res) -> std::optional<json> {
        std::string body;
        const auto status = readBody(req, reader, config.maxJsonBytes, body);
        if (status == BodyStatus::TooLarge) {
            authError(res, 413, "request_too_large", "Request body too large");
            return std::nullopt;
        }
        auto object = status == BodyStatus::Ok ? parseObject(body) : std::nullopt;
        if (!object)
            authError(res, 400, "bad_json", "Could not read the request body: expected a JSON object");
        return object;
    };
    auto readCredentials = [=](const Req& req, const Reader& reader, Res& res, std::string& email,
                               std::string& password) {
        const auto object = readAuthObject(req, reader, res);
        if (!object)
            return false;
        const auto e = stringMember(*object, "email");
        const auto p = stringMember(*object, "password");
        if (!e || !p || e->empty() || p->empty()) {
            authError(res, 400, "validation_failed", "An email and a password are required");
            return false;
        }
        email = *e;
        password = *p;
        return true;
    };

    // The user as the auth service describes it; e-mail addresses count as confirmed at once.
    auto authUser = [this](const Account& account) {
        json user = userJson(account, store);
        user["app_metadata"] = {{"provider", "email"}, {"providers", {"email"}}};
        user["email_confirmed_at"] = account.createdAt;
        user["confirmed_at"] = account.createdAt;
        user["updated_at"] = account.createdAt;
        user["phone"] = "";
        user["is_anonymous"] = false;
        return user;
    };
    auto sessionReply = [=](Res& res, const Account& account, const IssuedTokens& tokens) {
        sendJson(res, 200,
                 {{"access_token", tokens.accessToken},
                  {"token_type", "bearer"},
                  {"expires_in", tokens.expiresIn},
                  {"expires_at", tokens.expiresAt},
                  {"refresh_token", tokens.refreshToken},
                  {"user", authUser(account)}});
    };

    auto passwordGrant = [=, this](const Req& req, Res& res, const Reader& reader) {
        std::string email, password;
        if (!readCredentials(req, reader, res, email, password))
            return;
        const auto account = store.accountByEmail(email);
        // The same answer for an unknown address and a wrong password.
        if (!account || !crypto::verifyPassword(password, account->passwordHash)) {
            authError(res, 400, "invalid_credentials", "Invalid login credentials");
            return;
        }
        sessionReply(res, *account, sessions.startRefreshable(*account));
    };
    auto refreshGrant = [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto object = readAuthObject(req, reader, res);
        if (!object)
            return;
        const auto token = stringMember(*object, "refresh_token");
        if (!token || token->empty()) {
            authError(res, 400, "validation_failed", "A refresh_token is required");
            return;
        }
        const auto refreshed = sessions.refresh(*token);
        switch (refreshed.status) {
        case SessionAuthority::Refreshed::Status::Ok:
            sessionReply(res, refreshed.account, refreshed.tokens);
            return;
        case SessionAuthority::Refreshed::Status::Reused:
            log("[vault] a spent refresh token was presented again; its session has been ended");
            authError(res, 400, "refresh_token_already_used", "Invalid Refresh Token: Already Used");
            return;
        case SessionAuthority::Refreshed::Status::Unknown:
            authError(res, 400, "refresh_token_not_found", "Invalid Refresh Token: Refresh Token Not Found");
            return;
        }
    };

    // Only the password grant hashes; a refresh must not queue behind a crowd of sign-ins.
    const auto grantCost = [](const Req& req) {
        return req.param("grant_type") == "password" ? http::Cost::Heavy : http::Cost::Light;
    };
    post(
        "/auth/v1/token",
        [=](const Req& req, Res& res, const Reader& reader) {
            if (!apiKeyOk(req, res))
                return;
            const std::string grant = req.param("grant_type");
            if (grant == "password")
                passwordGrant(req, res, reader);
            else if (grant == "refresh_token")
                refreshGrant(req, res, reader);
            else
                authError(res, 400, "unsupported_grant_type",
                          "Only the password and refresh_token grants are supported");
        },
        grantCost);

    post(
        "/auth/v1/signup",
        [=, this](const Req& req, Res& res, const Reader& reader) {
            if (!apiKeyOk(req, res))
                return;
            std::string email, password;
            if (!readCredentials(req, reader, res, email, password))
                return;
            if (!isValidEmail(email)) {
                authError(res, 400, "validation_failed", "Unable to validate email address: invalid format");
                return;
            }
            if (password.size() < 6 || password.size() > 1024) {
                authError(res, 400, "weak_password", "Password should be between 6 and 1024 characters");
                return;
            }
            const std::string name = displayNameFor(email);
            const auto account =
                store.createAccount(email, crypto::hashPassword(password, config.passwordIterations), name,
                                    name + "'s Family Vault", "basic", timestamp());
            if (!account) {
                authError(res, 400, "user_already_exists", "User already registered");
                return;
            }
            // Addresses need no confirmation here, so a new account is signed in at once.
            sessionReply(res, *account, sessions.startRefreshable(*account));
        },
        http::Cost::Heavy);

    get("/auth/v1/user", [=, this](const Req& req, Res& res) {
        if (!apiKeyOk(req, res))
            return;
        const auto caller = authenticate(req);
        if (!caller) {
            authRefusal(res, caller.status);
            return;
        }
        sendJson(res, 200, authUser(caller.account));
    });

    post("/auth/v1/logout", [=, this](const Req& req, Res& res, const Reader&) {
        if (!apiKeyOk(req, res))
            return;
        const auto scope =
            SessionAuthority::scopeFromText(req.hasParam("scope") ? req.param("scope") : "global");
        if (!scope) {
            authError(res, 400, "validation_failed", "Unsupported logout scope: use global, local or others");
            return;
        }
        const auto caller = authenticate(req);
        if (!caller) {
            authRefusal(res, caller.status);
            return;
        }
        sessions.signOut(caller, *scope);
        res.status = 204;
    });

    // REST: everything below needs the key and a signed-in user; rows are only ever the user's.
    auto restUser = [=, this](const Req& req, Res& res) -> std::optional<Account> {
        if (!apiKeyOk(req, res))
            return std::nullopt;
        auto caller = authenticate(req);
        if (!caller) {
            restError(res, 401, "PGRST301",
                      caller.status == Authentication::Status::Expired
                          ? "JWT expired"
                          : "JWT invalid or signed out; sign in again");
            return std::nullopt;
        }
        return std::move(caller.account);
    };

    get("/rest/v1/files", [=, this](const Req& req, Res& res) {
        const auto account = restUser(req, res);
        if (!account)
            return;
        RestError error;
        const auto read = parseRestRead(req, error);
        if (!read) {
            restError(res, error.status, error.code, error.message);
            return;
        }
        // Rows are only ever the caller's: a filter on another user's id simply matches nothing,
        // as row-level security would have it.
        const auto rows = store.files(account->id, read->query);
        const auto total =
            read->countExact ? std::optional(store.countFiles(account->id, read->query)) : std::nullopt;
        const RestWindow window = restWindow(read->query.offset, rows.size(), total, error);
        res.setHeader("Content-Range", window.contentRange);
        if (window.status == 416) {
            restError(res, error.status, error.code, error.message);
            return;
        }
        json body = json::array();
        for (const auto& row : rows)
            body.push_back(project(fileRowJson(row), read->select));
        // The SDK's single(): one object rather than an array of one.
        if (req.header("Accept").find("application/vnd.pgrst.object+json") != std::string::npos) {
            if (body.size() != 1) {
                sendJson(res, 406,
                         {{"code", "PGRST116"},
                          {"details", "The result contains " + std::to_string(body.size()) + " rows"},
                          {"hint", nullptr},
                          {"message", "JSON object requested, multiple (or no) rows returned"}});
                return;
            }
            body = body.front();
        }
        sendJson(res, window.status, body);
    });

    // Reads one row's members from a JSON object; the error text names the offending member.
    struct RowInput {
        FileRow row;
        std::string error;
        std::string code;
    };
    auto rowFrom = [](const json& object, const std::string& prefix, const Account& account,
                      bool allowUserId) {
        RowInput in;
        in.row.userId = account.id;
        const std::vector<std::string> textColumns = {"file_hash", "original_filename", "file_path",
                                                      "mime_type", "device_name",       "device_type"};
        std::set<std::string> known = {prefix + "file_size", prefix + "folder_path"};
        for (const auto& column : textColumns)
            known.insert(prefix + column);
        if (allowUserId)
            known.insert("user_id");
        for (const auto& [key, value] : object.items()) {
            if (!known.count(key)) {
                in.code = "PGRST204";
                in.error = "Could not find the '" + key + "' column of 'files' in the schema cache";
                return in;
            }
        }
        auto text = [&](const std::string& column, std::string& target) {
            const auto it = object.find(prefix + column);
            if (it == object.end() || it->is_null()) {
                in.code = "23502";
                in.error = "null value in column \"" + column +
                           "\" of relation \"files\" violates not-null constraint";
                return false;
            }
            if (!it->is_string()) {
                in.code = "22P02";
                in.error = "invalid input syntax for type text: " + prefix + column + " must be a string";
                return false;
            }
            target = it->get<std::string>();
            return true;
        };
        FileRow& r = in.row;
        if (!text("file_hash", r.fileHash) || !text("original_filename", r.originalFilename) ||
            !text("file_path", r.filePath) || !text("mime_type", r.mimeType) ||
            !text("device_name", r.deviceName) || !text("device_type", r.deviceType))
            return in;
        const auto size = object.find(prefix + "file_size");
        if (size == object.end() || !size->is_number_integer() || size->get<std::int64_t>() < 0) {
            in.code = "22P02";
            in.error = "invalid input syntax for type bigint: " + prefix + "file_size must be a whole number";
            return in;
        }
        r.fileSize = size->get<std::int64_t>();
        const auto folder = object.find(prefix + "folder_path");
        if (folder != object.end() && !folder->is_null()) {
            if (!folder->is_string()) {
                in.code = "22P02";
                in.error = "invalid input syntax for type text: " + prefix + "folder_path must be a string";
                return in;
            }
            r.folderPath = folder->get<std::string>();
        }
        if (allowUserId && object.contains("user_id")) {
            if (!object["user_id"].is_string() || object["user_id"].get<std::string>() != account.id) {
                in.code = "42501";
                in.error = "new row violates row-level security policy for table \"files\"";
                return in;
            }
        }
        return in;
    };

    auto readRestObject = [this](const Req& req, const Reader& reader, Res& res) -> std::optional<json> {
        std::string body;
        const auto status = readBody(req, reader, config.maxJsonBytes, body);
        if (status == BodyStatus::TooLarge) {
            restError(res, 413, "PGRST413",
                      "Request body larger than " + std::to_string(config.maxJsonBytes) + " bytes");
            return std::nullopt;
        }
        if (status == BodyStatus::Broken) {
            restError(res, 400, "PGRST102", "The request body was cut off");
            return std::nullopt;
        }
        // Arrays of rows are accepted by the insert, so this is not parseObject().
        auto parsed = parseJson(body);
        if (parsed && (parsed->is_object() || parsed->is_array()))
            return parsed;
        restError(res, 400, "PGRST102", "Empty or invalid json");
        return std::nullopt;
    };

    post("/rest/v1/files", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = restUser(req, res);
        if (!account)
            return;
        // The query of an insert: which members of the body count, the conflict target, and
        // the members of the rows sent back.
        std::optional<std::vector<std::string>> columns;
        if (req.hasParam("columns") && !(columns = parseColumnList(req.param("columns")))) {
            restError(res, 400, "PGRST204", "Could not find a column of \"columns\" in the files table");
            return;
        }
        if (req.hasParam("on_conflict")) {
            const auto target = parseColumnList(req.param("on_conflict"));
            const std::set<std::string> unique = {"user_id", "file_path"};
            if (!target || std::set<std::string>(target->begin(), target->end()) != unique) {
                // The code is what clients read; the words say what would have matched.
                restError(res, 400, "42P10",
                          "on_conflict must name the table's unique key (user_id, file_path)");
                return;
            }
        }
        RestError error;
        const auto select = parseSelect(req.param("select"), error);
        if (!select) {
            restError(res, error.status, error.code, error.message);
            return;
        }
        const auto body = readRestObject(req, reader, res);
        if (!body)
            return;
        const json items = body->is_array() ? *body : json::array({*body});
        if (items.empty() || items.size() > 1000) {
            restError(res, 400, "PGRST102", "Send between 1 and 1000 rows");
            return;
        }
        std::vector<FileRow> rows;
        for (const auto& item : items) {
            if (!item.is_object()) {
                restError(res, 400, "PGRST102", "Every row must be a JSON object");
                return;
            }
            json counted = item;
            if (columns) {
                counted = json::object();
                for (const auto& column : *columns)
                    if (item.contains(column))
                        counted[column] = item[column];
            }
            RowInput in = rowFrom(counted, "", *account, true);
            if (!in.error.empty()) {
                restError(res, in.code == "42501" ? 403 : 400, in.code, in.error);
                return;
            }
            rows.push_back(in.row);
        }
        const OnConflict onConflict = hasPreference(req, "resolution=merge-duplicates") ? OnConflict::Merge
                                      : hasPreference(req, "resolution=ignore-duplicates")
                                          ? OnConflict::Ignore
                                          : OnConflict::Fail;
        json stored = json::array();
        bool conflict = false;
        // One statement in PostgREST: a conflict in any row stores none of them.
        try {
            store.transaction([&] {
                for (const auto& row : rows) {
                    auto result = store.insertFile(row, onConflict, timestamp());
                    if (!result) {
                        conflict = true;
                        throw StoreError("conflict");
                    }
                    // Rows a conflict left alone are not part of the answer.
                    if (result->inserted)
                        stored.push_back(project(fileRowJson(result->row), *select));
                }
            });
        } catch (const StoreError&) {
            if (!conflict)
                throw;
        }
        if (conflict) {
            restError(res, 409, "23505",
                      "duplicate key value violates unique constraint \"files_user_id_file_path_key\"");
            return;
        }
        if (hasPreference(req, "count=exact"))
            res.setHeader("Content-Range", "*/" + std::to_string(stored.size()));
        if (hasPreference(req, "return=representation"))
            sendJson(res, 201, stored);
        else
            res.status = 201;
    });

    post("/rest/v1/rpc/register_or_deduplicate_file", [=, this](const Req& req, Res& res,
                                                                const Reader& reader) {
        const auto account = restUser(req, res);
        if (!account)
            return;
        const auto body = readRestObject(req, reader, res);
        if (!body)
            return;
        static const std::set<std::string> parameters = {
            "p_file_hash", "p_original_filename", "p_file_path",   "p_file_size",
            "p_mime_type", "p_device_name",       "p_device_type", "p_folder_path"};
        bool exact = body->is_object() && body->size() == parameters.size();
        if (exact)
            for (const auto& [key, value] : body->items())
                exact = exact && parameters.count(key);
        if (!exact) {
            restError(
                res, 404, "PGRST202",
                "Could not find the function public.register_or_deduplicate_file with the given parameters "
                "in the schema cache");
            return;
        }
        RowInput in = rowFrom(*body, "p_", *account, false);
        if (!in.error.empty()) {
            restError(res, 400, in.code, in.error);
            return;
        }
        if (const auto existing = store.fileByUserHash(account->id, in.row.fileHash)) {
            sendJson(res, 200,
                     {{"deduplicated", true},
                      {"message", "Duplicate content: already in your vault"},
                      {"file", fileRowJson(*existing)}});
            return;
        }
        const auto stored = store.insertFile(in.row, OnConflict::Merge, timestamp());
        sendJson(
            res, 200,
            {{"deduplicated", false}, {"message", "File registered"}, {"file", fileRowJson(stored->row)}});
    });

    post("/rest/v1/rpc/([^/]+)", [=, this](const Req& req, Res& res, const Reader&) {
        if (restUser(req, res))
            restError(res, 404, "PGRST202",
                      "Could not find the function public." + req.matches[1] + " in the schema cache");
    });

    // Storage. Object keys begin with the owner's id; nobody reads or writes another's.
    auto storageUser = [=, this](const Req& req, Res& res) -> std::optional<Account> {
        if (!apiKeyOk(req, res))
            return std::nullopt;
        auto caller = authenticate(req);
        if (!caller) {
            storageError(res, 400, "403", "Unauthorized",
                         caller.status == Authentication::Status::Expired ? "jwt expired" : "Invalid JWT");
            return std::nullopt;
        }
        return std::move(caller.account);
    };
    auto objectKey = [](const Req& req, Res& res, std::string& key) {
        if (req.matches[1] != bucket) {
            storageError(res, 400, "404", "Bucket not found", "Bucket not found");
            return false;
        }
        key = req.matches[2];
        if (!isSafeObjectKey(key)) {
            storageError(res, 400, "400", "InvalidKey", "Invalid key: " + key);
            return false;
        }
        return true;
    };
    auto owns = [](const Account& account, const std::string& key) {
        return key.compare(0, account.id.size() + 1, account.id + "/") == 0;
    };

    post("/storage/v1/object/sign/([^/]+)/(.+)", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = storageUser(req, res);
        std::string key;
        if (!account || !objectKey(req, res, key))
            return;
        std::string body;
        const auto status = readBody(req, reader, config.maxJsonBytes, body);
        const auto object = status == BodyStatus::Ok ? parseObject(body) : std::nullopt;
        const auto expiresIn = object ? object->find("expiresIn") : json::const_iterator();
        if (!object || expiresIn == object->end() || !expiresIn->is_number_integer() ||
            expiresIn->get<std::int64_t>() < 1 || expiresIn->get<std::int64_t>() > 7 * 24 * 3600) {
            storageError(res, status == BodyStatus::TooLarge ? 413 : 400,
                         status == BodyStatus::TooLarge ? "413" : "400", "InvalidRequest",
                         "expiresIn must be a whole number of seconds between 1 and 604800");
            return;
        }
        const auto stored = store.object(key);
        if (!owns(*account, key) || !stored || stored->userId != account->id) {
            storageError(res, 400, "404", "not_found", "Object not found");
            return;
        }
        const std::int64_t expires = nowSeconds() + expiresIn->get<std::int64_t>();
        const std::string token = std::to_string(expires) + "." + sign("download", key, expires);
        sendJson(res, 200,
                 {{"signedURL", "/object/sign/" + std::string(bucket) + "/" + percentEncodePath(key) +
                                    "?token=" + token}});
    });

    get("/storage/v1/object/sign/([^/]+)/(.+)", [=, this](const Req& req, Res& res) {
        std::string key;
        if (!objectKey(req, res, key))
            return;
        const std::string token = req.param("token");
        const auto dot = token.find('.');
        std::int64_t expires = 0;
        bool valid = dot != std::string::npos && dot > 0 && dot < 20;
        for (std::size_t i = 0; valid && i < dot; ++i) {
            valid = std::isdigit(static_cast<unsigned char>(token[i]));
            expires = expires * 10 + (token[i] - '0');
        }
        if (!valid || !verifySignature("download", key, expires, token.substr(dot + 1))) {
            storageError(res, 400, "400", "InvalidJWT", "invalid signature");
            return;
        }
        if (expires <= nowSeconds()) {
            storageError(res, 400, "400", "InvalidJWT", "jwt expired");
            return;
        }
        const auto stored = store.object(key);
        if (!stored || !streamBlob(req, res, *stored))
            storageError(res, 400, "404", "not_found", "Object not found");
    });

    // A download with the bearer token: the client's own path, and the SDK's (which names no
    // "authenticated/"). Registered after the signed link and before nothing else that a GET
    // under /object/ could mean.
    auto download = [=, this](const Req& req, Res& res) {
        const auto account = storageUser(req, res);
        std::string key;
        if (!account || !objectKey(req, res, key))
            return;
        const auto stored = store.object(key);
        if (!owns(*account, key) || !stored || stored->userId != account->id ||
            !streamBlob(req, res, *stored))
            storageError(res, 400, "404", "not_found", "Object not found");
    };
    get("/storage/v1/object/authenticated/([^/]+)/(.+)", download);
    get("/storage/v1/object/([^/]+)/(.+)", download);

    // A folder of the bucket, as the storage service lists it: the objects directly inside
    // and the names of the folders below, only ever the caller's own.
    post("/storage/v1/object/list/([^/]+)", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = storageUser(req, res);
        if (!account)
            return;
        if (req.matches[1] != bucket) {
            storageError(res, 400, "404", "Bucket not found", "Bucket not found");
            return;
        }
        std::string body;
        const auto status = readBody(req, reader, config.maxJsonBytes, body);
        const auto options = status == BodyStatus::Ok ? parseObject(body) : std::nullopt;
        const auto invalid = [&](const std::string& message) {
            storageError(res, 400, "400", "InvalidRequest", message);
        };
        if (!options) {
            invalid("The body must be a JSON object with the folder's \"prefix\"");
            return;
        }
        const auto number = [&](const char* name, std::int64_t fallback, std::int64_t most) {
            const auto it = options->find(name);
            if (it == options->end() || it->is_null())
                return std::optional(fallback);
            if (!it->is_number_integer() || it->get<std::int64_t>() < 0 || it->get<std::int64_t>() > most)
                return std::optional<std::int64_t>();
            return std::optional(it->get<std::int64_t>());
        };
        const auto limit = number("limit", 100, 10'000), offset = number("offset", 0, INT32_MAX);
        const auto prefix = options->contains("prefix") ? stringMember(*options, "prefix") : std::string();
        const auto search = options->contains("search") ? stringMember(*options, "search") : std::string();
        std::string sortColumn = "name", sortOrder = "asc";
        if (const auto sortBy = options->find("sortBy"); sortBy != options->end() && !sortBy->is_null()) {
            const auto column = sortBy->is_object() ? stringMember(*sortBy, "column") : std::nullopt;
            const auto order = sortBy->is_object() ? stringMember(*sortBy, "order") : std::nullopt;
            sortColumn = column.value_or("name");
            sortOrder = http::asciiLower(order.value_or("asc"));
        }
        static const std::set<std::string> sortColumns = {"name", "created_at", "updated_at",
                                                          "last_accessed_at"};
        if (!limit || !offset || !prefix || !search || !sortColumns.count(sortColumn) ||
            (sortOrder != "asc" && sortOrder != "desc")) {
            invalid("limit and offset must be whole numbers, prefix and search texts, and sortBy name one of "
                    "name, created_at, updated_at, last_accessed_at with order asc or desc");
            return;
        }
        std::string folder = *prefix;
        while (!folder.empty() && folder.back() == '/')
            folder.pop_back();
        while (!folder.empty() && folder.front() == '/')
            folder.erase(0, 1);
        if (!folder.empty())
            folder += '/';
        struct Entry {
            std::string name;
            std::optional<ObjectRow> object; // none: a folder
        };
        std::vector<Entry> entries;
        std::set<std::string> folders;
        const std::string wanted = http::asciiLower(*search);
        for (auto& object : store.objectsUnder(account->id, folder)) {
            const std::string rest = object.path.substr(folder.size());
            const auto slash = rest.find('/');
            const std::string name = rest.substr(0, slash);
            if (http::asciiLower(name).compare(0, wanted.size(), wanted) != 0)
                continue;
            if (slash == std::string::npos)
                entries.push_back({name, std::move(object)});
            else if (folders.insert(name).second)
                entries.push_back({name, std::nullopt});
        }
        // Folders carry no times; like a database they sort after every time going up and
        // before going down.
        const bool descending = sortOrder == "desc";
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
            if (sortColumn != "name" && a.object.has_value() != b.object.has_value())
                return a.object.has_value() != descending;
            const std::string& x = sortColumn == "name" || !a.object ? a.name : a.object->createdAt;
            const std::string& y = sortColumn == "name" || !b.object ? b.name : b.object->createdAt;
            return descending ? y < x : x < y;
        });
        json list = json::array();
        for (std::size_t i = static_cast<std::size_t>(*offset);
             i < entries.size() && list.size() < static_cast<std::size_t>(*limit); ++i) {
            const Entry& e = entries[i];
            if (!e.object) {
                list.push_back({{"name", e.name},
                                {"id", nullptr},
                                {"updated_at", nullptr},
                                {"created_at", nullptr},
                                {"last_accessed_at", nullptr},
                                {"metadata", nullptr}});
                continue;
            }
            const ObjectRow& o = *e.object;
            list.push_back({{"name", e.name},
                            {"id", objectId(o.path)},
                            {"updated_at", o.createdAt},
                            {"created_at", o.createdAt},
                            {"last_accessed_at", o.createdAt},
                            {"metadata",
                             {{"eTag", "\"" + o.sha256 + "\""},
                              {"size", o.size},
                              {"mimetype", o.mimeType},
                              {"cacheControl", "max-age=3600"},
                              {"lastModified", o.createdAt},
                              {"contentLength", o.size},
                              {"httpStatusCode", 200}}}});
        }
        sendJson(res, 200, list);
    });

    // Registered last: the pattern would also match the sign/ and list/ paths.
    post("/storage/v1/object/([^/]+)/(.+)", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = storageUser(req, res);
        std::string key;
        if (!account || !objectKey(req, res, key))
            return;
        if (!owns(*account, key)) {
            storageError(res, 400, "403", "Unauthorized", "new row violates row-level security policy");
            return;
        }
        if (req.contentLength() > static_cast<std::uint64_t>(config.maxUploadBytes)) {
            storageError(res, 413, "413", "Payload too large",
                         "The object exceeded the maximum allowed size");
            return;
        }
        // A form upload (what the SDK sends for a Blob or File) would be stored as its envelope:
        // refused in words instead, so nothing unreadable is ever kept.
        if (req.header("Content-Type").rfind("multipart/", 0) == 0) {
            storageError(res, 400, "415", "InvalidRequest",
                         "Send the object's bytes as the request body (a Buffer or ArrayBuffer, with its "
                         "content type); form uploads are not supported");
            return;
        }
        const bool upsert = req.header("x-upsert") == "true";
        if (!upsert && store.object(key)) {
            // The client must read this answer whatever the body's size: it counts an existing
            // object as stored.
            reader.skip();
            storageError(res, 400, "409", "Duplicate", "The resource already exists");
            return;
        }
        // A length that cannot fit is refused before its body is read (a large body is not taken
        // in only to be refused), unless the household may hold these very bytes already (same
        // size), which would cost nothing.
        if (const auto length = req.contentLength()) {
            const std::int64_t now = nowSeconds(), size = static_cast<std::int64_t>(*length);
            const std::int64_t used = store.householdUsage(account->householdId, now);
            if (used + size > config.quotaBytes &&
                !store.householdCountsSize(account->householdId, size, now)) {
                storageError(res, 400, "413", "Payload too large", quotaExceeded(used, size));
                return;
            }
        }
        auto writer = blobs.begin();
        if (!writer) {
            storageError(res, 500, "500", "InternalError", "The object could not be stored");
            return;
        }
        bool tooLarge = false, diskFull = false;
        const bool complete = reader([&](const char* data, std::size_t length) {
            if (writer->size() + length > static_cast<std::uint64_t>(config.maxUploadBytes)) {
                tooLarge = true;
                return false;
            }
            if (!writer->write(data, length)) {
                diskFull = true;
                return false;
            }
            return true;
        });
        if (tooLarge) {
            storageError(res, 413, "413", "Payload too large",
                         "The object exceeded the maximum allowed size");
            return;
        }
        if (!complete || diskFull) {
            storageError(res, 400, "400", "IncompleteUpload",
                         "The upload did not complete; nothing was stored");
            return;
        }
        std::string mime = req.header("Content-Type");
        if (mime.empty())
            mime = "application/octet-stream";
        const ObjectRow row{
            key, account->id, writer->finishDigest(), static_cast<std::int64_t>(writer->size()), mime, {}};
        // The content's room in the quota is reserved (as a ticket being received) before its
        // blob is committed, and the ticket is settled once the object holds it.
        UploadTicket reservation;
        reservation.id = crypto::randomUuid();
        reservation.accountId = account->id;
        reservation.storageKey = key;
        reservation.fileHash = row.sha256;
        reservation.fileSize = row.size;
        reservation.mimeType = mime;
        reservation.expiresAt = nowSeconds() + config.uploadLinkSeconds;
        reservation.state = UploadTicket::State::Receiving;
        bool stored = false;
        {
            const auto hold = blobs.holdWhileReferencing();
            if (const auto refusal = reserveUpload(*account, reservation)) {
                storageError(res, 400, "413", "Payload too large", *refusal);
                return;
            }
            if (!writer->commit()) {
                store.transitionUpload(reservation.id, UploadTicket::State::Receiving,
                                       UploadTicket::State::Failed);
                storageError(res, 400, "400", "IncompleteUpload",
                             "The upload did not complete; nothing was stored");
                return;
            }
        }
        const ScopeExit settle([&] {
            store.transitionUpload(reservation.id, UploadTicket::State::Receiving,
                                   stored ? UploadTicket::State::Confirmed : UploadTicket::State::Failed);
        });
        if (upsert) {
            store.upsertObject(row, timestamp());
            stored = true;
        } else {
            stored = store.insertObject(row, timestamp());
        }
        if (!stored) {
            storageError(res, 400, "409", "Duplicate", "The resource already exists");
            return;
        }
        sendJson(res, 200, {{"Key", std::string(bucket) + "/" + key}, {"Id", objectId(key)}});
    });
}

} // namespace vault
