#include "VaultStore.h"

#include "VaultCrypto.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sqlite3.h>

namespace vault {

// A prepared statement with positional binding; throws StoreError on any database failure.
class VaultStore::Statement {
public:
    Statement(sqlite3* db, const std::string& sql)
        : m_db(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &m_stmt, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(const std::string& value) {
        sqlite3_bind_text(m_stmt, ++m_index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(const char* value) { return bind(std::string(value)); }
    Statement& bind(std::int64_t value) {
        sqlite3_bind_int64(m_stmt, ++m_index, value);
        return *this;
    }
    Statement& bind(int value) { return bind(static_cast<std::int64_t>(value)); }
    Statement& bind(const std::optional<std::string>& value) {
        if (value)
            return bind(*value);
        return bindNull();
    }
    Statement& bind(const std::optional<std::int64_t>& value) {
        if (value)
            return bind(*value);
        return bindNull();
    }
    Statement& bindNull() {
        sqlite3_bind_null(m_stmt, ++m_index);
        return *this;
    }

    // True while a row is available.
    bool step() {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw StoreError(sqlite3_errmsg(m_db));
    }
    // Runs a statement that may violate a constraint: false then, instead of throwing.
    bool run() {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_DONE || rc == SQLITE_ROW)
            return true;
        if ((rc & 0xff) == SQLITE_CONSTRAINT)
            return false;
        throw StoreError(sqlite3_errmsg(m_db));
    }

    std::string text(int column) const {
        const auto* p = sqlite3_column_text(m_stmt, column);
        return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(m_stmt, column))
                 : std::string();
    }
    std::optional<std::string> optionalText(int column) const {
        if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL)
            return std::nullopt;
        return text(column);
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    std::optional<std::int64_t> optionalInteger(int column) const {
        if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL)
            return std::nullopt;
        return integer(column);
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    int m_index = 0;
};

template <typename Read>
auto VaultStore::firstRow(const std::string& sql, const std::string& value, Read read) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, sql);
    s.bind(value);
    using Row = decltype(read(s));
    return s.step() ? std::optional<Row>(read(s)) : std::nullopt;
}

namespace {

const char* const schema = R"sql(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS households (
    id TEXT PRIMARY KEY, name TEXT NOT NULL, plan_id TEXT NOT NULL, created_at TEXT NOT NULL, owner_id TEXT,
    kept_bytes INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS accounts (
    id TEXT PRIMARY KEY, email TEXT NOT NULL UNIQUE COLLATE NOCASE, password_hash TEXT NOT NULL,
    full_name TEXT NOT NULL, household_id TEXT NOT NULL REFERENCES households(id), created_at TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS accounts_by_household ON accounts (household_id);
CREATE TABLE IF NOT EXISTS invitations (
    id TEXT PRIMARY KEY, household_id TEXT NOT NULL REFERENCES households(id),
    email TEXT NOT NULL COLLATE NOCASE, invited_by TEXT NOT NULL REFERENCES accounts(id),
    created_at TEXT NOT NULL, accepted_by TEXT REFERENCES accounts(id));
CREATE UNIQUE INDEX IF NOT EXISTS invitations_pending_by_email ON invitations (email) WHERE accepted_by IS NULL;
CREATE INDEX IF NOT EXISTS invitations_by_household ON invitations (household_id);
CREATE TABLE IF NOT EXISTS auth_sessions (
    id TEXT PRIMARY KEY, account_id TEXT NOT NULL REFERENCES accounts(id), created_at INTEGER NOT NULL,
    expires_at INTEGER, ended_at INTEGER, opaque_token_hash TEXT UNIQUE);
CREATE INDEX IF NOT EXISTS auth_sessions_by_account ON auth_sessions (account_id);
CREATE TABLE IF NOT EXISTS refresh_tokens (
    token_hash TEXT PRIMARY KEY, session_id TEXT NOT NULL REFERENCES auth_sessions(id),
    spent INTEGER NOT NULL, created_at INTEGER NOT NULL, spent_at INTEGER);
CREATE INDEX IF NOT EXISTS refresh_tokens_by_session ON refresh_tokens (session_id);
CREATE TABLE IF NOT EXISTS devices (
    id TEXT PRIMARY KEY, account_id TEXT NOT NULL REFERENCES accounts(id), device_name TEXT NOT NULL,
    device_type TEXT NOT NULL, app_version TEXT NOT NULL, folder_path TEXT, folder_name TEXT,
    created_at TEXT NOT NULL, updated_at TEXT NOT NULL, UNIQUE (account_id, device_name));
CREATE TABLE IF NOT EXISTS objects (
    path TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES accounts(id), sha256 TEXT NOT NULL,
    size INTEGER NOT NULL, mime_type TEXT NOT NULL, created_at TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS objects_by_content ON objects (sha256);
CREATE INDEX IF NOT EXISTS objects_by_user ON objects (user_id);
CREATE TABLE IF NOT EXISTS files (
    id TEXT PRIMARY KEY, user_id TEXT NOT NULL REFERENCES accounts(id), file_hash TEXT NOT NULL,
    original_filename TEXT NOT NULL, file_path TEXT NOT NULL, file_size INTEGER NOT NULL,
    mime_type TEXT NOT NULL, device_name TEXT NOT NULL, device_type TEXT NOT NULL, folder_path TEXT,
    created_at TEXT NOT NULL, updated_at TEXT NOT NULL, UNIQUE (user_id, file_path));
CREATE INDEX IF NOT EXISTS files_by_hash ON files (user_id, file_hash);
-- Listings come newest first: a page of them is then read in order instead of sorting them all.
CREATE INDEX IF NOT EXISTS files_by_created ON files (user_id, created_at);
CREATE TABLE IF NOT EXISTS uploads (
    id TEXT PRIMARY KEY, account_id TEXT NOT NULL REFERENCES accounts(id), storage_key TEXT NOT NULL,
    file_hash TEXT NOT NULL, file_size INTEGER NOT NULL, mime_type TEXT NOT NULL,
    expires_at INTEGER NOT NULL, state INTEGER NOT NULL, created_at TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS uploads_by_key ON uploads (account_id, storage_key);
CREATE INDEX IF NOT EXISTS uploads_open ON uploads (account_id) WHERE state IN (0, 1, 2);

-- Each distinct content (digest and size) the members of a household keep, with how many of
-- their objects hold it, and the sum of those sizes in households.kept_bytes: what the quota
-- counts is then one look-up, however many files the household has. The triggers keep both
-- in the very statement that changes an object or moves an account.
CREATE TABLE IF NOT EXISTS household_content (
    household_id TEXT NOT NULL, sha256 TEXT NOT NULL, size INTEGER NOT NULL, objects INTEGER NOT NULL,
    PRIMARY KEY (household_id, sha256, size)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS household_content_by_size ON household_content (household_id, size);
CREATE TRIGGER IF NOT EXISTS household_content_added AFTER INSERT ON household_content BEGIN
    UPDATE households SET kept_bytes = kept_bytes + NEW.size WHERE id = NEW.household_id;
END;
CREATE TRIGGER IF NOT EXISTS household_content_removed AFTER DELETE ON household_content BEGIN
    UPDATE households SET kept_bytes = kept_bytes - OLD.size WHERE id = OLD.household_id;
END;
CREATE TRIGGER IF NOT EXISTS household_content_emptied AFTER UPDATE OF objects ON household_content
WHEN NEW.objects <= 0 BEGIN
    DELETE FROM household_content
        WHERE household_id = NEW.household_id AND sha256 = NEW.sha256 AND size = NEW.size;
END;
CREATE TRIGGER IF NOT EXISTS object_kept AFTER INSERT ON objects BEGIN
    INSERT INTO household_content (household_id, sha256, size, objects)
        SELECT household_id, NEW.sha256, NEW.size, 1 FROM accounts WHERE id = NEW.user_id
        ON CONFLICT (household_id, sha256, size) DO UPDATE SET objects = objects + 1;
END;
CREATE TRIGGER IF NOT EXISTS object_dropped AFTER DELETE ON objects BEGIN
    UPDATE household_content SET objects = objects - 1
        WHERE household_id = (SELECT household_id FROM accounts WHERE id = OLD.user_id)
        AND sha256 = OLD.sha256 AND size = OLD.size;
END;
CREATE TRIGGER IF NOT EXISTS object_changed AFTER UPDATE OF user_id, sha256, size ON objects BEGIN
    UPDATE household_content SET objects = objects - 1
        WHERE household_id = (SELECT household_id FROM accounts WHERE id = OLD.user_id)
        AND sha256 = OLD.sha256 AND size = OLD.size;
    INSERT INTO household_content (household_id, sha256, size, objects)
        SELECT household_id, NEW.sha256, NEW.size, 1 FROM accounts WHERE id = NEW.user_id
        ON CONFLICT (household_id, sha256, size) DO UPDATE SET objects = objects + 1;
END;
CREATE TRIGGER IF NOT EXISTS account_moved AFTER UPDATE OF household_id ON accounts
WHEN OLD.household_id IS NOT NEW.household_id BEGIN
    INSERT INTO household_content (household_id, sha256, size, objects)
        SELECT NEW.household_id, sha256, size, COUNT(*) FROM objects WHERE user_id = NEW.id
        GROUP BY sha256, size
        ON CONFLICT (household_id, sha256, size) DO UPDATE SET objects = objects + excluded.objects;
    UPDATE household_content SET objects = objects - (SELECT COUNT(*) FROM objects o WHERE o.user_id = NEW.id
            AND o.sha256 = household_content.sha256 AND o.size = household_content.size)
        WHERE household_id = OLD.household_id
        AND (sha256, size) IN (SELECT sha256, size FROM objects WHERE user_id = NEW.id);
END;
)sql";

const char* const fileSelect =
    "SELECT id, user_id, file_hash, original_filename, file_path, file_size, mime_type, "
    "device_name, device_type, folder_path, created_at, updated_at FROM files ";

const char* const uploadSelect =
    "SELECT id, account_id, storage_key, file_hash, file_size, mime_type, expires_at, state FROM uploads ";

const char* const objectSelect = "SELECT path, user_id, sha256, size, mime_type, created_at FROM objects ";

// An upload ticket reserves its content while it is alive: waiting for its bytes until its
// location expires, receiving them (however long that takes), or received and waiting for its
// confirmation until that deadline. ?3 is now.
const char* const liveTicket = "(u.state = 1 OR (u.state IN (0, 2) AND u.expires_at > ?3))";
static_assert(static_cast<int>(UploadTicket::State::Pending) == 0 &&
              static_cast<int>(UploadTicket::State::Receiving) == 1 &&
              static_cast<int>(UploadTicket::State::Received) == 2 &&
              static_cast<int>(UploadTicket::State::Confirmed) == 3 &&
              static_cast<int>(UploadTicket::State::Failed) == 4);

// The live tickets of the household's members (?1), and of ?2, an account counted as if it
// were a member. An index holds only the tickets still open, so this reads the few uploads in
// flight, never the ones long done. ?3 is now.
std::string liveTickets() {
    return std::string(
               "SELECT u.file_hash AS sha256, u.file_size AS size FROM uploads u JOIN accounts a ON "
               "a.id = u.account_id WHERE (a.household_id = ?1 OR a.id = ?2) AND u.state IN (0, 1, 2) "
               "AND ") +
           liveTicket;
}

} // namespace

std::string formatTimestamp(std::int64_t micros) {
    const std::time_t seconds = static_cast<std::time_t>(micros / 1'000'000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lld+00:00", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(micros % 1'000'000));
    return text;
}

bool isValidEmail(const std::string& email) {
    static const std::regex pattern(R"(^[^@\s\x00-\x1f]+@[^@\s\x00-\x1f]+\.[^@\s\x00-\x1f]+$)");
    return email.size() <= 254 && std::regex_match(email, pattern);
}

VaultStore::VaultStore(const std::filesystem::path& databasePath) {
    if (sqlite3_open_v2(databasePath.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw StoreError("cannot open " + databasePath.string() + ": " + message);
    }
    sqlite3_busy_timeout(m_db, 5000);
    exec("PRAGMA journal_mode=WAL");
    // FULL: a reply that says "stored" must survive a power cut, not only a crash.
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
    exec(schema);
    migrate();
    carryOverOpaqueSessions();
}

// Data folders of earlier versions: columns added since are added here, and filled in.
void VaultStore::migrate() {
    // Before the household's content was kept as it changes, usage was summed on every upload.
    if (addColumnIfMissing("households", "kept_bytes", "INTEGER NOT NULL DEFAULT 0")) {
        transaction([&] {
            exec("DELETE FROM household_content");
            exec("UPDATE households SET kept_bytes = 0");
            exec("INSERT INTO household_content (household_id, sha256, size, objects) SELECT a.household_id, "
                 "o.sha256, o.size, COUNT(*) FROM objects o JOIN accounts a ON a.id = o.user_id "
                 "GROUP BY a.household_id, o.sha256, o.size");
        });
    }
    addColumnIfMissing("households", "owner_id", "TEXT");
    addColumnIfMissing("refresh_tokens", "spent_at", "INTEGER");
    // Before invitations every household had exactly one account: its owner.
    exec("UPDATE households SET owner_id = (SELECT a.id FROM accounts a WHERE a.household_id = households.id "
         "ORDER BY a.created_at, a.rowid LIMIT 1) WHERE owner_id IS NULL");
}

bool VaultStore::addColumnIfMissing(const char* table, const char* column, const char* declaration) {
    {
        Statement q(m_db, std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?");
        q.bind(column);
        if (q.step())
            return false;
    }
    exec((std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + declaration).c_str());
    return true;
}

// Earlier versions kept sessions as opaque bearer tokens in a table of their own. Their holders
// keep working until those sessions expire, and can be signed out like any other session.
void VaultStore::carryOverOpaqueSessions() {
    bool present = false;
    {
        Statement q(m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'sessions'");
        present = q.step();
    }
    if (!present)
        return;
    transaction([&] {
        Statement q(m_db, "SELECT token_hash, account_id, expires_at FROM sessions");
        while (q.step()) {
            Statement s(m_db, "INSERT OR IGNORE INTO auth_sessions (id, account_id, created_at, expires_at, "
                              "opaque_token_hash) VALUES (?, ?, 0, ?, ?)");
            s.bind(crypto::randomUuid()).bind(q.text(1)).bind(q.integer(2)).bind(q.text(0)).step();
        }
        exec("DROP TABLE sessions");
    });
}

VaultStore::~VaultStore() {
    sqlite3_close(m_db);
}

void VaultStore::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError(message);
    }
}

void VaultStore::transaction(const std::function<void()>& work) {
    std::lock_guard lock(m_mutex);
    if (m_transactionDepth > 0) {
        ++m_transactionDepth;
        try {
            work();
        } catch (...) {
            --m_transactionDepth;
            throw;
        }
        --m_transactionDepth;
        return;
    }
    exec("BEGIN IMMEDIATE");
    m_transactionDepth = 1;
    try {
        work();
        m_transactionDepth = 0;
        exec("COMMIT");
    } catch (...) {
        m_transactionDepth = 0;
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::optional<std::string> VaultStore::meta(const std::string& key) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT value FROM meta WHERE key = ?");
    s.bind(key);
    if (!s.step())
        return std::nullopt;
    return s.text(0);
}

void VaultStore::setMeta(const std::string& key, const std::string& value) {
    std::lock_guard lock(m_mutex);
    Statement s(
        m_db,
        "INSERT INTO meta (key, value) VALUES (?, ?) ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    s.bind(key).bind(value).step();
}

namespace {

template <typename S> Account readAccount(const S& s) {
    return Account{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5)};
}

template <typename S> FileRow readFile(const S& s) {
    FileRow row;
    row.id = s.text(0);
    row.userId = s.text(1);
    row.fileHash = s.text(2);
    row.originalFilename = s.text(3);
    row.filePath = s.text(4);
    row.fileSize = s.integer(5);
    row.mimeType = s.text(6);
    row.deviceName = s.text(7);
    row.deviceType = s.text(8);
    row.folderPath = s.optionalText(9);
    row.createdAt = s.text(10);
    row.updatedAt = s.text(11);
    return row;
}

template <typename S> UploadTicket readUpload(const S& s) {
    UploadTicket t;
    t.id = s.text(0);
    t.accountId = s.text(1);
    t.storageKey = s.text(2);
    t.fileHash = s.text(3);
    t.fileSize = s.integer(4);
    t.mimeType = s.text(5);
    t.expiresAt = s.integer(6);
    t.state = static_cast<UploadTicket::State>(s.integer(7));
    return t;
}

const char* const accountSelect =
    "SELECT id, email, password_hash, full_name, household_id, created_at FROM accounts ";

} // namespace

std::optional<Account> VaultStore::accountByEmail(const std::string& email) {
    return firstRow(std::string(accountSelect) + "WHERE email = ?", email, readAccount<Statement>);
}

std::optional<Account> VaultStore::accountById(const std::string& id) {
    return firstRow(std::string(accountSelect) + "WHERE id = ?", id, readAccount<Statement>);
}

std::optional<Account> VaultStore::createAccount(const std::string& email, const std::string& passwordHash,
                                                 const std::string& fullName,
                                                 const std::string& householdName, const std::string& planId,
                                                 const std::string& now) {
    std::lock_guard lock(m_mutex);
    std::optional<Account> created;
    transaction([&] {
        if (accountByEmail(email))
            return;
        const auto invited = pendingInvitationFor(email);
        const std::string householdId = invited ? invited->householdId : crypto::randomUuid();
        if (!invited) {
            Statement h(m_db, "INSERT INTO households (id, name, plan_id, created_at) VALUES (?, ?, ?, ?)");
            h.bind(householdId).bind(householdName).bind(planId).bind(now).step();
        }
        Account account{crypto::randomUuid(), email, passwordHash, fullName, householdId, now};
        Statement a(m_db,
                    "INSERT INTO accounts (id, email, password_hash, full_name, household_id, created_at) "
                    "VALUES (?, ?, ?, ?, ?, ?)");
        a.bind(account.id).bind(email).bind(passwordHash).bind(fullName).bind(householdId).bind(now).step();
        if (invited) {
            acceptInvitation(invited->id, account.id);
        } else {
            Statement o(m_db, "UPDATE households SET owner_id = ? WHERE id = ?");
            o.bind(account.id).bind(householdId).step();
        }
        created = account;
    });
    return created;
}

std::string VaultStore::householdName(const std::string& householdId) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT name FROM households WHERE id = ?");
    s.bind(householdId);
    return s.step() ? s.text(0) : std::string();
}

namespace {

const char* const householdSelect =
    "SELECT id, name, plan_id, COALESCE(owner_id, ''), created_at FROM households ";
const char* const invitationSelect =
    "SELECT id, household_id, email, invited_by, created_at, accepted_by FROM invitations ";

template <typename S> Household readHousehold(const S& s) {
    return Household{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4)};
}
template <typename S> Invitation readInvitation(const S& s) {
    return Invitation{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.optionalText(5)};
}

} // namespace

std::optional<Household> VaultStore::household(const std::string& id) {
    return firstRow(std::string(householdSelect) + "WHERE id = ?", id, readHousehold<Statement>);
}

std::vector<Household> VaultStore::households() {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, std::string(householdSelect) + "ORDER BY created_at, rowid");
    std::vector<Household> out;
    while (s.step())
        out.push_back(readHousehold(s));
    return out;
}

std::vector<Account> VaultStore::householdMembers(const std::string& householdId) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, std::string(accountSelect) +
                          "WHERE household_id = ?1 ORDER BY id = (SELECT owner_id FROM households WHERE id = "
                          "?1) DESC, created_at, rowid");
    s.bind(householdId);
    std::vector<Account> out;
    while (s.step())
        out.push_back(readAccount(s));
    return out;
}

Household VaultStore::createHousehold(const std::string& ownerId, const std::string& name,
                                      const std::string& planId, const std::string& now) {
    std::lock_guard lock(m_mutex);
    Household created{crypto::randomUuid(), name, planId, ownerId, now};
    transaction([&] {
        Statement h(
            m_db, "INSERT INTO households (id, name, plan_id, created_at, owner_id) VALUES (?, ?, ?, ?, ?)");
        h.bind(created.id).bind(name).bind(planId).bind(now).bind(ownerId).step();
        moveAccount(ownerId, created.id);
    });
    return created;
}

void VaultStore::moveAccount(const std::string& accountId, const std::string& householdId) {
    std::lock_guard lock(m_mutex);
    transaction([&] {
        const auto account = accountById(accountId);
        if (!account || account->householdId == householdId)
            return;
        Statement m(m_db, "UPDATE accounts SET household_id = ? WHERE id = ?");
        m.bind(householdId).bind(accountId).step();
        if (!householdMembers(account->householdId).empty())
            return;
        Statement i(m_db, "DELETE FROM invitations WHERE household_id = ?");
        i.bind(account->householdId).step();
        Statement h(m_db, "DELETE FROM households WHERE id = ?");
        h.bind(account->householdId).step();
    });
}

std::optional<Invitation> VaultStore::invitation(const std::string& id) {
    return firstRow(std::string(invitationSelect) + "WHERE id = ?", id, readInvitation<Statement>);
}

std::optional<Invitation> VaultStore::pendingInvitationFor(const std::string& email) {
    return firstRow(std::string(invitationSelect) + "WHERE email = ? AND accepted_by IS NULL", email,
                    readInvitation<Statement>);
}

std::optional<Invitation> VaultStore::acceptedInvitationOf(const std::string& accountId) {
    return firstRow(std::string(invitationSelect) + "WHERE accepted_by = ? ORDER BY rowid DESC LIMIT 1",
                    accountId, readInvitation<Statement>);
}

std::vector<Invitation> VaultStore::pendingInvitations(const std::string& householdId) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, std::string(invitationSelect) +
                          "WHERE household_id = ? AND accepted_by IS NULL ORDER BY created_at, rowid");
    s.bind(householdId);
    std::vector<Invitation> out;
    while (s.step())
        out.push_back(readInvitation(s));
    return out;
}

bool VaultStore::insertInvitation(const Invitation& i) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "INSERT INTO invitations (id, household_id, email, invited_by, created_at) "
                      "VALUES (?, ?, ?, ?, ?)");
    return s.bind(i.id).bind(i.householdId).bind(i.email).bind(i.invitedBy).bind(i.createdAt).run();
}

void VaultStore::acceptInvitation(const std::string& id, const std::string& accountId) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "UPDATE invitations SET accepted_by = ? WHERE id = ? AND accepted_by IS NULL");
    s.bind(accountId).bind(id).step();
}

bool VaultStore::deleteInvitation(const std::string& id) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "DELETE FROM invitations WHERE id = ? AND accepted_by IS NULL");
    s.bind(id).step();
    return sqlite3_changes(m_db) == 1;
}

namespace {

const char* const authSessionSelect =
    "SELECT id, account_id, created_at, expires_at, ended_at FROM auth_sessions ";

template <typename S> AuthSession readAuthSession(const S& s) {
    return AuthSession{s.text(0), s.text(1), s.integer(2), s.optionalInteger(3), s.optionalInteger(4)};
}

} // namespace

void VaultStore::createAuthSession(const AuthSession& session) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "INSERT INTO auth_sessions (id, account_id, created_at, expires_at, ended_at) "
                      "VALUES (?, ?, ?, ?, ?)");
    s.bind(session.id)
        .bind(session.accountId)
        .bind(session.createdAt)
        .bind(session.expiresAt)
        .bind(session.endedAt)
        .step();
}

std::optional<AuthSession> VaultStore::authSession(const std::string& id) {
    return firstRow(std::string(authSessionSelect) + "WHERE id = ?", id, readAuthSession<Statement>);
}

std::optional<AuthSession> VaultStore::authSessionForOpaqueToken(const std::string& tokenHash) {
    std::lock_guard lock(m_mutex);
    // The lookup is by a digest of the token, so the stored value never equals what a client
    // sends, and a timing difference in the index lookup reveals nothing usable.
    Statement s(m_db, std::string(authSessionSelect) + "WHERE opaque_token_hash = ?");
    s.bind(tokenHash);
    if (!s.step())
        return std::nullopt;
    return readAuthSession(s);
}

void VaultStore::endAuthSession(const std::string& id, std::int64_t now) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "UPDATE auth_sessions SET ended_at = ? WHERE id = ? AND ended_at IS NULL");
    s.bind(now).bind(id).step();
}

void VaultStore::endAccountSessions(const std::string& accountId, const std::string& keepSessionId,
                                    std::int64_t now) {
    std::lock_guard lock(m_mutex);
    Statement s(
        m_db, "UPDATE auth_sessions SET ended_at = ? WHERE account_id = ? AND id != ? AND ended_at IS NULL");
    s.bind(now).bind(accountId).bind(keepSessionId).step();
}

void VaultStore::addRefreshToken(const std::string& tokenHash, const std::string& sessionId,
                                 std::int64_t now) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db,
                "INSERT INTO refresh_tokens (token_hash, session_id, spent, created_at) VALUES (?, ?, 0, ?)");
    s.bind(tokenHash).bind(sessionId).bind(now).step();
}

std::optional<RefreshTokenRow> VaultStore::refreshToken(const std::string& tokenHash) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT session_id, spent, spent_at FROM refresh_tokens WHERE token_hash = ?");
    s.bind(tokenHash);
    if (!s.step())
        return std::nullopt;
    return RefreshTokenRow{s.text(0), s.integer(1) != 0, s.optionalInteger(2)};
}

bool VaultStore::spendRefreshToken(const std::string& tokenHash, std::int64_t now) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "UPDATE refresh_tokens SET spent = 1, spent_at = ? WHERE token_hash = ? AND spent = 0");
    s.bind(now).bind(tokenHash).step();
    return sqlite3_changes(m_db) == 1;
}

std::string VaultStore::registerDevice(const std::string& accountId, const std::string& name,
                                       const std::string& type, const std::string& appVersion,
                                       const std::string& now) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db,
                "INSERT INTO devices (id, account_id, device_name, device_type, app_version, created_at, "
                "updated_at) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT(account_id, device_name) DO UPDATE SET "
                "device_type = excluded.device_type, app_version = excluded.app_version, "
                "updated_at = excluded.updated_at");
    s.bind(crypto::randomUuid())
        .bind(accountId)
        .bind(name)
        .bind(type)
        .bind(appVersion)
        .bind(now)
        .bind(now)
        .step();
    Statement q(m_db, "SELECT id FROM devices WHERE account_id = ? AND device_name = ?");
    q.bind(accountId).bind(name);
    q.step();
    return q.text(0);
}

std::string VaultStore::bindSyncFolder(const std::string& accountId, const std::string& idOrName,
                                       const std::string& folderPath, const std::string& folderName,
                                       const std::string& now) {
    std::lock_guard lock(m_mutex);
    std::string id;
    {
        Statement q(m_db, "SELECT id FROM devices WHERE account_id = ? AND (id = ? OR device_name = ?)");
        q.bind(accountId).bind(idOrName).bind(idOrName);
        if (q.step())
            id = q.text(0);
    }
    if (id.empty())
        id = registerDevice(accountId, idOrName, "mac", "", now);
    Statement s(m_db, "UPDATE devices SET folder_path = ?, folder_name = ?, updated_at = ? WHERE id = ?");
    s.bind(folderPath).bind(folderName).bind(now).bind(id).step();
    return id;
}

std::vector<VaultStore::Device> VaultStore::devices(const std::string& accountId) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT id, device_name, device_type, folder_path, folder_name FROM devices "
                      "WHERE account_id = ? ORDER BY created_at");
    s.bind(accountId);
    std::vector<Device> out;
    while (s.step())
        out.push_back(Device{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4)});
    return out;
}

const std::vector<std::string>& VaultStore::fileColumns() {
    static const std::vector<std::string> columns = {
        "id",        "user_id",     "file_hash",   "original_filename", "file_path",  "file_size",
        "mime_type", "device_name", "device_type", "folder_path",       "created_at", "updated_at"};
    return columns;
}

// The WHERE clause of a REST query; filters bind in order after the user id.
std::string VaultStore::fileWhere(const FileQuery& query) const {
    const auto& columns = fileColumns();
    auto known = [&](const std::string& c) {
        return std::find(columns.begin(), columns.end(), c) != columns.end();
    };
    static const std::map<std::string, std::string> comparisons = {
        {"eq", "="}, {"neq", "<>"}, {"gt", ">"}, {"gte", ">="}, {"lt", "<"}, {"lte", "<="}};
    std::string sql = "WHERE user_id = ?";
    for (const auto& f : query.filters) {
        if (!known(f.column))
            throw StoreError("unknown column " + f.column);
        sql += " AND " + f.column;
        if (const auto it = comparisons.find(f.op); it != comparisons.end() && f.values.size() == 1)
            sql += " " + it->second + " ?";
        else if (f.op == "like" && f.values.size() == 1)
            sql += " GLOB ?"; // case-sensitive, as LIKE is in PostgreSQL
        else if (f.op == "ilike" && f.values.size() == 1)
            sql += " LIKE ? ESCAPE '\\'";
        else if (f.op == "in") {
            std::string marks;
            for (std::size_t i = 0; i < f.values.size(); ++i)
                marks += i ? ", ?" : "?";
            sql += f.values.empty() ? " IN (NULL)" : " IN (" + marks + ")"; // an empty list matches nothing
        } else if (f.op == "is" && f.values.size() == 1 && f.values[0] == "null")
            sql += " IS NULL";
        else
            throw StoreError("unsupported filter " + f.op + " on " + f.column);
    }
    return sql;
}

namespace {

// A PostgREST pattern ("*" or "%" any run, "_" any character) as a GLOB pattern, where
// everything else stands for itself.
std::string globPattern(const std::string& pattern) {
    std::string out;
    for (char c : pattern) {
        if (c == '*' || c == '%')
            out += '*';
        else if (c == '_')
            out += '?';
        else if (c == '?' || c == '[')
            out += std::string("[") + c + "]";
        else
            out += c;
    }
    return out;
}
// The same as a LIKE pattern with backslash as its escape.
std::string likePattern(const std::string& pattern) {
    std::string out;
    for (char c : pattern) {
        if (c == '*')
            out += '%';
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

} // namespace

template <typename S> void VaultStore::bindFileFilters(S& statement, const FileQuery& query) const {
    for (const auto& f : query.filters) {
        if (f.op == "is")
            continue;
        for (const auto& value : f.values) {
            if (f.op == "like")
                statement.bind(globPattern(value));
            else if (f.op == "ilike")
                statement.bind(likePattern(value));
            else if (f.column == "file_size") {
                char* end = nullptr;
                const long long number = std::strtoll(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0')
                    throw StoreError("file_size compares with whole numbers only");
                statement.bind(static_cast<std::int64_t>(number));
            } else {
                statement.bind(value);
            }
        }
    }
}

std::vector<FileRow> VaultStore::files(const std::string& userId, const FileQuery& query) {
    std::string sql = std::string(fileSelect) + fileWhere(query) + " ORDER BY ";
    const auto& columns = fileColumns();
    for (const auto& o : query.order) {
        if (std::find(columns.begin(), columns.end(), o.column) == columns.end())
            throw StoreError("unknown column " + o.column);
        // PostgreSQL's default: nulls sort as if larger than any value.
        const bool nullsFirst = o.nullsFirst.value_or(o.descending);
        sql +=
            o.column + (o.descending ? " DESC" : " ASC") + (nullsFirst ? " NULLS FIRST, " : " NULLS LAST, ");
    }
    sql += !query.order.empty() && query.order.front().descending ? "rowid DESC" : "rowid ASC";
    sql += " LIMIT ? OFFSET ?";
    std::lock_guard lock(m_mutex);
    Statement s(m_db, sql);
    s.bind(userId);
    bindFileFilters(s, query);
    s.bind(query.limit.value_or(-1)).bind(query.offset);
    std::vector<FileRow> rows;
    while (s.step())
        rows.push_back(readFile(s));
    return rows;
}

std::int64_t VaultStore::countFiles(const std::string& userId, const FileQuery& query) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT COUNT(*) FROM files " + fileWhere(query));
    s.bind(userId);
    bindFileFilters(s, query);
    s.step();
    return s.integer(0);
}

std::optional<FileRow> VaultStore::fileById(const std::string& id) {
    return firstRow(std::string(fileSelect) + "WHERE id = ?", id, readFile<Statement>);
}

std::optional<FileRow> VaultStore::fileByUserPath(const std::string& userId, const std::string& filePath) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, std::string(fileSelect) + "WHERE user_id = ? AND file_path = ?");
    s.bind(userId).bind(filePath);
    if (!s.step())
        return std::nullopt;
    return readFile(s);
}

std::optional<FileRow> VaultStore::fileByUserHash(const std::string& userId, const std::string& fileHash) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, std::string(fileSelect) + "WHERE user_id = ? AND file_hash = ? ORDER BY rowid LIMIT 1");
    s.bind(userId).bind(fileHash);
    if (!s.step())
        return std::nullopt;
    return readFile(s);
}

std::optional<VaultStore::Written> VaultStore::insertFile(FileRow row, OnConflict onConflict,
                                                          const std::string& now) {
    std::lock_guard lock(m_mutex);
    std::optional<Written> stored;
    transaction([&] {
        if (auto existing = fileByUserPath(row.userId, row.filePath)) {
            if (onConflict == OnConflict::Ignore)
                stored = Written{*existing, false};
            if (onConflict != OnConflict::Merge)
                return;
            Statement u(
                m_db, "UPDATE files SET file_hash = ?, original_filename = ?, file_size = ?, mime_type = ?, "
                      "device_name = ?, device_type = ?, folder_path = ?, updated_at = ? WHERE id = ?");
            u.bind(row.fileHash)
                .bind(row.originalFilename)
                .bind(row.fileSize)
                .bind(row.mimeType)
                .bind(row.deviceName)
                .bind(row.deviceType)
                .bind(row.folderPath)
                .bind(now)
                .bind(existing->id)
                .step();
            stored = Written{*fileById(existing->id), true};
            return;
        }
        row.id = crypto::randomUuid();
        row.createdAt = now;
        row.updatedAt = now;
        Statement s(m_db,
                    "INSERT INTO files (id, user_id, file_hash, original_filename, file_path, file_size, "
                    "mime_type, device_name, device_type, folder_path, created_at, updated_at) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        s.bind(row.id)
            .bind(row.userId)
            .bind(row.fileHash)
            .bind(row.originalFilename)
            .bind(row.filePath)
            .bind(row.fileSize)
            .bind(row.mimeType)
            .bind(row.deviceName)
            .bind(row.deviceType)
            .bind(row.folderPath)
            .bind(row.createdAt)
            .bind(row.updatedAt)
            .step();
        stored = Written{row, true};
    });
    return stored;
}

namespace {

template <typename S> ObjectRow readObject(const S& s) {
    return ObjectRow{s.text(0), s.text(1), s.text(2), s.integer(3), s.text(4), s.text(5)};
}

} // namespace

std::optional<ObjectRow> VaultStore::object(const std::string& path) {
    return firstRow(std::string(objectSelect) + "WHERE path = ?", path, readObject<Statement>);
}

std::vector<ObjectRow> VaultStore::objectsUnder(const std::string& userId, const std::string& prefix) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, std::string(objectSelect) +
                          "WHERE user_id = ? AND substr(path, 1, length(?2)) = ?2 ORDER BY path");
    s.bind(userId).bind(prefix);
    std::vector<ObjectRow> out;
    while (s.step())
        out.push_back(readObject(s));
    return out;
}

bool VaultStore::insertObject(const ObjectRow& row, const std::string& now) {
    std::lock_guard lock(m_mutex);
    Statement s(
        m_db,
        "INSERT INTO objects (path, user_id, sha256, size, mime_type, created_at) VALUES (?, ?, ?, ?, ?, ?)");
    return s.bind(row.path)
        .bind(row.userId)
        .bind(row.sha256)
        .bind(row.size)
        .bind(row.mimeType)
        .bind(now)
        .run();
}

void VaultStore::upsertObject(const ObjectRow& row, const std::string& now) {
    std::lock_guard lock(m_mutex);
    Statement s(
        m_db,
        "INSERT INTO objects (path, user_id, sha256, size, mime_type, created_at) VALUES (?, ?, ?, ?, ?, ?) "
        "ON CONFLICT(path) DO UPDATE SET sha256 = excluded.sha256, size = excluded.size, "
        "mime_type = excluded.mime_type");
    s.bind(row.path).bind(row.userId).bind(row.sha256).bind(row.size).bind(row.mimeType).bind(now).step();
}

std::vector<std::string> VaultStore::referencedContent() {
    std::lock_guard lock(m_mutex);
    // Every ticket the sweep has left holds on to its content, even one past its time: it goes
    // in the sweep's own transaction, before its blob is let go.
    Statement s(m_db,
                "SELECT sha256 FROM objects UNION SELECT file_hash FROM uploads WHERE state IN (0, 1, 2)");
    std::vector<std::string> out;
    while (s.step())
        out.push_back(s.text(0));
    return out;
}

std::optional<ObjectRow> VaultStore::householdObjectWithContent(const std::string& householdId,
                                                                const std::string& sha256) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT o.path, o.user_id, o.sha256, o.size, o.mime_type, o.created_at FROM objects o "
                      "JOIN accounts a ON a.id = o.user_id WHERE a.household_id = ? AND o.sha256 = ? "
                      "ORDER BY o.rowid LIMIT 1");
    s.bind(householdId).bind(sha256);
    if (!s.step())
        return std::nullopt;
    return readObject(s);
}

std::int64_t VaultStore::householdUsage(const std::string& householdId, std::int64_t now,
                                        const std::string& joiningAccountId) {
    std::lock_guard lock(m_mutex);
    // What the members keep is maintained as it changes; added to it is whatever the tickets and
    // the joining account's objects hold that the household does not keep already.
    Statement s(m_db, "SELECT COALESCE((SELECT kept_bytes FROM households WHERE id = ?1), 0) + "
                      "COALESCE((SELECT SUM(size) FROM (SELECT sha256, size FROM objects WHERE user_id = ?2 "
                      "UNION " +
                          liveTickets() +
                          ") AS extra WHERE NOT EXISTS (SELECT 1 FROM household_content c WHERE "
                          "c.household_id = ?1 AND c.sha256 = extra.sha256 AND c.size = extra.size)), 0)");
    s.bind(householdId).bind(joiningAccountId).bind(now);
    s.step();
    return s.integer(0);
}

// Whether kept or reserved content of the household matches `filter` (over sha256 and size,
// binding from ?4 on).
bool VaultStore::householdCountsWhere(const std::string& householdId, std::int64_t now, const char* filter,
                                      const std::function<void(Statement&)>& bindFilter) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, std::string("SELECT 1 FROM household_content WHERE household_id = ?1 AND ") + filter +
                          " UNION ALL SELECT 1 FROM (" + liveTickets() + ") WHERE " + filter + " LIMIT 1");
    s.bind(householdId).bind("").bind(now);
    bindFilter(s);
    return s.step();
}

bool VaultStore::householdCounts(const std::string& householdId, const std::string& sha256,
                                 std::int64_t now) {
    return householdCountsWhere(householdId, now, "sha256 = ?4", [&](Statement& s) { s.bind(sha256); });
}

bool VaultStore::householdCountsSize(const std::string& householdId, std::int64_t size, std::int64_t now) {
    return householdCountsWhere(householdId, now, "size = ?4", [&](Statement& s) { s.bind(size); });
}

std::int64_t VaultStore::objectCount() {
    std::lock_guard lock(m_mutex);
    Statement s(m_db, "SELECT COUNT(*) FROM objects");
    s.step();
    return s.integer(0);
}

void VaultStore::createUpload(const UploadTicket& t, const std::string& now) {
    std::lock_guard lock(m_mutex);
    Statement s(
        m_db,
        "INSERT INTO uploads (id, account_id, storage_key, file_hash, file_size, mime_type, expires_at, "
        "state, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind(t.id)
        .bind(t.accountId)
        .bind(t.storageKey)
        .bind(t.fileHash)
        .bind(t.fileSize)
        .bind(t.mimeType)
        .bind(t.expiresAt)
        .bind(static_cast<int>(t.state))
        .bind(now)
        .step();
}

std::optional<UploadTicket> VaultStore::upload(const std::string& id) {
    return firstRow(std::string(uploadSelect) + "WHERE id = ?", id, readUpload<Statement>);
}

std::optional<UploadTicket> VaultStore::uploadByKey(const std::string& accountId,
                                                    const std::string& storageKey,
                                                    UploadTicket::State state) {
    std::lock_guard lock(m_mutex);
    Statement s(m_db,
                std::string(uploadSelect) +
                    "WHERE account_id = ? AND storage_key = ? AND state = ? ORDER BY rowid DESC LIMIT 1");
    s.bind(accountId).bind(storageKey).bind(static_cast<int>(state));
    if (!s.step())
        return std::nullopt;
    return readUpload(s);
}

bool VaultStore::transitionUpload(const std::string& id, UploadTicket::State from, UploadTicket::State to,
                                  std::optional<std::int64_t> expiresAt) {
    std::lock_guard lock(m_mutex);
    Statement s(
        m_db,
        "UPDATE uploads SET state = ?, expires_at = COALESCE(?, expires_at) WHERE id = ? AND state = ?");
    s.bind(static_cast<int>(to)).bind(expiresAt).bind(id).bind(static_cast<int>(from)).step();
    return sqlite3_changes(m_db) == 1;
}

SweepReport VaultStore::sweepRows(std::int64_t now, std::int64_t grace, bool atStartup) {
    std::lock_guard lock(m_mutex);
    SweepReport report;
    transaction([&] {
        if (atStartup)
            exec("UPDATE uploads SET state = 4 WHERE state = 1");
        Statement t(m_db,
                    "DELETE FROM uploads WHERE state IN (3, 4) OR (state IN (0, 2) AND expires_at <= ?)");
        t.bind(now).step();
        report.uploadTickets = static_cast<std::size_t>(sqlite3_changes(m_db));
        // A session that ended or expired a while ago: its access tokens are refused for their
        // expiry, or as signed out when the session is gone, the same answer as before.
        const std::string dead =
            "SELECT id FROM auth_sessions WHERE (expires_at IS NOT NULL AND expires_at <= ?1) "
            "OR (ended_at IS NOT NULL AND ended_at <= ?1)";
        Statement r(m_db, "DELETE FROM refresh_tokens WHERE session_id IN (" + dead + ")");
        r.bind(now - grace).step();
        report.refreshTokens = static_cast<std::size_t>(sqlite3_changes(m_db));
        Statement a(m_db, "DELETE FROM auth_sessions WHERE id IN (" + dead + ")");
        a.bind(now - grace).step();
        report.sessions = static_cast<std::size_t>(sqlite3_changes(m_db));
    });
    return report;
}

} // namespace vault
