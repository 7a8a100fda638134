// The hosted side's table and storage calls beyond what the desktop client sends, as the hosted
// service's libraries use them: select of named columns, filters, ordering by several columns,
// limit / offset / Range with Content-Range and exact counts, and
// listing a storage folder. The edges here; what the SDK's own calls send (named columns, a
// filter, an exact count of filtered rows, HEAD, a duplicate's code, an upsert on the unique
// columns, a page of a folder) is in node/.

#include "VaultTestHarness.h"

namespace {

const std::string files = "/rest/v1/files";

json row(const std::string& userId, const std::string& name, std::int64_t size, const json& folder) {
    return {{"user_id", userId},         {"file_hash", std::string(64, name[0])},
            {"original_filename", name}, {"file_path", userId + "/" + name},
            {"file_size", size},         {"mime_type", "text/plain"},
            {"device_name", "Laptop"},   {"device_type", "mac"},
            {"folder_path", folder}};
}

// The reply's rows as "name name ...", in order.
std::string names(const raw::Reply& r) {
    const json rows = json::parse(r.body, nullptr, false);
    std::string out;
    if (rows.is_array())
        for (const auto& row : rows)
            out += (out.empty() ? "" : " ") +
                   row.value("original_filename", row.value("name", std::string("?")));
    return out;
}

// Reads through the table with every combination the REST layer allows, and some it refuses.
void tableReads() {
    VaultFixture vault;
    const auto ann = vault.signUp("ann@rest.org");
    const auto other = vault.signUp("other@rest.org");
    const json rows = {row(ann.id, "a.txt", 30, "/x"), row(ann.id, "b.txt", 10, nullptr),
                       row(ann.id, "c.txt", 20, "/y"), row(ann.id, "d.txt", 10, "/x"),
                       row(ann.id, "e.txt", 50, nullptr)};
    expect(vault.request("POST", files, hosted(ann.token), rows.dump()).status == 201, "five rows");
    vault.request("POST", files, hosted(other.token), json{row(other.id, "z.txt", 1, "/x")}.dump());
    const std::string auth = raw::authLines(ann.token, anonKey);

    struct Row {
        std::string name, query, headers;
        int status;
        std::string rows, contentRange = {}, holds = {};
    };
    const std::vector<Row> table = {
        {"everything in stored order", "", "", 200, "a.txt b.txt c.txt d.txt e.txt", "0-4/*"},
        {"a Range header", "", "Range: 1-3\r\nRange-Unit: items\r\n", 200, "b.txt c.txt d.txt", "1-3/*"},
        {"an offset at the end", "offset=5", "Prefer: count=exact\r\n", 206, "", "*/5"},
        {"an offset past the end with a count", "offset=6", "Prefer: count=exact\r\n", 416, "", "*/5",
         "PGRST103"},
        {"filter neq leaves out nulls", "folder_path=neq./x", "", 200, "c.txt"},
        {"another user's rows stay invisible", "user_id=eq." + other.id, "", 200, ""},
        {"an unknown operator", "file_size=about.10", "", 400, "", "", "PGRST100"},
    };
    for (const auto& r : table) {
        const raw::Reply reply =
            raw::exchange(vault.port, "GET " + files + (r.query.empty() ? "" : "?" + r.query) +
                                          " HTTP/1.1\r\n" + auth + r.headers + "\r\n");
        const bool ok = reply.status == r.status && (r.status >= 400 || names(reply) == r.rows) &&
                        (r.contentRange.empty() || reply.header("Content-Range") == r.contentRange) &&
                        reply.body.find(r.holds) != npos;
        expect(ok, r.name, reply);
    }
}

// A storage listing shows the caller's objects only (sorting and paging are in node/). And form
// uploads are refused.
void storageListing() {
    VaultFixture vault;
    const auto ann = vault.signUp("ann@list.org"), bob = vault.signUp("bob@list.org");
    const std::string base = "/storage/v1/object/orlavant-files/" + ann.id + "/";
    for (const char* name : {"b/one.txt", "z.txt", "a.txt", "b/two.txt", "A.txt"})
        vault.request("POST", base + name, hosted(ann.token), name);
    vault.request("POST", "/storage/v1/object/orlavant-files/" + bob.id + "/secret.txt", hosted(bob.token),
                  "x");
    const std::string list = "/storage/v1/object/list/orlavant-files";
    auto listed = [&](const json& body, const std::string& token) {
        const Reply r = vault.request("POST", list, hosted(token), body.dump());
        std::string out;
        if (r.body.is_array())
            for (const auto& e : r.body)
                out += (out.empty() ? "" : " ") + e.value("name", std::string("?")) +
                       (e["id"].is_null() ? "/" : "");
        return r.status == 200 ? out : "refused " + std::to_string(r.status);
    };
    struct Row {
        std::string name;
        json body;
        std::string wanted;
    };
    const std::vector<Row> rows = {
        {"the bucket's top holds the caller's folder only", {{"prefix", ""}}, ann.id + "/"},
        {"another user's folder is empty", {{"prefix", bob.id}}, ""},
    };
    for (const auto& r : rows) {
        const std::string got = listed(r.body, ann.token);
        expect(got == r.wanted, r.name + " (got: " + got + ")");
    }

    // A form upload would otherwise be stored envelope and all.
    const std::string form =
        "--XyZ\r\nContent-Disposition: form-data; name=\"\"; filename=\"f.txt\"\r\n\r\nhi\r\n--XyZ--\r\n";
    const raw::Reply refused = raw::exchange(
        vault.port, "POST " + base + "form.txt HTTP/1.1\r\n" + raw::authLines(ann.token, anonKey) +
                        "Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
                        std::to_string(form.size()) + "\r\n\r\n" + form);
    expect(refused.status == 400 && refused.body.find(R"("statusCode":"415")") != npos &&
               !vault.store().object(ann.id + "/form.txt"),
           "a form upload is refused and stores nothing", refused);
}

} // namespace

int main() {
    return runAll({tableReads, storageListing});
}
