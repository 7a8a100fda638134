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

inline int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
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
        std::string lower = head;
        for (auto& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string key = "\r\n" + name + ":";
        for (auto& c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto at = lower.find(key);
        if (at == std::string::npos)
            return {};
        const auto start = head.find_first_not_of(' ', at + key.size());
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

// Reads one reply (head and a Content-Length body); blocks until it is there or the server
// closes. `pending` keeps what was read past this reply.
inline Reply readReply(int fd, std::string& pending) {
    Reply reply;
    char buffer[65536];
    auto fill = [&] {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            reply.closed = true;
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        return true;
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
        Reply next = readReply(fd, pending);
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

// Whether the server closed the connection (reading nothing more from it).
inline bool closedByServer(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

// One request on a fresh connection; the reply, with `closed` telling whether the server ends
// the connection after it.
inline Reply exchange(int port, const std::string& request) {
    const int fd = connectTo(port);
    Reply reply;
    if (fd < 0)
        return reply;
    std::string pending;
    sendAll(fd, request);
    reply = readReply(fd, pending);
    // The server says in the reply when it ends the connection.
    std::string connection = reply.header("Connection");
    for (auto& c : connection)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    reply.closed = reply.closed || connection == "close" ||
                   (reply.head.rfind("HTTP/1.0", 0) == 0 && connection != "keep-alive");
    ::close(fd);
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
    const int fd = connectTo(port);
    if (fd < 0 || !sendAll(fd, head)) {
        if (fd >= 0)
            ::close(fd);
        return result;
    }
    std::string pending;
    for (;;) {
        pollfd poller{fd, POLLIN | POLLOUT, 0};
        if (::poll(&poller, 1, -1) < 0 && errno != EINTR)
            break;
        if (poller.revents & (POLLIN | POLLHUP | POLLERR))
            break; // the server answers (or gave up on us)
        if (result.sent >= limit)
            break;
        const std::string& piece = next();
        if (piece.empty())
            break;
        if (!sendAll(fd, piece))
            break;
        result.sent += piece.size();
    }
    result.reply = readReply(fd, pending);
    ::close(fd);
    return result;
}

} // namespace raw
