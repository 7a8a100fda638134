#pragma once

// Raw HTTP for the vault's transport tests: requests no well-behaved client library would
// send (10,000 headers, bodies without end, heads that never finish), over plain sockets to
// 127.0.0.1, and the reply read as the server wrote it.

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace raw {

inline std::string lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The header lines that authorise a request on either contract.
inline std::string authLines(const std::string& token, const std::string& apikey) {
    return "Authorization: Bearer " + token + "\r\napikey: " + apikey + "\r\n";
}

inline bool sendAll(int fd, const std::string& data) {
    for (std::size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

struct Reply {
    int status = 0; // 0: the server closed without a reply
    std::string head;
    std::string body;
    bool closed = false; // the server ended the connection after (or instead of) the reply
    std::string header(const std::string& name) const {
        const auto at = lower(head).find("\r\n" + lower(name) + ":");
        if (at == std::string::npos)
            return {};
        const auto start = head.find_first_not_of(' ', at + name.size() + 3);
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

// Whether the server closed the connection (reading nothing more from it).
inline bool closedByServer(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

// One connection to 127.0.0.1, closed with its scope; replies read in order.
struct Connection {
    explicit Connection(int port)
        : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~Connection() {
        if (fd >= 0)
            ::close(fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Reply exchange(const std::string& data) { return sendAll(fd, data) ? read() : Reply{}; }
    // Reads one reply (head and a Content-Length body); blocks until it is there or the server
    // closes. What was read past it stays for the next.
    Reply read() {
        Reply reply;
        char buffer[65536];
        auto fill = [&] {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0)
                pending.append(buffer, static_cast<std::size_t>(n));
            return !(reply.closed = n <= 0);
        };
        std::size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos)
            if (!fill())
                return reply;
        reply.head = pending.substr(0, end + 2);
        pending.erase(0, end + 4);
        if (reply.head.rfind("HTTP/1.", 0) == 0)
            reply.status = std::atoi(reply.head.c_str() + 9);
        if (reply.status == 100) {
            Reply next = read();
            next.head = reply.head + "\r\n" + next.head;
            return next;
        }
        const std::string length = reply.header("Content-Length");
        const std::size_t wanted = length.empty() ? 0 : std::stoull(length);
        while (pending.size() < wanted)
            if (!fill())
                return reply;
        reply.body = pending.substr(0, wanted);
        pending.erase(0, wanted);
        return reply;
    }
    int fd;
    std::string pending;
};

// One request on a fresh connection; the reply, with `closed` telling whether the server ends
// the connection after it (which it says in the reply).
inline Reply exchange(int port, const std::string& request) {
    Reply reply = Connection(port).exchange(request);
    const std::string connection = lower(reply.header("Connection"));
    reply.closed = reply.closed || connection == "close" ||
                   (reply.head.rfind("HTTP/1.0", 0) == 0 && connection != "keep-alive");
    return reply;
}

// Sends `head`, then pieces from `next` (empty: the body is over) for as long as the server
// reads, up to `limit` bytes, and returns the server's reply with how much it took. The bytes
// are made piece by piece, so a gigabyte costs this process no memory.
struct Streamed {
    Reply reply;
    std::uint64_t sent = 0;
};
inline Streamed streamUntilAnswered(int port, const std::string& head,
                                    const std::function<const std::string&()>& next, std::uint64_t limit) {
    Streamed result;
    Connection connection(port);
    if (connection.fd < 0 || !sendAll(connection.fd, head))
        return result;
    for (;;) {
        pollfd poller{connection.fd, POLLIN | POLLOUT, 0};
        if (::poll(&poller, 1, -1) < 0 && errno != EINTR)
            break;
        if (poller.revents & (POLLIN | POLLHUP | POLLERR) || result.sent >= limit)
            break; // the server answers (or gave up on us), or the test does
        const std::string& piece = next();
        if (piece.empty() || !sendAll(connection.fd, piece))
            break;
        result.sent += piece.size();
    }
    result.reply = connection.read();
    return result;
}

} // namespace raw
