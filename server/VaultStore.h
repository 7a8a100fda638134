#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace vault {

struct Account {
    std::string id;
    std::string email;
    std::string passwordHash;
    std::string fullName;
    std::string householdId;
    std::string createdAt;
};

// One row of the files table, with the columns of the client's file record.
struct FileRow {
    std::string id;
    std::string userId;
    std::string fileHash;
    std::string originalFilename;
    std::string filePath;
    std::int64_t fileSize = 0;
    std::string mimeType;
    std::string deviceName;
    std::string deviceType;
    std::optional<std::string> folderPath;
    std::string createdAt;
    std::string updatedAt;
};

// A stored object: a key in the bucket pointing at a content-addressed blob.
struct ObjectRow {
    std::string path;
    std::string userId;
    std::string sha256;
    std::int64_t size = 0;
    std::string mimeType;
};

// An upload location handed out by pre-upload, used at most once.
struct UploadTicket {
    enum class State { Pending, Receiving, Received, Confirmed, Failed };
    std::string id;
    std::string accountId;
    std::string storageKey;
    std::string fileHash;
    std::int64_t fileSize = 0;
    std::string mimeType;
    std::int64_t expiresAt = 0; // unix seconds
    State state = State::Pending;
};

// A signed-in session. Its access tokens name it, so ending it ends every token it issued.
struct AuthSession {
    std::string id;
    std::string accountId;
    std::int64_t createdAt = 0;            // unix seconds
    std::optional<std::int64_t> expiresAt; // none: lives until it is ended (renewed by refresh tokens)
    std::optional<std::int64_t> endedAt;   // signed out, or revoked
};

// A refresh token of a session, kept as its digest; spent once it has been exchanged.
struct RefreshTokenRow {
    std::string sessionId;
    bool spent = false;
};

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Accounts, households, devices, sessions, files, objects and upload tickets in one SQLite
// database (WAL). Every call is serialised on one connection; blob bytes never pass through here.
class VaultStore {
public:
    explicit VaultStore(const std::filesystem::path& databasePath);
    ~VaultStore();
    VaultStore(const VaultStore&) = delete;
    VaultStore& operator=(const VaultStore&) = delete;

    // Runs `work` in one transaction; an exception rolls everything back.
    void transaction(const std::function<void()>& work);

    std::optional<std::string> meta(const std::string& key);
    void setMeta(const std::string& key, const std::string& value);

    std::optional<Account> accountByEmail(const std::string& email);
    std::optional<Account> accountById(const std::string& id);
    // Creates the account with a household of its own; nullopt when the e-mail is taken.
    std::optional<Account> createAccount(const std::string& email, const std::string& passwordHash,
                                         const std::string& fullName, const std::string& householdName,
                                         const std::string& planId, const std::string& now);
    std::string householdName(const std::string& householdId);

    void createAuthSession(const AuthSession& session);
    std::optional<AuthSession> authSession(const std::string& id);
    // A session that began before access tokens were signed: its bearer token is opaque and only
    // the token's digest identifies it.
    std::optional<AuthSession> authSessionForOpaqueToken(const std::string& tokenHash);
    // Ends the session (no-op when it has ended already).
    void endAuthSession(const std::string& id, std::int64_t now);
    // Ends every live session of the account except `keepSessionId` (empty: all of them).
    void endAccountSessions(const std::string& accountId, const std::string& keepSessionId, std::int64_t now);
    void addRefreshToken(const std::string& tokenHash, const std::string& sessionId, std::int64_t now);
    std::optional<RefreshTokenRow> refreshToken(const std::string& tokenHash);
    // Marks the token spent; false when it was spent already.
    bool spendRefreshToken(const std::string& tokenHash);

    // Upserts by (account, device name); returns the device id.
    std::string registerDevice(const std::string& accountId, const std::string& name, const std::string& type,
                               const std::string& appVersion, const std::string& now);
    // The device is found by id or by name (the client sends its host name as id).
    std::string bindSyncFolder(const std::string& accountId, const std::string& idOrName,
                               const std::string& folderPath, const std::string& folderName,
                               const std::string& now);
    struct Device {
        std::string id, name, type, folderPath, folderName;
    };
    std::vector<Device> devices(const std::string& accountId);

    // Files. Column names in filters/ordering must come from fileColumns().
    static const std::vector<std::string>& fileColumns();
    std::vector<FileRow> files(const std::string& userId,
                               const std::multimap<std::string, std::string>& eqFilters,
                               const std::string& orderColumn, bool descending);
    std::optional<FileRow> fileById(const std::string& id);
    std::optional<FileRow> fileByUserPath(const std::string& userId, const std::string& filePath);
    std::optional<FileRow> fileByUserHash(const std::string& userId, const std::string& fileHash);
    // Inserts (fresh id and timestamps); with `merge` an existing row of the same user and
    // path is updated instead. nullopt when the row exists and `merge` is false.
    std::optional<FileRow> insertFile(FileRow row, bool merge, const std::string& now);

    std::optional<ObjectRow> object(const std::string& path);
    bool insertObject(const ObjectRow& row, const std::string& now); // false when the key exists
    void upsertObject(const ObjectRow& row, const std::string& now);
    // Digests that some object or a received, unconfirmed upload still needs.
    std::vector<std::string> referencedContent();
    // An object of any member of the household whose verified content has this digest.
    std::optional<ObjectRow> householdObjectWithContent(const std::string& householdId,
                                                        const std::string& sha256);
    // Bytes of distinct content the household keeps.
    std::int64_t householdUsage(const std::string& householdId);
    std::int64_t objectCount();

    void createUpload(const UploadTicket& ticket, const std::string& now);
    std::optional<UploadTicket> upload(const std::string& id);
    std::optional<UploadTicket> uploadByKey(const std::string& accountId, const std::string& storageKey,
                                            UploadTicket::State state);
    // Moves a ticket from one state to another; false when it was not in `from`.
    bool transitionUpload(const std::string& id, UploadTicket::State from, UploadTicket::State to);

private:
    class Statement;
    void exec(const char* sql);
    void carryOverOpaqueSessions();

    std::recursive_mutex m_mutex;
    sqlite3* m_db = nullptr;
    int m_transactionDepth = 0; // nested transaction() calls join the outer one
};

} // namespace vault
