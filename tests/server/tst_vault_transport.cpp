// The vault's HTTP layer in-process: every limit answers in JSON (413, 414, 431, 408, 400) and
// ends the connection, time-outs count the whole head and the body's average rate rather than
// single reads, a body waits for 100-continue, paths that are not UTF-8 are refused before
// anything is stored, and log lines cannot be forged. That a second server can share neither a
// data folder nor a port is shown with the real binary (tst_vault_process).

#include "VaultTestHarness.h"

namespace fs = std::filesystem;

namespace {

bool hasJsonMessage(const raw::Reply& reply) {
    const json body = json::parse(reply.body, nullptr, false);
    return reply.header("Content-Type") == "application/json" && body.is_object() &&
           body.contains("message") && body["message"].is_string() &&
           !body["message"].get<std::string>().empty();
}

// Each limit answers with its status and a JSON message and ends the connection.
void limits() {
    VaultFixture vault;
    const std::string get = "GET /health HTTP/1.1\r\nHost: x\r\n";
    std::string headers;
    for (int i = 0; i < 101; ++i)
        headers += "X-H" + std::to_string(i) + ": v\r\n";
    struct Row {
        const char* name;
        std::string request;
        int status;
    };
    const std::vector<Row> rows = {
        {"101 headers", get + headers + "\r\n", 431},
        {"a target of 9 KiB", "GET /health?" + std::string(9 << 10, 'q') + " HTTP/1.1\r\nHost: x\r\n\r\n",
         414},
        {"a gigabyte announced to a route without a body", get + "Content-Length: 1000000000\r\n\r\n", 413},
        {"a gigabyte announced to a body route",
         "POST /api/auth/login HTTP/1.1\r\nContent-Length: 9000000000\r\n\r\n", 413},
        {"a transfer coding other than chunked",
         "POST /api/auth/login HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 400},
        {"two different lengths",
         "POST /api/auth/login HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", 400},
        {"a path that is not UTF-8", "GET /web/%FF%FE HTTP/1.1\r\n\r\n", 400},
        {"a target that is not a path", "GET http://elsewhere/ HTTP/1.1\r\n\r\n", 400},
    };
    for (const auto& row : rows) {
        const raw::Reply reply = raw::exchange(vault.port, row.request);
        expect(reply.status == row.status && hasJsonMessage(reply) && reply.closed, row.name, reply);
    }
}

// A time-out test: the server is configured with short deadlines and the test waits for its
// answer while it keeps sending, faster than any single read would time out.
void timeOuts() {
    VaultFixture vault(10 << 20, [](vault::VaultServer::Config& config) {
        config.transport.headTimeout = std::chrono::milliseconds(300);
        config.transport.bodyGrace = std::chrono::milliseconds(300);
        config.transport.idleTimeout = std::chrono::milliseconds(300);
        config.transport.minBodyBytesPerSecond = 1 << 20;
    });
    auto trickle = [&](const std::string& start, const char* name) {
        raw::Connection c(vault.port);
        raw::sendAll(c.fd, start);
        // A byte whenever the server has not answered within 10 ms, far faster than any single
        // read times out; bounded, and then unanswered, so a server whose deadline each read
        // extends fails instead of hanging the test.
        pollfd answer{c.fd, POLLIN, 0};
        bool answered = false;
        for (int i = 0; i < 2000 && !answered; ++i)
            answered = ::poll(&answer, 1, 10) > 0 || ::send(c.fd, "a", 1, MSG_NOSIGNAL) != 1;
        const raw::Reply reply = answered ? c.read() : raw::Reply{};
        expect(reply.status == 408 && hasJsonMessage(reply), name, reply);
    };
    trickle("GET /health HTTP/1.1\r\nX-Slow: ", "a head trickled byte by byte gets 408");
    const auto user = vault.demo();
    const Reply pre = preUpload(vault, user.token, std::string(100000, 'a'));
    trickle("PUT " + uploadPath(pre) + " HTTP/1.1\r\nContent-Length: 100000\r\n\r\n",
            "a body trickled to the upload location gets 408");
    expect(fs::is_empty(vault.dir / "data/tmp"), "a timed-out upload leaves no temporary file");
    // A connection that sends nothing is closed without a word.
    expect(raw::closedByServer(raw::Connection(vault.port).fd), "an idle connection is closed");
}

void invalidUtf8RefusedBeforeStoring() {
    VaultFixture vault;
    const auto user = vault.signUp("utf@example.org");
    const auto H = hosted(user.token);
    const std::string objects = "/storage/v1/object/orlavant-files/" + user.id + "/";
    const Reply stored = vault.request("POST", objects + "caf%C3%A9.txt", H, "fine");
    expect(stored.status == 200 && stored.raw.find("café") != npos, "a UTF-8 key is stored", stored);
    for (const std::string key : {"a%C3.txt", "%ED%A0%80.txt"}) {
        const Reply refused = vault.request("POST", objects + key, H, "bytes");
        expect(refused.status == 400, "a key that is not UTF-8 is refused: " + key, refused);
    }
    const Reply confirm = vault.request("POST", "/api/files/confirm", bearer(user.token),
                                        R"({"storage_key":")" + user.id + "/vault/\xff\"}");
    expect(confirm.status == 400, "a storage key that is not UTF-8 in a JSON body is refused", confirm);
    std::size_t blobs = 0;
    for (const auto& entry : fs::recursive_directory_iterator(vault.dir / "data/blobs"))
        blobs += entry.is_regular_file();
    expect(vault.store().objectCount() == 1 && blobs == 1 && fs::is_empty(vault.dir / "data/tmp"),
           "nothing of the refused keys was stored");
}

void logLinesCannotBeForged() {
    VaultFixture vault;
    raw::exchange(vault.port, "GET /health%0A%5Bvault%5D%20forged%0D%1B[2J HTTP/1.1\r\n\r\n");
    const std::string log = vault.log();
    expect(log.find("\n[vault] forged") == npos && log.find("\x1b") == npos && log.find('\r') == npos,
           "a line break or escape in a path does not reach the log");
    expect(log.find("/health\\x0a[vault] forged\\x0d\\x1b[2J 404") != npos,
           "the path is logged escaped, on one line");
}

// A client that waits for "100 Continue" is told only when the handler wants the body: a
// refusal (too large, an object already there) reaches it before it has sent a byte, and the
// connection then ends, since a body sent late could not be told from the next request.
void bodiesWaitForTheServersWord() {
    VaultFixture vault;
    const auto user = vault.signUp("expect@example.org");
    const std::string objects = "/storage/v1/object/orlavant-files/" + user.id + "/";
    expect(vault.request("POST", objects + "kept.txt", hosted(user.token), "first").status == 200,
           "an object is stored");
    const auto head = [&](const std::string& key, std::size_t length) {
        return "POST " + objects + key + " HTTP/1.1\r\n" + raw::authLines(user.token, anonKey) +
               "Content-Length: " + std::to_string(length) + "\r\nExpect: 100-continue\r\n\r\n";
    };
    const struct {
        std::string name, key;
        std::size_t length;
        int status;
    } refusals[] = {{"larger than the server takes", "big.bin", (1 << 20) + 1, 413},
                    {"an object already at that key", "kept.txt", 5, 400}};
    for (const auto& refusal : refusals) {
        const raw::Reply reply = raw::exchange(vault.port, head(refusal.key, refusal.length));
        expect(reply.status == refusal.status && reply.head.find(" 100 ") == npos && reply.closed,
               "refused before the body is asked for: " + refusal.name, reply);
    }
    // A body the handler wants is asked for, then answered on a connection that goes on.
    raw::Connection c(vault.port);
    raw::sendAll(c.fd, head("new.txt", 5));
    std::string told;
    for (char byte; told.find("\r\n\r\n") == npos && ::recv(c.fd, &byte, 1, 0) == 1;)
        told += byte;
    const raw::Reply stored = c.exchange("fresh"),
                     after = c.exchange("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    expect(told == "HTTP/1.1 100 Continue\r\n\r\n" && stored.status == 200 && after.status == 200,
           "a wanted body is asked for, stored, and the connection goes on",
           Reply{stored.status, told + stored.head, stored.body});
    expect(vault.store().objectCount() == 2, "only the wanted body was stored");
}

} // namespace

int main() {
    return runAll({limits, timeOuts, bodiesWaitForTheServersWord, invalidUtf8RefusedBeforeStoring,
                   logLinesCannotBeForged});
}
