#include "HttpServer.h"

#include "Connection.h"
#include "WorkerPool.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace asio = boost::asio;
using boost::system::error_code;

namespace vault::http {

namespace {

std::size_t heavyWorkerCount(const Limits& limits) {
    if (limits.heavyWorkers > 0)
        return limits.heavyWorkers;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 1 ? cores - 1 : 1;
}

} // namespace

struct HttpServer::State {
    State(const Router& r, Limits l, RequestLog requestLog, Log logLine)
        : limits(std::move(l))
        , context{r,
                  limits,
                  workers,
                  heavyWorkers,
                  std::move(requestLog),
                  std::move(logLine),
                  [this](Connection* c) { forget(c); },
                  stopping}
        , workers(limits.maxWorkers)
        , heavyWorkers(heavyWorkerCount(limits)) {}

    void accept();
    void forget(Connection* connection) {
        std::lock_guard lock(mutex);
        connections.erase(connection);
    }

    // Declared first, destroyed last: connections still queued in it unregister here.
    mutable std::mutex mutex;
    std::unordered_map<Connection*, std::weak_ptr<Connection>> connections;
    Limits limits;
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};
    bool acceptFailureLogged = false;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    ConnectionContext context;
    // Destroyed first: their last tasks use the context and post to the I/O context.
    WorkerPool workers;
    WorkerPool heavyWorkers;
};

void HttpServer::State::accept() {
    acceptor.async_accept(asio::make_strand(io), [this](error_code error, asio::ip::tcp::socket socket) {
        if (stopping || !acceptor.is_open())
            return;
        if (error) {
            // Out of descriptors, most likely: wait a little instead of spinning on accept.
            if (!acceptFailureLogged)
                context.log("[vault] cannot accept connections: " + error.message());
            acceptFailureLogged = true;
            acceptRetry.expires_after(std::chrono::milliseconds(100));
            acceptRetry.async_wait([this](error_code e) {
                if (!e)
                    accept();
            });
            return;
        }
        acceptFailureLogged = false;
        std::shared_ptr<Connection> connection;
        {
            std::lock_guard lock(mutex);
            if (connections.size() < limits.maxConnections) {
                connection = std::make_shared<Connection>(std::move(socket), context);
                connections.emplace(connection.get(), connection);
            }
        }
        if (connection)
            connection->start();
        accept();
    });
}

HttpServer::HttpServer(const Router& router, Limits limits, RequestLog requestLog, Log log)
    : m_state(std::make_unique<State>(router, std::move(limits), std::move(requestLog), std::move(log))) {}

HttpServer::~HttpServer() {
    stop();
}

int HttpServer::bind(const std::string& host, int port, std::string& error) {
    error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) {
        error = "not an IP address: " + host;
        return -1;
    }
    auto& acceptor = m_state->acceptor;
    const asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol(), ec);
    // Address reuse lets a restart bind while old connections linger in TIME_WAIT; it never
    // lets two listeners share a port (that would be SO_REUSEPORT, which stays off).
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(m_state->limits.listenBacklog, ec);
    if (ec) {
        error = ec == asio::error::address_in_use ? std::string("address already in use") : ec.message();
        acceptor.close(ec);
        return -1;
    }
    return acceptor.local_endpoint().port();
}

void HttpServer::run() {
    auto& state = *m_state;
    // A stop() that came first has its closing work queued already; nothing may keep the
    // context alive past it.
    if (!state.stopping)
        state.work.emplace(asio::make_work_guard(state.io));
    state.accept();
    state.running = true;
    std::vector<std::thread> threads;
    for (int i = 1; i < state.limits.ioThreads; ++i)
        threads.emplace_back([&state] { state.io.run(); });
    state.io.run();
    for (auto& thread : threads)
        thread.join();
    state.running = false;
}

void HttpServer::stop() {
    auto& state = *m_state;
    if (state.stopping.exchange(true))
        return;
    asio::post(state.io, [&state] {
        error_code ignored;
        state.acceptor.close(ignored);
        state.acceptRetry.cancel();
        std::vector<std::shared_ptr<Connection>> open;
        {
            std::lock_guard lock(state.mutex);
            for (auto& [raw, weak] : state.connections)
                if (auto connection = weak.lock())
                    open.push_back(std::move(connection));
        }
        for (auto& connection : open)
            connection->close();
        // run() returns once the closes and the handlers still at work are done.
        state.work.reset();
    });
}

bool HttpServer::isRunning() const {
    return m_state->running;
}

std::size_t HttpServer::openConnections() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->connections.size();
}

} // namespace vault::http
