// The real orlavant-vault binary under attack, its memory read from /proc: 10,000 headers, a
// gigabyte chunked body (in any spelling of "chunked") to every route, an HTTP/1.0 body read to
// close, 1,000 connections at once. And exclusivity between processes: a port in use, a port
// held by a listener that allows sharing, a locked data folder, the lock of a killed server.

#include "VaultChild.h"
#include "VaultTestHarness.h"

#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

const std::string key = "process-anon-key";

std::vector<std::string> serverArgs(const fs::path& data, const std::string& listen = "127.0.0.1:0") {
    return {"--listen", listen,         "--data", data.string(), "--anon-key",
            key,        "--max-upload", "16M",    "--web",       (data.parent_path() / "web").string()};
}

json post(int port, const std::string& path, const std::string& headers, const std::string& body) {
    const raw::Reply reply =
        raw::exchange(port, "POST " + path + " HTTP/1.1\r\n" + headers +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return json::parse(reply.body, nullptr, false);
}

void boundedMemory() {
    TempDir dir;
    VaultChild vault(serverArgs(dir.path / "data"));
    expect(vault.waitListening(), "the vault starts");
    const int port = vault.port;
    const json demo = post(port, "/api/v1/auth/demo-login", "", "");
    const std::string token = demo.value("token", ""), uid = demo["user"].value("id", "");
    const std::string auth = raw::authLines(token, key);
    const std::string url = post(port, "/api/files/pre-upload", auth, claim(std::string(1000, 'b')).dump())
                                .value("upload_url", "");
    const long baseline = vault.statusKiB("VmRSS");

    std::string tenThousand = "GET /health HTTP/1.1\r\n";
    for (int i = 0; i < 10'000; ++i)
        tenThousand += "X-Header-" + std::to_string(i) + ": value\r\n";
    expect(raw::exchange(port, tenThousand + "\r\n").status == 431, "10,000 headers are refused");

    const std::string objects = "/storage/v1/object/", mine = "orlavant-files/" + uid;
    const std::vector<std::pair<std::string, std::string>> routes = {
        {"GET", "/health"},
        {"POST", "/auth/v1/token?grant_type=password"},
        {"POST", "/rest/v1/files"},
        {"POST", objects + mine + "/big.bin"},
        {"PUT", url.substr(url.find("/api/uploads/"))},
        {"POST", "/no/such/route"},
    };
    // One 64 KiB chunk, sent again and again: a gigabyte costs this process nothing.
    const std::string chunk = "10000\r\n" + std::string(64 << 10, 'z') + "\r\n";
    const std::vector<std::string> spellings = {"chunked", "Chunked", "CHUNKED", "cHuNkEd"};
    constexpr std::uint64_t gigabyte = 1ULL << 30;
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const auto& [method, path] = routes[i];
        const auto streamed = raw::streamUntilAnswered(
            port,
            method + " " + path + " HTTP/1.1\r\n" + auth + "Transfer-Encoding: " + spellings[i % 4] +
                "\r\n\r\n",
            [&]() -> const std::string& { return chunk; }, gigabyte);
        expect(streamed.reply.status == 413 && streamed.sent < gigabyte,
               "a gigabyte chunked body is refused: " + method + " " + path, streamed.reply);
    }
    // HTTP/1.0 without a length: the body ends only when the client closes.
    const std::string noise(64 << 10, 'n');
    const auto old = raw::streamUntilAnswered(
        port, "POST /api/auth/login HTTP/1.0\r\n\r\n", [&]() -> const std::string& { return noise; },
        gigabyte);
    expect(old.reply.status == 400 && old.sent < gigabyte,
           "an HTTP/1.0 body without a length is not read to close", old.reply);

    // 1,000 connections at once, each asking for /health: all of them are answered.
    std::vector<std::unique_ptr<raw::Connection>> connections;
    for (int i = 0; i < 1000; ++i)
        connections.push_back(std::make_unique<raw::Connection>(port));
    for (const auto& c : connections)
        raw::sendAll(c->fd, "GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    std::size_t answered = 0;
    for (const auto& c : connections)
        answered += c->read().status == 200;
    connections.clear();
    expect(answered == 1000, "1,000 connections at once are all answered: " + std::to_string(answered));

    const long peak = vault.statusKiB("VmHWM");
    expect(baseline > 0 && peak - baseline < 64 * 1024,
           "the server's memory stayed within 64 MiB of where it began: " + std::to_string(baseline) +
               " KiB -> peak " + std::to_string(peak) + " KiB");
    expect(raw::exchange(port, "GET /health HTTP/1.1\r\n\r\n").status == 200, "the server still answers");
}

void exclusiveBind() {
    TempDir dir;
    VaultChild first(serverArgs(dir.path / "a"));
    expect(first.waitListening(), "the first vault starts");
    VaultChild second(serverArgs(dir.path / "b", "127.0.0.1:" + std::to_string(first.port)));
    expect(second.exitsSaying("address already in use"), "a second vault on a port in use exits, saying so",
           Reply{0, second.output(), {}});

    // A listener that allows port sharing: a server that asked for it too would share.
    const int sharing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(sharing, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(sharing, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(sharing, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(sharing, 8);
    socklen_t length = sizeof address;
    ::getsockname(sharing, reinterpret_cast<sockaddr*>(&address), &length);
    VaultChild third(serverArgs(dir.path / "c", "127.0.0.1:" + std::to_string(ntohs(address.sin_port))));
    expect(third.exitsSaying("address already in use"),
           "a vault never shares a port with a listener that allows it", Reply{0, third.output(), {}});
    ::close(sharing);
}

void dataFolderLock() {
    TempDir dir;
    auto first = std::make_unique<VaultChild>(serverArgs(dir.path / "data"));
    expect(first->waitListening(), "the first vault starts");
    VaultChild second(serverArgs(dir.path / "data"));
    expect(second.exitsSaying("(process " + std::to_string(first->pid()) + ")"),
           "a second vault on the same data folder exits, naming the holder", Reply{0, second.output(), {}});
    // A server killed outright leaves its lock file behind, but not its lock.
    ::kill(first->pid(), SIGKILL);
    first.reset();
    VaultChild third(serverArgs(dir.path / "data"));
    expect(third.waitListening(), "the lock of a killed vault does not block the next",
           Reply{0, third.output(), {}});
}

} // namespace

int main() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::signal(SIGPIPE, SIG_IGN);
    return runAll({boundedMemory, exclusiveBind, dataFolderLock});
}
