// The backend's household routes: who is in the caller's household, invitations by its owner,
// joining on an invitation, and leaving or removing a member.

#include "VaultServerImpl.h"

namespace vault {

namespace {

using Req = http::Request;
using Res = http::Response;
using Reader = http::BodyReader;

int statusOf(Households::Result::Status status) {
    using Status = Households::Result::Status;
    switch (status) {
    case Status::Ok:
        return 200;
    case Status::Created:
        return 201;
    case Status::NotOwner:
        return 403;
    case Status::Invalid:
        return 400;
    case Status::NotFound:
        return 404;
    case Status::Conflict:
        return 409;
    case Status::OverQuota:
        return 402;
    }
    return 500;
}

json invitationJson(const Invitation& i) {
    return {{"id", i.id},
            {"household_id", i.householdId},
            {"email", i.email},
            {"invited_by", i.invitedBy},
            {"created_at", i.createdAt},
            {"status", i.acceptedBy ? "accepted" : "pending"}};
}

} // namespace

void VaultServer::Impl::installHouseholds() {
    auto householdJson = [this](const Household& h) {
        json members = json::array();
        for (const auto& m : store.householdMembers(h.id))
            members.push_back({{"id", m.id},
                               {"email", m.email},
                               {"full_name", m.fullName},
                               {"role", m.id == h.ownerId ? "owner" : "member"}});
        return json{{"id", h.id},
                    {"name", h.name},
                    {"plan_id", h.planId},
                    {"owner_id", h.ownerId},
                    {"members", members},
                    {"used_bytes", store.householdUsage(h.id, nowSeconds())},
                    {"quota_bytes", config.quotaBytes}};
    };
    auto reply = [=, this](Res& res, const Households::Result& result, const Account& caller) {
        if (!result.ok()) {
            sendMessage(res, statusOf(result.status), result.message);
            return;
        }
        json body = {{"message", result.message}};
        if (result.invitation)
            body["invitation"] = invitationJson(*result.invitation);
        // The caller's household as it is now, for the page to show.
        const auto account = store.accountById(caller.id);
        if (const auto household = account ? store.household(account->householdId) : std::nullopt)
            body["household"] = householdJson(*household);
        if (account)
            body["user"] = userJson(*account, store);
        sendJson(res, statusOf(result.status), body);
    };

    // The caller's household, its members and quota, and an invitation waiting for the caller.
    get("/api/households/current", [=, this](const Req& req, Res& res) {
        const auto account = backendCaller(req, res);
        if (!account)
            return;
        const auto household = store.household(account->householdId);
        if (!household) {
            sendMessage(res, 404, "Your account has no household");
            return;
        }
        json body = {{"household", householdJson(*household)},
                     {"user_id", account->id},
                     {"role", household->ownerId == account->id ? "owner" : "member"},
                     {"invitation", nullptr}};
        if (const auto waiting = store.pendingInvitationFor(account->email)) {
            body["invitation"] = invitationJson(*waiting);
            body["invitation"]["household_name"] = store.householdName(waiting->householdId);
        }
        sendJson(res, 200, body);
    });

    get("/api/households/invitations", [=, this](const Req& req, Res& res) {
        const auto account = backendCaller(req, res);
        if (!account)
            return;
        json list = json::array();
        for (const auto& i : store.pendingInvitations(account->householdId))
            list.push_back(invitationJson(i));
        sendJson(res, 200, {{"invitations", list}});
    });

    post("/api/households/invitations", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = backendCaller(req, res);
        if (!account)
            return;
        const auto body = readBackendObject(req, reader, res);
        if (!body)
            return;
        const auto email = stringMember(*body, "email");
        if (!email || email->empty()) {
            sendMessage(res, 400, "\"email\" must be the e-mail address to invite");
            return;
        }
        reply(res, households.invite(*account, *email), *account);
    });

    del("/api/households/invitations/([^/]+)", [=, this](const Req& req, Res& res) {
        const auto account = backendCaller(req, res);
        if (account)
            reply(res, households.revoke(*account, req.matches[1]), *account);
    });

    // An existing account accepts the invitation of its address; no body is needed.
    post("/api/households/join", [=, this](const Req& req, Res& res, const Reader& reader) {
        const auto account = backendCaller(req, res);
        if (!account)
            return;
        if (!skipBody(req, reader, res))
            return;
        reply(res, households.join(*account, config.quotaBytes, nowSeconds()), *account);
    });

    del("/api/households/members/([^/]+)", [=, this](const Req& req, Res& res) {
        const auto account = backendCaller(req, res);
        if (account)
            reply(res, households.removeMember(*account, req.matches[1]), *account);
    });
}

} // namespace vault
