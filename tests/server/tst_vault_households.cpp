// Households: the owner invites an address, which joins by registering on either side or, as an
// existing account, on its own request; deduplication and the quota then span every member.
// Joining and leaving lose nothing. And every way of getting it wrong, refused in words.

#include "VaultTestHarness.h"

#include <sqlite3.h>

namespace fs = std::filesystem;

namespace {

const std::string invitations = "/api/households/invitations", join = "/api/households/join",
                  members = "/api/households/members/", current = "/api/households/current";

Reply invite(VaultFixture& vault, const std::string& token, const std::string& email) {
    return vault.request("POST", invitations, bearer(token), json{{"email", email}}.dump());
}
VaultFixture::User registerOnBackend(VaultFixture& vault, const std::string& email) {
    return VaultFixture::user(
        vault.request("POST", "/api/auth/register", none,
                      with(json::parse(credentials(email)), "household_name", "Mine").dump()));
}
std::string householdOf(VaultFixture& vault, const std::string& userId) {
    const auto account = vault.store().accountById(userId);
    return account ? account->householdId : "";
}
// Two accounts, one household: invited addresses join by registering on either side, and the
// second member's upload of content the first already stored is deduplicated.
void invitationsEndToEnd() {
    VaultFixture vault;
    const auto ann = vault.signUp("ann@family.org");
    const std::string family = householdOf(vault, ann.id);
    expect(invite(vault, ann.token, "Ben@Family.org").status == 201, "the owner invites an address");
    invite(vault, ann.token, "cat@family.org");
    expect(vault.request("GET", invitations, bearer(ann.token)).body["invitations"].size() == 2,
           "the invitations are listed");

    // Registration on the backend (whatever household it names) and sign-up on the hosted side
    // both join; the address matches whatever its case.
    const auto ben = registerOnBackend(vault, "ben@family.org");
    const auto cat = vault.signUp("cat@family.org");
    expect(householdOf(vault, ben.id) == family && householdOf(vault, cat.id) == family,
           "invited addresses join the household when they register, on either side");
    const Reply page = vault.request("GET", current, bearer(cat.token));
    expect(page.status == 200 && page.body.value("role", "") == "member" &&
               page.body["household"]["members"].size() == 3 &&
               page.body["household"]["members"][0].value("role", "") == "owner",
           "the household page shows the members, the owner first", page);
    expect(vault.request("GET", invitations, bearer(ann.token)).body["invitations"].empty(),
           "accepted invitations are no longer pending");

    // Deduplication across the household, as the product promises.
    const std::string photo = "the family photo";
    upload(vault, ann.token, photo, "Ann's Laptop");
    const Reply second = upload(vault, ben.token, photo, "Ben's Desktop").pre;
    expect(second.body.value("deduplicated", false) && fileCount(vault, ben.id) == 1,
           "Ben's upload of the same content is deduplicated, and his file is listed", second);
    expect(vault.store().householdUsage(family, vault.nowSeconds()) ==
               static_cast<std::int64_t>(photo.size()),
           "the household's usage counts the content once");
}

// An existing account joins on its own request: its files, objects and devices come along and
// count against the new household's quota (content both hold counts once); its old household,
// now empty, goes. Leaving later takes everything along again.
void existingAccountJoinsAndLeaves() {
    VaultFixture vault(100);
    const auto ann = vault.signUp("ann@family.org");
    const auto dan = vault.signUp("dan@family.org");
    const auto kim = vault.signUp("kim@family.org");
    const std::string family = householdOf(vault, ann.id), dansOwn = householdOf(vault, dan.id);
    const std::string shared(60, 's'), dans(30, 'd'), kims(50, 'k');
    upload(vault, ann.token, shared, "Ann's Laptop");
    upload(vault, dan.token, shared, "Dan's Laptop");
    upload(vault, dan.token, dans, "Dan's Laptop");
    upload(vault, kim.token, kims, "Kim's Laptop");

    invite(vault, ann.token, "dan@family.org");
    const Reply joined = vault.request("POST", join, bearer(dan.token));
    expect(joined.status == 200 && joined.body["user"].value("household_id", "") == family &&
               joined.body["household"].value("used_bytes", 0) == 90,
           "an existing account joins; shared content counts once (60 + 30)", joined);
    expect(fileCount(vault, dan.id) == 2 && !vault.store().household(dansOwn),
           "its files come along, and its emptied household goes");
    expect(upload(vault, ann.token, dans, "Ann's Laptop").pre.body.value("deduplicated", false),
           "the owner's upload of the joiner's content is deduplicated");

    invite(vault, ann.token, "kim@family.org");
    const Reply full = vault.request("POST", join, bearer(kim.token));
    expect(full.status == 402 && full.message().find("raise") != npos && householdOf(vault, kim.id) != family,
           "a join that would pass the quota is refused, and nothing moves", full);

    const Reply left = vault.request("DELETE", members + dan.id, bearer(dan.token));
    expect(left.status == 200 && householdOf(vault, dan.id) != family && fileCount(vault, dan.id) == 2 &&
               left.body["user"].value("household_role", "") == "owner",
           "a member leaves with every file, as the owner of a household of their own", left);
}

// Runs statements on the vault's database as another program would: the first column of the
// last row they return (0 when none), or -1 when they fail.
std::int64_t sql(VaultFixture& vault, const std::string& statements) {
    sqlite3* db = nullptr;
    sqlite3_open((vault.dir / "data/vault.sqlite3").c_str(), &db);
    std::int64_t last = 0;
    const auto row = [](void* out, int, char** values, char**) {
        *static_cast<std::int64_t*>(out) = values[0] ? std::atoll(values[0]) : 0;
        return 0;
    };
    const bool ran = sqlite3_exec(db, statements.c_str(), row, &last, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ran ? last : -1;
}
// The household's usage as it was summed before it was kept up to date: every distinct content
// its members' objects and live tickets hold.
std::int64_t recounted(VaultFixture& vault, const std::string& household) {
    const std::string h = "'" + household + "'", now = std::to_string(vault.nowSeconds());
    return sql(vault,
               "SELECT COALESCE(SUM(size), 0) FROM (SELECT o.sha256, o.size FROM objects o JOIN accounts a "
               "ON a.id = o.user_id WHERE a.household_id = " +
                   h +
                   " UNION SELECT u.file_hash, u.file_size "
                   "FROM uploads u JOIN accounts a ON a.id = u.account_id WHERE a.household_id = " +
                   h + " AND (u.state = 1 OR (u.state IN (0, 2) AND u.expires_at > " + now + ")))");
}
void expectUsageAsRecounted(VaultFixture& vault, const std::string& when) {
    bool agree = true;
    for (const auto& h : vault.store().households())
        agree = agree && vault.store().householdUsage(h.id, vault.nowSeconds()) == recounted(vault, h.id);
    expect(agree, "every household's usage agrees with a recount " + when);
}

// The usage is kept as objects come, change and go and as accounts move, not summed on each
// upload: it must agree with a full recount after everything that changes any of them.
void usageAgreesWithARecount() {
    VaultFixture vault(1000);
    const auto ann = vault.signUp("ann@family.org"), dan = vault.signUp("dan@family.org");
    const std::string a(100, 'a'), b(20, 'b'), c(30, 'c'), d(40, 'd'), e(50, 'e');
    upload(vault, ann.token, a, "Ann's Laptop");
    upload(vault, ann.token, a, "Ann's Desktop");
    upload(vault, dan.token, a, "Dan's Laptop");
    upload(vault, dan.token, b, "Dan's Laptop");
    preUpload(vault, dan.token, c, "Dan's Laptop");
    auto storage = [&](const std::string& name, const std::string& bytes, bool upsert) {
        auto headers = hosted(dan.token);
        if (upsert)
            headers.emplace("x-upsert", "true");
        vault.request("POST", "/storage/v1/object/orlavant-files/" + dan.id + "/" + name, headers, bytes);
    };
    storage("d.bin", d, false);
    storage("d2.bin", d, false);
    storage("d2.bin", e, true); // other content replaces one copy of d
    storage("d.bin", e, true);  // and then its last
    expectUsageAsRecounted(vault, "after uploads, deduplications and replacements");

    const std::string family = householdOf(vault, ann.id);
    invite(vault, ann.token, "dan@family.org");
    vault.request("POST", join, bearer(dan.token));
    expect(householdOf(vault, dan.id) == family, "Dan joins");
    expectUsageAsRecounted(vault, "after a join");
    vault.request("DELETE", members + dan.id, bearer(ann.token));
    expectUsageAsRecounted(vault, "after a member left");

    vault.advanceSeconds(15 * 60);
    vault.sweep();
    expectUsageAsRecounted(vault, "after tickets expired and were swept");
    vault.restart([&] {
        sql(vault, "DELETE FROM objects WHERE rowid IN (SELECT min(rowid) FROM objects GROUP BY sha256)");
    });
    expectUsageAsRecounted(vault, "after objects were removed");
}

// Everything that cannot be done is refused with a message, and changes nothing.
void badInput() {
    VaultFixture vault;
    const auto ann = vault.signUp("ann@family.org");
    invite(vault, ann.token, "ben@family.org");
    const auto ben = vault.signUp("ben@family.org");
    const auto fay = vault.signUp("fay@other.org");
    const auto lone = vault.signUp("lone@example.org");
    // Ivy owns a household with a member, then is invited by Ann.
    const auto ivy = vault.signUp("ivy@example.org");
    invite(vault, ann.token, "ivy@example.org");
    invite(vault, ivy.token, "joe@example.org");
    vault.signUp("joe@example.org");
    invite(vault, ann.token, "pat@example.org");
    const std::string patInvitation = vault.store().pendingInvitationFor("pat@example.org")->id;

    const auto A = bearer(ann.token), B = bearer(ben.token);
    run(vault,
        {
            {"a member who is not the owner invites", "POST", invitations, B, R"({"email":"x@example.org"})",
             403, "owner"},
            {"the owner revokes their own membership", "DELETE", members + ann.id, A, "", 409,
             "owner cannot leave"},
            {"removing someone of another household", "DELETE", members + fay.id, A, "", 404},
            {"joining without an invitation", "POST", join, bearer(lone.token), "", 404,
             "ask the household's owner"},
            {"joining while owning a household with members", "POST", join, bearer(ivy.token), "", 409,
             "remove them"},
            {"the owner revokes an invitation", "DELETE", invitations + "/" + patInvitation, A, "", 200},
        });
    const auto pat = vault.signUp("pat@example.org");
    expect(householdOf(vault, pat.id) != householdOf(vault, ann.id),
           "a revoked invitation no longer decides where its address registers");
    expect(vault.store().householdMembers(householdOf(vault, ann.id)).size() == 2,
           "the refusals changed no household");
}

// A data folder of a version before households had owners, refresh tokens a time of spending
// and usage a kept total: brought forward on start, its only member owns each household, and
// what it stored counts.
void earlierDataFolders() {
    VaultFixture vault(100);
    const auto ann = vault.signUp("ann@family.org");
    const std::string photo(60, 'p');
    upload(vault, ann.token, photo, "Ann's Laptop");
    const Reply signedIn = vault.request("POST", "/auth/v1/token?grant_type=password", hosted(anonKey),
                                         credentials("ann@family.org"));
    vault.restart([&] {
        expect(sql(vault,
                   "ALTER TABLE households DROP COLUMN owner_id; ALTER TABLE refresh_tokens DROP COLUMN "
                   "spent_at; DROP TABLE invitations; DROP TABLE household_content; DROP TRIGGER "
                   "object_kept; DROP TRIGGER object_dropped; DROP TRIGGER object_changed; DROP TRIGGER "
                   "account_moved; DROP INDEX uploads_open; ALTER TABLE households DROP COLUMN "
                   "kept_bytes;") == 0,
               "the earlier schema");
    });
    expect(invite(vault, ann.token, "ben@family.org").status == 201, "the only member owns the household");
    const Reply refreshed =
        vault.request("POST", "/auth/v1/token?grant_type=refresh_token", hosted(anonKey),
                      json{{"refresh_token", signedIn.body.value("refresh_token", "")}}.dump());
    expect(refreshed.status == 200, "an earlier session still refreshes", refreshed);
    expect(vault.store().householdUsage(householdOf(vault, ann.id), vault.nowSeconds()) == 60 &&
               upload(vault, ann.token, std::string(41, 'q'), "Ann's Laptop").pre.status == 402,
           "what the household stored before counts against its quota");
}

} // namespace

int main() {
    return runAll({invitationsEndToEnd, existingAccountJoinsAndLeaves, badInput, usageAgreesWithARecount,
                   earlierDataFolders});
}
