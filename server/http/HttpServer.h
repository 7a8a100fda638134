#pragma once

#include "Limits.h"
#include "Router.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace vault::http {

// Serves a Router over HTTP/1.1 (Boost.Beast on Boost.Asio): a few I/O threads carry every
// connection; handlers run on worker threads. Bound without port sharing, so a second server
// on a port in use fails instead of splitting its clients.
class HttpServer {
public:
    using RequestLog = std::function<void(const Request&, int status)>;
    using Log = std::function<void(const std::string&)>;

    HttpServer(const Router& router, Limits limits, RequestLog requestLog, Log log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Returns the bound port (port 0 picks a free one), or -1 with the reason in `error`.
    int bind(const std::string& host, int port, std::string& error);
    // Serves until stop(); call once, after bind().
    void run();
    // Safe from any thread; open connections are closed and handlers in progress finish.
    void stop();
    bool isRunning() const;

    std::size_t openConnections() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vault::http
