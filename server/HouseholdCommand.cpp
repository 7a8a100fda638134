#include "HouseholdCommand.h"

#include "Households.h"
#include "VaultStore.h"

#include <chrono>
#include <iostream>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace vault {

const char* const householdCommandUsage =
    "       orlavant-vault invite [--data DIR] [--into MEMBER_EMAIL] EMAIL\n"
    "       orlavant-vault invitations [--data DIR]\n"
    "       orlavant-vault revoke [--data DIR] EMAIL\n"
    "Households, for the person running the vault (also while it runs):\n"
    "  invite       asks EMAIL into a household: signing up with that address (in the app or\n"
    "               on the web pages) joins it, and an existing account joins from the Admin page.\n"
    "               With several households, --into names any member of the one meant.\n"
    "  invitations  lists the pending invitations of every household.\n"
    "  revoke       withdraws the pending invitation of EMAIL.\n";

namespace {

std::string now() {
    return formatTimestamp(std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count());
}

int fail(const std::string& message) {
    std::cerr << "orlavant-vault: " << message << "\n";
    return 1;
}

// The household an invitation from the command line is for: the one `into` belongs to, or the
// only one there is.
std::optional<Household> chooseHousehold(VaultStore& store, const std::optional<std::string>& into,
                                         std::string& error) {
    if (into) {
        const auto member = store.accountByEmail(*into);
        if (!member) {
            error = "no account has the address " + *into;
            return std::nullopt;
        }
        return store.household(member->householdId);
    }
    const auto all = store.households();
    if (all.size() == 1)
        return all.front();
    if (all.empty()) {
        error = "the vault has no household yet: sign up first, then invite the family";
        return std::nullopt;
    }
    error = "the vault has " + std::to_string(all.size()) +
            " households; name one with --into and the address of one of its members:";
    for (const auto& h : all) {
        const auto members = store.householdMembers(h.id);
        error += "\n  " + h.name + ": " + (members.empty() ? std::string("(nobody)") : members.front().email);
    }
    return std::nullopt;
}

} // namespace

bool isHouseholdCommand(const std::string& word) {
    return word == "invite" || word == "invitations" || word == "revoke";
}

int runHouseholdCommand(int argc, char** argv, const fs::path& defaultDataDir) {
    const std::string command = argv[1];
    fs::path dataDir = defaultDataDir;
    std::optional<std::string> into;
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc) {
            dataDir = argv[++i];
        } else if (arg == "--into" && i + 1 < argc) {
            into = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << "orlavant-vault " << command << ": unknown option " << arg << "\n"
                      << householdCommandUsage;
            return 2;
        } else {
            words.push_back(arg);
        }
    }
    const std::size_t wanted = command == "invitations" ? 0 : 1;
    if (words.size() != wanted) {
        std::cerr << "orlavant-vault " << command
                  << (wanted ? " takes one e-mail address\n" : " takes no address\n")
                  << householdCommandUsage;
        return 2;
    }
    // Never a new, empty vault by mistake: the folder must hold one already.
    std::error_code error;
    if (!fs::is_regular_file(dataDir / "vault.sqlite3", error))
        return fail("no vault in " + dataDir.string() + " (start orlavant-vault on it once, or pass --data)");

    try {
        VaultStore store(dataDir / "vault.sqlite3");
        Households households(store, now);
        if (command == "invitations") {
            std::size_t count = 0;
            for (const auto& h : store.households()) {
                for (const auto& i : store.pendingInvitations(h.id)) {
                    std::cout << i.email << "\t" << h.name << "\tinvited " << i.createdAt << "\n";
                    ++count;
                }
            }
            if (count == 0)
                std::cout << "No pending invitations.\n";
            return 0;
        }
        const std::string email = words.front();
        if (command == "revoke") {
            const auto pending = store.pendingInvitationFor(email);
            const auto household = pending ? store.household(pending->householdId) : std::nullopt;
            const auto owner = household ? store.accountById(household->ownerId) : std::nullopt;
            if (!owner)
                return fail("there is no pending invitation for " + email);
            const auto result = households.revoke(*owner, pending->id);
            if (!result.ok())
                return fail(result.message);
            std::cout << result.message << "\n";
            return 0;
        }
        std::string why;
        const auto household = chooseHousehold(store, into, why);
        if (!household)
            return fail(why);
        const auto owner = store.accountById(household->ownerId);
        if (!owner)
            return fail(household->name + " has no owner to invite on behalf of");
        const auto result = households.invite(*owner, email);
        if (!result.ok())
            return fail(result.message);
        std::cout << result.message << "\n";
        return 0;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

} // namespace vault
