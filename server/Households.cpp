#include "Households.h"

#include "VaultCrypto.h"

namespace vault {

using Status = Households::Result::Status;

Households::Households(VaultStore& store, std::function<std::string()> timestamp)
    : m_store(store)
    , m_timestamp(std::move(timestamp)) {}

Households::Result Households::refuse(Result::Status status, std::string message) const {
    Result result;
    result.status = status;
    result.message = std::move(message);
    return result;
}

bool Households::isOwner(const Account& account) {
    const auto household = m_store.household(account.householdId);
    return household && household->ownerId == account.id;
}

Households::Result Households::invite(const Account& inviter, const std::string& email) {
    if (!isValidEmail(email))
        return refuse(Status::Invalid, "\"" + email + "\" is not an e-mail address");
    Result result;
    m_store.transaction([&] {
        const auto household = m_store.household(inviter.householdId);
        if (!household || household->ownerId != inviter.id) {
            result = refuse(Status::NotOwner, "Only the household's owner can invite family members");
            return;
        }
        if (const auto invitee = m_store.accountByEmail(email)) {
            if (invitee->householdId == household->id) {
                result = refuse(Status::Conflict, email + " is already a member of " + household->name);
                return;
            }
            // Someone who shares a household already would have to leave it first; an account
            // alone in its own may join and bring its files.
            if (m_store.householdMembers(invitee->householdId).size() > 1) {
                result =
                    refuse(Status::Conflict, email + " already belongs to another household; they can be "
                                                     "invited once they have left it");
                return;
            }
        }
        if (const auto pending = m_store.pendingInvitationFor(email)) {
            if (pending->householdId != household->id) {
                result = refuse(Status::Conflict, email + " is already invited to another household");
                return;
            }
            result.status = Status::Ok;
            result.message = email + " is invited already";
            result.invitation = pending;
            return;
        }
        Invitation invitation{crypto::randomUuid(), household->id, email, inviter.id, m_timestamp(), {}};
        if (!m_store.insertInvitation(invitation)) {
            result = refuse(Status::Conflict, email + " is already invited to another household");
            return;
        }
        result.status = Status::Created;
        result.message = email + " is invited to " + household->name +
                         ": signing up with this address joins the household, and an existing account "
                         "joins from its Admin page";
        result.invitation = invitation;
        result.household = household;
    });
    return result;
}

Households::Result Households::revoke(const Account& owner, const std::string& invitationId) {
    Result result;
    m_store.transaction([&] {
        if (!isOwner(owner)) {
            result = refuse(Status::NotOwner, "Only the household's owner can revoke invitations");
            return;
        }
        const auto invitation = m_store.invitation(invitationId);
        if (!invitation || invitation->householdId != owner.householdId || invitation->acceptedBy ||
            !m_store.deleteInvitation(invitationId)) {
            result = refuse(Status::NotFound, "Your household has no pending invitation " + invitationId);
            return;
        }
        result.message = "The invitation of " + invitation->email + " is revoked";
        result.invitation = invitation;
    });
    return result;
}

Households::Result Households::join(const Account& account, std::int64_t quotaBytes, std::int64_t now) {
    Result result;
    m_store.transaction([&] {
        const auto current = m_store.household(account.householdId);
        const auto invitation = m_store.pendingInvitationFor(account.email);
        if (!invitation) {
            const auto accepted = m_store.acceptedInvitationOf(account.id);
            if (accepted && accepted->householdId == account.householdId)
                result = refuse(Status::Conflict,
                                "You have already joined " + (current ? current->name : "this household"));
            else
                result = refuse(Status::NotFound, "There is no invitation for " + account.email +
                                                      "; ask the household's owner to invite this address");
            return;
        }
        const auto target = m_store.household(invitation->householdId);
        if (!target || invitation->householdId == account.householdId) {
            m_store.acceptInvitation(invitation->id, account.id);
            result = refuse(Status::Conflict, "You are already a member of " + (target ? target->name : ""));
            return;
        }
        if (current && m_store.householdMembers(current->id).size() > 1) {
            result = refuse(
                Status::Conflict,
                current->ownerId == account.id
                    ? "You own " + current->name +
                          ", which has other members: remove them before joining another household"
                    : "You belong to " + current->name + ": leave it before joining another household");
            return;
        }
        // Content both hold counts once; the files themselves move along with the account.
        const std::int64_t combined = m_store.householdUsage(target->id, now, account.id);
        if (combined > quotaBytes) {
            result = refuse(Status::OverQuota,
                            "Joining would put " + target->name + " at " + std::to_string(combined) +
                                " of its " + std::to_string(quotaBytes) +
                                " bytes. Ask the person running the vault to raise the household quota.");
            return;
        }
        m_store.moveAccount(account.id, target->id);
        m_store.acceptInvitation(invitation->id, account.id);
        result.message = "You joined " + target->name + "; your files came along";
        result.household = target;
        result.invitation = invitation;
    });
    return result;
}

Households::Result Households::removeMember(const Account& caller, const std::string& memberId) {
    Result result;
    m_store.transaction([&] {
        const auto household = m_store.household(caller.householdId);
        const auto member = m_store.accountById(memberId);
        if (!household || !member || member->householdId != household->id) {
            result = refuse(Status::NotFound, "Your household has no member " + memberId);
            return;
        }
        if (member->id == household->ownerId) {
            result = refuse(Status::Conflict, "The owner cannot leave their own household");
            return;
        }
        if (caller.id != household->ownerId && caller.id != member->id) {
            result = refuse(Status::NotOwner, "Only the household's owner can remove other members");
            return;
        }
        result.household = m_store.createHousehold(member->id, member->fullName + "'s Family Vault",
                                                   household->planId, m_timestamp());
        result.message = member->email + " left " + household->name + " with all of their files";
    });
    return result;
}

} // namespace vault
