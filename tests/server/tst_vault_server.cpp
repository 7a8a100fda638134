// The vault server in-process: household deduplication and the quota, the single-use upload
// location and confirm's checks, storage ownership, and bad input on both contracts. Sign-in,
// listing, downloads and what survives a killed vault are exercised end to end against the
// real binary (tests/e2e).

#include "VaultTestHarness.h"

#include <fstream>

namespace fs = std::filesystem;

namespace {

const std::string preRoute = "/api/files/pre-upload", confirmRoute = "/api/files/confirm",
                  files = "/rest/v1/files";
const std::string objects = "/storage/v1/object/orlavant-files/",
                  rpc = "/rest/v1/rpc/register_or_deduplicate_file";

// A row as the hosted registry takes it, or (with the prefix "p_") as the procedure does.
json fileRow(const std::string& userId, const std::string& name, const std::string& bytes,
             std::string p = {}) {
    const std::string path = userId + "/" + name;
    json row = {{p + "file_hash", sha(bytes)},   {p + "original_filename", name}, {p + "file_path", path},
                {p + "file_size", bytes.size()}, {p + "mime_type", "text/plain"}, {p + "device_name", "L"},
                {p + "device_type", "mac"},      {p + "folder_path", "/f"}};
    return p.empty() ? with(row, "user_id", userId) : row;
}

// Deduplication never crosses households, and a digest claimed on the hosted side without bytes
// must not make the backend skip real content: the stranger's household would lose the file.
void deduplicationOnlyOfRealContent() {
    VaultFixture vault;
    const auto demo = vault.demo(), stranger = vault.signUp("stranger@example.org");
    const auto S = bearer(stranger.token), Sh = hosted(stranger.token);
    const std::string sixty(60, 'a'), claimed = "never uploaded";
    upload(vault, demo.token, sixty);
    run(vault, {
                   {"no deduplication across households", "POST", preRoute, S, claim(sixty).dump(), 200,
                    "upload_url"},
                   {"procedure registers a new row", "POST", rpc, Sh,
                    fileRow(stranger.id, "x", claimed, "p_").dump(), 200, R"("deduplicated":false)"},
                   {"a claimed digest is not content", "POST", preRoute, S, claim(claimed).dump(), 200,
                    "upload_url"},
                   {"procedure reports the existing row for the same digest", "POST", rpc, Sh,
                    fileRow(stranger.id, "y", claimed, "p_").dump(), 200, R"("original_filename":"x")"},
               });
}

void uploadLocation() {
    VaultFixture vault;
    const auto user = vault.demo();
    const auto B = bearer(user.token);
    const std::string bytes = "the real bytes", whole(1001, 'y'), sig = "&signature=";
    std::vector<Reply> pres;
    for (int i = 0; i < 7; ++i)
        pres.push_back(preUpload(vault, user.token, bytes));
    const auto at = [&](int i) { return uploadPath(pres[i]); };
    const std::string mine = at(0), other = at(1);
    const Reply cut = preUpload(vault, user.token, whole);
    // An upload cut off mid-body (the client hangs up) leaves nothing: no object, no blob, no
    // temporary file.
    raw::Connection hangUp(vault.port);
    raw::sendAll(hangUp.fd,
                 "PUT " + uploadPath(cut) + " HTTP/1.1\r\nContent-Length: 1001\r\n\r\n" + whole.substr(700));
    ::shutdown(hangUp.fd, SHUT_WR);
    while (!raw::closedByServer(hangUp.fd)) {
    }
    expect(fs::is_empty(vault.dir / "data/tmp"), "an interrupted upload leaves no temporary file");
    // Each of the first five locations is spoilt in one way; the seventh works once, and confirm
    // checks the claim against the bytes that arrived, once.
    const std::vector<Step> steps = {
        {"tampered signature", "PUT", mine.substr(0, mine.size() - 4) + "0000", none, bytes, 403},
        {"another's signature", "PUT", mine.substr(0, mine.find(sig)) + other.substr(other.find(sig)), none,
         bytes, 403},
        {"upload of other bytes than announced", "PUT", at(2), none, "the fake bytes", 422},
        {"upload of more bytes than announced", "PUT", at(3), none, bytes + "!", 413},
        {"upload of fewer bytes than announced", "PUT", at(4), none, bytes.substr(1), 422},
        {"upload accepted once", "PUT", at(6), none, bytes, 200},
        {"replayed upload location", "PUT", at(6), none, bytes, 409},
        {"confirm with another size", "POST", confirmRoute, B,
         confirmBody(pres[6], with(claim(bytes), "file_size", bytes.size() + 1)), 422},
        {"confirm", "POST", confirmRoute, B, confirmBody(pres[6], claim(bytes)), 200},
        {"second confirm", "POST", confirmRoute, B, confirmBody(pres[6], claim(bytes)), 409},
        {"confirm after an interrupted upload", "POST", confirmRoute, B, confirmBody(cut, claim(whole)), 409},
        {"location of an interrupted upload", "PUT", uploadPath(cut), none, whole, 409},
    };
    run(vault, steps);
    vault.advanceSeconds(16 * 60);
    run(vault, {{"upload to an expired location", "PUT", at(5), none, bytes, 410}});
    for (int i = 0; i < 6; ++i)
        expect(vault.request("POST", confirmRoute, B, confirmBody(pres[i], claim(bytes))).status == 409,
               "confirm after a refused upload");
    expect(fileCount(vault, user.id) == 1 && vault.store().objectCount() == 1, "refusals stored nothing");
}

// Accounts are shared by both contracts; storage keeps each user to their own folder; anything
// malformed, unauthorised or too large is refused with a JSON message and stores nothing.
void accountsStorageAndBadInput() {
    VaultFixture vault;
    fs::create_directories(vault.dir / "web");
    std::ofstream(vault.dir / "web/login.html") << "<html>login</html>";
    std::ofstream(vault.dir / "secret.txt") << "secret";
    fs::create_symlink(vault.dir / "secret.txt", vault.dir / "web/leak.html");
    const auto alice = vault.signUp("al@x.org"), bob = vault.signUp("bob@example.org");
    const std::string aliceFile =
        upload(vault, alice.token, "a").confirmed.body["file"].value("id", "") + "/download";
    const auto A = hosted(alice.token), Ab = bearer(alice.token), Bh = hosted(bob.token);
    const std::string tok = "/auth/v1/token?grant_type=password", pre = preRoute;
    const std::string good = R"({"email":"al@x.org","password":"correct horse"})";
    const std::string sign = "/storage/v1/object/sign/orlavant-files/",
                      authed = "/storage/v1/object/authenticated/orlavant-files/";
    const std::string bobPath = bob.id + "/mac/My%20Laptop/b.txt";
    const auto claimWith = [](const char* key, json value) { return with(claim("x"), key, value).dump(); };
    const std::vector<Step> steps = {
        {"an object is stored under its decoded key", "POST", objects + bobPath, Bh, "bob's", 200,
         "My Laptop/b"},
        {"hosted sign-in with a wrong apikey", "POST", tok, {{"apikey", anonKey + "x"}}, good, 401},
        {"pre-upload with a negative size", "POST", pre, Ab, claimWith("file_size", -1), 400},
        {"pre-upload with a digest that is a path", "POST", pre, Ab, claimWith("file_hash", "../../x"), 400},
        {"pre-upload over the upload limit", "POST", pre, Ab, claimWith("file_size", 2 << 20), 413},
        {"pre-upload over the JSON limit", "POST", pre, Ab, claimWith("pad", std::string(5000, 'p')), 413},
        {"REST insert of another user's row", "POST", files, A, fileRow(bob.id, "z", "z").dump(), 403},
        {"storage upload into another user's folder", "POST", objects + bob.id + "/mine.txt", A, "x", 400},
        {"storage key climbing out with ..", "POST", objects + alice.id + "/%2e%2e/" + bob.id, A, "x", 400},
        {"storage download of another's object", "GET", authed + bobPath, A, "", 400},
        {"storage signing another user's object", "POST", sign + bobPath, A, R"({"expiresIn":3600})", 400},
        {"signed link with a forged token", "GET", sign + bobPath + "?token=9999999999.abc", none, "", 400},
        {"download of another's file", "GET", "/api/files/" + aliceFile, bearer(bob.token), "", 404},
        {"web page climbing out with ..", "GET", "/web/%2e%2e/secret.txt", none, "", 404},
        {"web page through a symbolic link out of the folder", "GET", "/web/leak.html", none, "", 404},
        {"a page inside the web folder", "GET", "/web/login.html", none, "", 200, "<html>login</html>"},
    };
    run(vault, steps);
    expect(vault.store().objectCount() == 2 && fileCount(vault, alice.id) == 1 &&
               fileCount(vault, bob.id) == 0 && fs::is_empty(vault.dir / "data/tmp"),
           "bad input stored no object, no row and no temporary file");
    // Passwords are kept as salted slow hashes, never as given, and nothing secret is logged.
    const auto account = vault.store().accountByEmail("al@x.org");
    const std::string log = vault.log();
    expect(account && account->passwordHash.rfind("pbkdf2-sha256$", 0) == 0 &&
               vault::crypto::verifyPassword("correct horse", account->passwordHash) &&
               log.find(alice.token) == npos && log.find("correct horse") == npos,
           "password stored as a PBKDF2 hash; the log holds no token and no password");
    // A signed link, relative to /storage/v1, gives the bytes until it expires.
    const Reply signedLink = vault.request("POST", sign + bobPath, Bh, R"({"expiresIn":3600})");
    const std::string link = "/storage/v1" + signedLink.body.value("signedURL", "");
    expect(vault.request("GET", link).raw == "bob's", "a signed link gives the bytes", signedLink);
    vault.advanceSeconds(8 * 24 * 3600);
    run(vault, {{"an expired signed link", "GET", link, none, "", 400, "jwt expired"}});
}

// One quota for both ways in: the backend's upload tickets reserve room until they expire or
// are confirmed, the hosted storage upload is held to the same quota (refused in storage's
// shape), and each distinct content counts once whichever way it came. The sweep takes what
// expired.
void quotaOnBothPaths() {
    VaultFixture vault(100);
    const auto ann = vault.signUp("ann@quota.org");
    const auto H = hosted(ann.token), B = bearer(ann.token);
    const std::string sixty(60, 'a'), fifty(50, 'b'), forty(40, 'c'), other40(40, 'e'),
        mine = objects + ann.id;
    const std::string storageRefusal = R"("statusCode":"413")";
    run(vault,
        {
            {"a ticket for 60 bytes", "POST", preRoute, B, claim(sixty).dump(), 200, "upload_url"},
            {"a hosted upload beyond the room a ticket reserved", "POST", mine + "/b.bin", H, fifty, 400,
             storageRefusal},
            {"a hosted upload into the rest of the room", "POST", mine + "/c.bin", H, forty, 200},
            // Same size as stored content, other bytes: only their digest tells, after the body.
            {"a hosted upload refused once its bytes are known", "POST", mine + "/e.bin", H, other40, 400,
             storageRefusal},
            {"stored content costs nothing a second time", "POST", mine + "/c-again.bin", H, forty, 200},
            {"a ticket once the room is gone", "POST", preRoute, B, claim("d").dump(), 402, "quota"},
            {"a second ticket for reserved content", "POST", preRoute, B, claim(sixty).dump(), 200,
             "upload_url"},
        });
    // A length that cannot fit is answered without taking in its body (beyond the transport's
    // read-ahead).
    const raw::Reply early = raw::exchange(
        vault.port, "POST " + mine + "/huge.bin HTTP/1.1\r\n" + raw::authLines(ann.token, anonKey) +
                        "Content-Length: 500000\r\n\r\n" + std::string(64 << 10, 'h'));
    expect(early.status == 400 && early.body.find(storageRefusal) != npos,
           "a hosted upload announced too large for the room is refused unread", early);
    expect(fs::is_empty(vault.dir / "data/tmp") && !vault.blobs().contains(sha(fifty)) &&
               !vault.blobs().contains(sha(other40)),
           "refused hosted uploads leave no blob and no temporary file");

    // Tickets hold their room until their location expires; the sweep then removes them.
    vault.advanceSeconds(15 * 60);
    expect(preUpload(vault, ann.token, sixty).status == 200, "expired tickets give their room back");
    const auto swept = vault.sweep();
    expect(swept.uploadTickets >= 2,
           "the sweep removes expired tickets (" + std::to_string(swept.uploadTickets) + ")");
}

// Bytes that arrived and were never confirmed count against the quota until their confirm
// deadline, cannot be confirmed after it, and go with the next sweep; so does a stray blob.
void unconfirmedUploadsAreSwept() {
    VaultFixture vault(100);
    const auto user = vault.demo();
    const std::string bytes(70, 'u'), more(40, 'm');
    const Reply pre = preUpload(vault, user.token, bytes);
    expect(vault.request("PUT", uploadPath(pre), {}, bytes).status == 200, "the bytes arrive");
    vault.advanceSeconds(15 * 60 - 1);
    expect(preUpload(vault, user.token, more).status == 402, "received bytes hold their room");
    expect(vault.sweep().blobs == 0 && vault.blobs().contains(sha(bytes)),
           "the sweep leaves bytes waiting for their confirmation");
    vault.advanceSeconds(1);
    const Reply late =
        vault.request("POST", confirmRoute, bearer(user.token), confirmBody(pre, claim(bytes)));
    expect(late.status == 410, "a confirm after the deadline is refused", late);
    const auto swept = vault.sweep();
    expect(swept.blobs == 1 && !vault.blobs().contains(sha(bytes)) && vault.store().objectCount() == 0,
           "the sweep removes unconfirmed bytes");
    expect(preUpload(vault, user.token, more).status == 200, "and their room is free again");

    const std::string stray(64, 'f');
    vault.restart([&] {
        fs::create_directories(vault.dir / "data/blobs/ff");
        std::ofstream(vault.dir / "data/blobs/ff" / stray) << "left by a crash";
    });
    expect(!fs::exists(vault.dir / "data/blobs/ff" / stray),
           "a blob nothing references is removed at start-up");
}

// Confirm and deduplication record the content the vault verified, never what happens to sit
// at the storage key (someone can put anything there through the hosted storage), and never
// bytes that are gone.
void confirmVerifiesTheStoredObject() {
    VaultFixture vault;
    const auto eve = vault.signUp("eve@example.org");
    const auto H = hosted(eve.token);
    const std::string real = "the real content", evil = "something else entirely";
    const std::string key = eve.id + "/vault/" + sha(real);
    auto downloaded = [&](const Reply& confirmed) {
        const std::string id = confirmed.body.is_object() && confirmed.body.contains("file")
                                   ? confirmed.body["file"].value("id", "")
                                   : "";
        return vault.request("GET", "/api/files/" + id + "/download", bearer(eve.token)).raw;
    };
    expect(vault.request("POST", objects + key, H, evil).status == 200,
           "other bytes put at the content's key");
    const Reply confirmed = upload(vault, eve.token, real).confirmed;
    expect(confirmed.status == 200 && downloaded(confirmed) == real &&
               vault.store().object(key)->sha256 == sha(real),
           "confirm replaces a wrong object at the key with the verified content", confirmed);

    // Deduplication: the content is in the household under another key, and the key it is
    // recorded under holds other bytes again.
    auto upsert = H;
    upsert.emplace("x-upsert", "true");
    vault.request("POST", objects + key, upsert, evil);
    const Reply dedup = vault.request("POST", preRoute, bearer(eve.token), claim(real, "Desktop").dump());
    expect(dedup.status == 200 && dedup.body.value("deduplicated", false) == false,
           "content whose only copy was overwritten is not deduplicated against", dedup);
    vault.request("POST", objects + eve.id + "/elsewhere/real.txt", H, real);
    const Reply again = vault.request("POST", preRoute, bearer(eve.token), claim(real, "Phone").dump());
    expect(again.body.value("deduplicated", false) && vault.store().object(key)->sha256 == sha(real),
           "deduplication replaces a wrong object at the key too", again);

    // Bytes that vanished from the blob store between upload and confirm are not confirmed.
    const std::string gone = "bytes that will vanish";
    const Reply pre = preUpload(vault, eve.token, gone);
    vault.request("PUT", uploadPath(pre), {}, gone);
    fs::remove(vault.blobs().pathFor(sha(gone)));
    const Reply missing =
        vault.request("POST", confirmRoute, bearer(eve.token), confirmBody(pre, claim(gone)));
    expect(missing.status == 409 && !vault.store().object(eve.id + "/vault/" + sha(gone)),
           "confirm of bytes no longer stored is refused and records nothing", missing);
}

// Every download path serves single byte ranges of the stored object, and nothing else.
void rangesOnEveryDownloadPath() {
    VaultFixture vault;
    const auto user = vault.signUp("range@example.org");
    const std::string bytes = "0123456789", key = user.id + "/r.txt";
    const std::string fileId = upload(vault, user.token, bytes).confirmed.body["file"].value("id", "");
    vault.request("POST", objects + key, hosted(user.token), bytes);
    const Reply link = vault.request("POST", "/storage/v1/object/sign/orlavant-files/" + key,
                                     hosted(user.token), R"({"expiresIn":60})");
    const std::string auth = raw::authLines(user.token, anonKey);
    const std::vector<std::pair<std::string, std::string>> paths = {
        {"backend download", "/api/files/" + fileId + "/download"},
        {"authenticated storage download", "/storage/v1/object/authenticated/orlavant-files/" + key},
        {"signed link", "/storage/v1" + link.body.value("signedURL", "")},
    };
    struct Row {
        std::string name, headers;
        int status;
        std::string body, contentRange;
    };
    const std::string etag = "\"" + sha(bytes) + "\"";
    const std::vector<Row> rows = {
        {"a range", "Range: bytes=2-5\r\n", 206, "2345", "bytes 2-5/10"},
        {"a range past the end", "Range: bytes=10-\r\n", 416, "", "bytes */10"},
        {"an open-ended range", "Range: bytes=4-\r\n", 206, "456789", "bytes 4-9/10"},
        {"a suffix longer than the body", "Range: bytes=-30\r\n", 206, bytes, "bytes 0-9/10"},
        {"a last byte past the end is clamped", "Range: bytes=8-100\r\n", 206, "89", "bytes 8-9/10"},
        {"an empty suffix", "Range: bytes=-0\r\n", 416, "", "bytes */10"},
        {"two ranges give the whole", "Range: bytes=0-1,3-4\r\n", 200, bytes, ""},
        {"If-Range of this version", "Range: bytes=0-0\r\nIf-Range: " + etag + "\r\n", 206, "0",
         "bytes 0-0/10"},
        {"If-Range of another version", "Range: bytes=0-0\r\nIf-Range: \"other\"\r\n", 200, bytes, ""},
    };
    for (const auto& [pathName, path] : paths) {
        for (const auto& row : rows) {
            const raw::Reply r =
                raw::exchange(vault.port, "GET " + path + " HTTP/1.1\r\n" + auth + row.headers + "\r\n");
            const bool bodyOk = row.status == 416 ? r.body.find("message") != npos : r.body == row.body;
            expect(r.status == row.status && bodyOk && r.header("Content-Range") == row.contentRange &&
                       (row.status == 416 || r.header("Accept-Ranges") == "bytes"),
                   pathName + ": " + row.name, r);
        }
    }
}

} // namespace

int main() {
    return runAll({deduplicationOnlyOfRealContent, uploadLocation, accountsStorageAndBadInput,
                   rangesOnEveryDownloadPath, quotaOnBothPaths, unconfirmedUploadsAreSwept,
                   confirmVerifiesTheStoredObject});
}
