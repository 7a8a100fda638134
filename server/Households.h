#pragma once

#include "VaultStore.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vault {

// Who belongs to which household, and how that changes: the owner invites an e-mail address
// (an account registered with it later joins at once; an existing account joins on its own
// request), and removes members, who may also leave. Nothing is lost on the way: an account
// takes its files, objects and devices along, and its content counts against the quota of the
// household it is in. Used by the backend's routes and the command line; knows nothing of HTTP.
class Households {
public:
    Households(VaultStore& store, std::function<std::string()> timestamp);

    struct Result {
        enum class Status { Ok, Created, NotOwner, Invalid, NotFound, Conflict, OverQuota };
        Status status = Status::Ok;
        std::string message; // for the person asking: what happened or what to do instead
        std::optional<Invitation> invitation;
        std::optional<Household> household;
        bool ok() const { return status == Status::Ok || status == Status::Created; }
    };

    // Asks `email` into the inviter's household; inviting an address already invited there
    // again gives that invitation back.
    Result invite(const Account& inviter, const std::string& email);
    Result revoke(const Account& owner, const std::string& invitationId);
    // Moves the account into the household that invited its address, when its own household
    // has nobody else and the content of both fits the quota together.
    Result join(const Account& account, std::int64_t quotaBytes, std::int64_t now);
    // The owner removes a member, or a member leaves; either way the member gets a household of
    // their own again, with everything they had.
    Result removeMember(const Account& caller, const std::string& memberId);

    bool isOwner(const Account& account);

private:
    Result refuse(Result::Status status, std::string message) const;

    VaultStore& m_store;
    std::function<std::string()> m_timestamp;
};

} // namespace vault
