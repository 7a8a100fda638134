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

// "2026-01-31T12:00:00.123456+00:00": how every stored time of day is written.
std::string formatTimestamp(std::int64_t unixMicros);

// Something@somewhere.tld, without spaces or control characters, at most 254 bytes.
bool isValidEmail(const std::string& email);

// A household: the accounts that share one quota and deduplicate against each other. The
// owner invites and removes members.
struct Household {
    std::string id;
    std::string name;
    std::string planId;
    std::string ownerId;
    std::string createdAt;
};

// An e-mail address asked into a household. Pending until an account with that address joins
// (by registering, or on its own request); at most one invitation per address is pending.
struct Invitation {
    std::string id;
    std::string householdId;
    std::string email;
    std::string invitedBy; // account id
    std::string createdAt;
    std::optional<std::string> acceptedBy; // account id
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

// Which rows of the files table a REST read wants, in the terms the REST side speaks: filters
// ("eq", "neq", "gt", "gte", "lt", "lte", "like", "ilike" with one value, "in" with any number,
// "is" with "null"), orderings and a window. Column names must come from fileColumns().
struct FileQuery {
    struct Filter {
        std::string column, op;
        std::vector<std::string> values;
    };
    struct Order {
        std::string column;
        bool descending = false;
        std::optional<bool> nullsFirst; // none: as the database orders by default (nulls last ascending)
    };
    std::vector<Filter> filters;
    std::vector<Order> order; // rows of equal keys stay in the order they were stored
    std::optional<std::int64_t> limit;
    std::int64_t offset = 0;
};

// What a write does when the row's (user, path) exists already.
enum class OnConflict { Fail, Merge, Ignore };

// A stored object: a key in the bucket pointing at a content-addressed blob.
struct ObjectRow {
    std::string path;
    std::string userId;
    std::string sha256;
    std::int64_t size = 0;
    std::string mimeType;
    std::string createdAt; // filled in when read
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
    std::optional<std::int64_t> spentAt; // none for a token spent before this was recorded
};

// What one sweep removed.
struct SweepReport {
    std::size_t uploadTickets = 0, sessions = 0, refreshTokens = 0, blobs = 0;
};

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Accounts, households and invitations, devices, sessions, files, objects and upload tickets in one SQLite
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
    // Creates the account: in the household that invited its e-mail address (the invitation is
    // then accepted), otherwise in a new household of its own, named and planned as given.
    // nullopt when the e-mail is taken.
    std::optional<Account> createAccount(const std::string& email, const std::string& passwordHash,
                                         const std::string& fullName, const std::string& householdName,
                                         const std::string& planId, const std::string& now);
    std::string householdName(const std::string& householdId);

    std::optional<Household> household(const std::string& id);
    std::vector<Household> households();
    std::vector<Account> householdMembers(const std::string& householdId); // the owner first
    // A new household owned by `ownerId`, who moves into it.
    Household createHousehold(const std::string& ownerId, const std::string& name, const std::string& planId,
                              const std::string& now);
    // Moves the account into another household; its files, objects and devices go with it. A
    // household left empty is removed with its pending invitations.
    void moveAccount(const std::string& accountId, const std::string& householdId);

    std::optional<Invitation> invitation(const std::string& id);
    std::optional<Invitation> pendingInvitationFor(const std::string& email);
    // The latest invitation an account accepted.
    std::optional<Invitation> acceptedInvitationOf(const std::string& accountId);
    std::vector<Invitation> pendingInvitations(const std::string& householdId);
    // false when the address has a pending invitation already.
    bool insertInvitation(const Invitation& invitation);
    void acceptInvitation(const std::string& id, const std::string& accountId);
    bool deleteInvitation(const std::string& id); // false when there was none
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
    // Marks the token spent at `now`; false when it was spent already.
    bool spendRefreshToken(const std::string& tokenHash, std::int64_t now);

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

    // Files. Column names in queries must come from fileColumns(); a query on another column
    // throws StoreError.
    static const std::vector<std::string>& fileColumns();
    std::vector<FileRow> files(const std::string& userId, const FileQuery& query = {});
    // How many rows the query's filters match, whatever its window.
    std::int64_t countFiles(const std::string& userId, const FileQuery& query);
    std::optional<FileRow> fileById(const std::string& id);
    std::optional<FileRow> fileByUserPath(const std::string& userId, const std::string& filePath);
    std::optional<FileRow> fileByUserHash(const std::string& userId, const std::string& fileHash);
    // Inserts (fresh id and timestamps). When the user's row for the path exists already:
    // Merge updates it, Fail and Ignore leave it; nullopt then for Fail, and for Ignore the
    // row as it is with `inserted` false.
    struct Written {
        FileRow row;
        bool inserted = true;
    };
    std::optional<Written> insertFile(FileRow row, OnConflict onConflict, const std::string& now);

    std::optional<ObjectRow> object(const std::string& path);
    bool insertObject(const ObjectRow& row, const std::string& now); // false when the key exists
    void upsertObject(const ObjectRow& row, const std::string& now);
    // The user's objects whose keys begin with `prefix`, in key order.
    std::vector<ObjectRow> objectsUnder(const std::string& userId, const std::string& prefix);
    // Digests that some object or a live upload ticket still needs.
    std::vector<std::string> referencedContent();
    // An object of any member of the household whose verified content has this digest.
    std::optional<ObjectRow> householdObjectWithContent(const std::string& householdId,
                                                        const std::string& sha256);
    // Bytes the household's quota counts at `now`: each distinct content once, whether kept by
    // an object or reserved by an upload ticket still alive (waiting for its bytes, receiving
    // them, or received and waiting for confirmation). With `joiningAccountId`, as if that
    // account were a member too.
    std::int64_t householdUsage(const std::string& householdId, std::int64_t now,
                                const std::string& joiningAccountId = {});
    // Whether the content is counted in the household's usage already (kept or reserved).
    bool householdCounts(const std::string& householdId, const std::string& sha256, std::int64_t now);
    // Whether the household keeps or reserves some content of exactly this size.
    bool householdCountsSize(const std::string& householdId, std::int64_t size, std::int64_t now);
    std::int64_t objectCount();

    void createUpload(const UploadTicket& ticket, const std::string& now);
    std::optional<UploadTicket> upload(const std::string& id);
    std::optional<UploadTicket> uploadByKey(const std::string& accountId, const std::string& storageKey,
                                            UploadTicket::State state);
    // Moves a ticket from one state to another; false when it was not in `from`. With
    // `expiresAt`, the ticket's deadline becomes that (a received upload waits for its confirm).
    bool transitionUpload(const std::string& id, UploadTicket::State from, UploadTicket::State to,
                          std::optional<std::int64_t> expiresAt = std::nullopt);

    // Removes what nobody can use any more: upload tickets that failed, were confirmed or ran
    // out of time (with `atStartup`, also those that were receiving: no upload outlives its
    // server), and sessions with their refresh tokens that ended or expired `grace` seconds ago.
    SweepReport sweepRows(std::int64_t now, std::int64_t grace, bool atStartup);

private:
    class Statement;
    void exec(const char* sql);
    void migrate();
    bool addColumnIfMissing(const char* table, const char* column, const char* declaration); // true: added
    void carryOverOpaqueSessions();
    bool householdCountsWhere(const std::string& householdId, std::int64_t now, const char* filter,
                              const std::function<void(Statement&)>& bindFilter);
    std::string fileWhere(const FileQuery& query) const;
    template <typename S> void bindFileFilters(S& statement, const FileQuery& query) const;
    // The first row of `sql` with `value` bound, read by `read`; nothing when there is none.
    template <typename Read> auto firstRow(const std::string& sql, const std::string& value, Read read);

    std::recursive_mutex m_mutex;
    sqlite3* m_db = nullptr;
    int m_transactionDepth = 0; // nested transaction() calls join the outer one
};

} // namespace vault
