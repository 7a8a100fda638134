#pragma once

#include "Limits.h"
#include "Router.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vault::http {

class WorkerPool;
class Connection;

// What every connection of one server shares.
struct ConnectionContext {
    const Router& router;
    const Limits& limits;
    WorkerPool& workers;
    WorkerPool& heavyWorkers;
    std::function<void(const Request&, int status)> requestLog;
    std::function<void(const std::string&)> log;
    std::function<void(Connection*)> closed;
    const std::atomic<bool>& stopping;
};

// One client connection, from its first byte to its close. Reading, parsing and writing run
// on the connection's strand of the server's I/O threads, each wait under a deadline; only
// the route handler runs on a worker thread, and a handler that reads its body waits for each
// piece the strand reads for it. A connection that only waits holds no thread.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(boost::asio::ip::tcp::socket socket, ConnectionContext& context);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    void close(); // from any thread

private:
    using Clock = std::chrono::steady_clock;
    enum class BodyError { None, Timeout, TooLarge, Malformed, Disconnected };
    struct Outgoing;

    void arm(Clock::time_point deadline);
    void disarm();

    void waitForRequest();
    void readHead();
    void onHead(boost::system::error_code error);
    void sendContinueThen(std::function<void()> next);
    void prefetchBody();
    void readBodyChunk(std::function<void(BodyError, std::size_t)> done);
    Clock::time_point bodyDeadline() const;
    BodyError classify(boost::system::error_code error) const;
    void dispatch();
    void runHandler();                           // on a worker thread
    bool pullBody(const BodyReceiver& receiver); // on a worker thread
    void finish(Response response);

    void refuse(int status, const std::string& message);
    void bodyRefusal(BodyError error);
    void respond(Response response, bool keepAlive, std::function<void()> then);
    void writeNext();
    void drainThenContinue();
    void lingerThenClose();
    void lingerRead();
    void closeNow();

    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    ConnectionContext& m_context;
    std::uint64_t m_deadlineGeneration = 0;
    bool m_timedOut = false;
    std::atomic<bool> m_closed{false}; // read by the handler's worker too

    boost::beast::flat_buffer m_buffer;
    std::optional<boost::beast::http::request_parser<boost::beast::http::buffer_body>> m_parser;
    std::unique_ptr<char[]> m_chunk; // one piece of a body, in or out
    Request m_request;
    const Router::Route* m_route = nullptr;
    bool m_keepAlive = false;
    bool m_isHead = false;
    unsigned m_version = 11;

    Clock::time_point m_bodyStart;
    std::uint64_t m_bodyReceived = 0;
    std::uint64_t m_ignoredBody = 0;
    std::string m_prefetched;
    bool m_bodyComplete = false;
    // The client waits for "100 Continue" before it sends its body and has not had it: set on
    // the strand before the handler runs, taken by the handler's first read, read again on the
    // strand once the handler is done.
    bool m_continuePending = false;
    BodyError m_bodyError = BodyError::None;
    std::uint64_t m_lingered = 0;

    std::unique_ptr<Outgoing> m_out;
};

} // namespace vault::http
