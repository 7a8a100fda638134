#include "Connection.h"

#include "WorkerPool.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>

#include <nlohmann/json.hpp>

#include <future>
#include <strings.h>
#include <unistd.h>
#include <utility>

namespace asio = boost::asio;
namespace bhttp = boost::beast::http;
using boost::system::error_code;

namespace vault::http {

namespace {

constexpr std::size_t chunkSize = 128 * 1024;
// A client that sent more than it may, and keeps sending, is read and dropped for this long
// (or this much) after its answer, so the answer is not lost to a reset.
constexpr auto lingerTime = std::chrono::seconds(2);
constexpr std::uint64_t lingerBytes = 16 << 20;

bool dropAll(const char*, std::size_t) {
    return true;
}

Response jsonMessage(int status, const std::string& message) {
    Response response;
    response.status = status;
    response.setContent(nlohmann::json{{"message", message}}.dump(), "application/json");
    return response;
}

bool lacksBody(int status) {
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

} // namespace

struct Connection::Outgoing {
    Response response;
    bhttp::response<bhttp::buffer_body> message;
    std::optional<bhttp::response_serializer<bhttp::buffer_body>> serializer;
    std::uint64_t offset = 0;
    std::uint64_t remaining = 0; // of the file body
    bool inMemoryPending = false;
    std::function<void()> then;
};

Connection::Connection(asio::ip::tcp::socket socket, ConnectionContext& context)
    : m_socket(std::move(socket))
    , m_timer(m_socket.get_executor())
    , m_context(context)
    , m_buffer(context.limits.maxHeadBytes + 64 * 1024) {
    error_code ignored;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    const auto remote = m_socket.remote_endpoint(ignored);
    m_request.remoteAddr = ignored ? std::string("-") : remote.address().to_string();
}

Connection::~Connection() = default;

void Connection::start() {
    asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->waitForRequest(); });
}

void Connection::close() {
    asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->closeNow(); });
}

void Connection::arm(Clock::time_point deadline) {
    const auto generation = ++m_deadlineGeneration;
    m_timedOut = false;
    m_timer.expires_at(deadline);
    m_timer.async_wait([self = shared_from_this(), generation](error_code error) {
        if (error || generation != self->m_deadlineGeneration || self->m_closed)
            return;
        // Cancelling keeps the socket open, so the refusal can still be written.
        self->m_timedOut = true;
        error_code ignored;
        self->m_socket.cancel(ignored);
    });
}

void Connection::disarm() {
    ++m_deadlineGeneration;
    m_timer.cancel();
}

void Connection::waitForRequest() {
    if (m_closed)
        return;
    if (m_context.stopping) {
        closeNow();
        return;
    }
    const auto& limits = m_context.limits;
    m_parser.emplace();
    m_parser->header_limit(static_cast<std::uint32_t>(limits.maxHeadBytes));
    m_parser->body_limit(limits.maxBodyBytes);
    const std::string remote = m_request.remoteAddr;
    m_request = Request{};
    m_request.remoteAddr = remote;
    m_route = nullptr;
    m_isHead = false;
    m_bodyReceived = m_ignoredBody = 0;
    m_prefetched.clear();
    m_bodyComplete = false;
    m_continuePending = false;
    m_bodyError = BodyError::None;
    m_chunk.reset();
    m_out.reset();
    if (m_buffer.size() > 0) {
        readHead(); // the client sent its next request already
        return;
    }
    // Nothing is held for a connection that only waits.
    m_buffer.shrink_to_fit();
    arm(Clock::now() + limits.idleTimeout);
    m_socket.async_read_some(m_buffer.prepare(1024),
                             [self = shared_from_this()](error_code error, std::size_t bytes) {
                                 self->disarm();
                                 self->m_buffer.commit(bytes);
                                 if (self->m_closed)
                                     return;
                                 if (error || bytes == 0) {
                                     self->closeNow(); // idle, or the client left
                                     return;
                                 }
                                 self->readHead();
                             });
}

void Connection::readHead() {
    // One deadline for the whole head from its first byte: trickling bytes do not extend it.
    arm(Clock::now() + m_context.limits.headTimeout);
    bhttp::async_read_header(m_socket, m_buffer, *m_parser,
                             [self = shared_from_this()](error_code error, std::size_t) {
                                 self->disarm();
                                 self->onHead(error);
                             });
}

void Connection::onHead(error_code error) {
    if (m_closed)
        return;
    const auto& limits = m_context.limits;
    if (error) {
        if (m_timedOut)
            refuse(408, "The request did not arrive in time");
        else if (error == bhttp::error::header_limit || error == bhttp::error::buffer_overflow)
            refuse(431, "The request head is larger than " + std::to_string(limits.maxHeadBytes) + " bytes");
        else if (error == bhttp::error::body_limit)
            refuse(413, "The request body is larger than this server accepts");
        else if (error == bhttp::error::end_of_stream || error == asio::error::eof ||
                 error == asio::error::connection_reset || error == asio::error::operation_aborted)
            closeNow();
        else
            refuse(400, "Malformed request: " + error.message());
        return;
    }
    const auto& head = m_parser->get();
    m_version = head.version();
    m_keepAlive = head.keep_alive();
    m_request.method = std::string(head.method_string());
    if (head.target().size() > limits.maxTargetBytes) {
        refuse(414, "The request target is longer than " + std::to_string(limits.maxTargetBytes) + " bytes");
        return;
    }
    std::size_t count = 0;
    for (const auto& field : head) {
        if (++count > limits.maxHeaderCount) {
            refuse(431, "The request has more than " + std::to_string(limits.maxHeaderCount) + " headers");
            return;
        }
        m_request.headers.emplace(std::string(field.name_string()), std::string(field.value()));
    }
    if (!m_request.setTarget(std::string_view(head.target().data(), head.target().size()))) {
        refuse(400, "The request path and query must be a path of valid UTF-8");
        return;
    }
    // A body whose last coding is not chunked has no length anyone can know: refused, as
    // reading it to the close would let it run on without end.
    if (m_request.hasHeader("Transfer-Encoding") && !m_parser->chunked()) {
        refuse(400, "Only the chunked transfer coding is accepted");
        return;
    }
    m_isHead = m_request.method == "HEAD";
    m_bodyStart = Clock::now();
    m_bodyComplete = m_parser->is_done();
    if (auto match = m_context.router.match(m_request.method, m_request.path)) {
        m_route = match->route;
        m_request.matches = std::move(match->captures);
    }
    const auto announced = m_parser->content_length();
    const bool readsBody = m_route && m_route->takesBody;
    // A body nobody will read is refused unread when it is announced as large.
    if (!readsBody && announced && *announced > limits.maxIgnoredBodyBytes) {
        refuse(413, "This request may not carry a body of that size");
        return;
    }
    if (m_bodyComplete) {
        dispatch();
        return;
    }
    const std::string expect = m_request.header("Expect");
    if (m_version < 11 || expect.size() != 12 || strncasecmp(expect.c_str(), "100-continue", 12) != 0) {
        prefetchBody();
        return;
    }
    // The client sends its body only once told to. The handler runs first and the word goes
    // when it starts reading, so a refusal (too large, over quota, a spent location) costs the
    // client none of the body. A heavy route's small body is still read ahead, so that its
    // work waits for a heavy thread with everything it needs.
    if (readsBody && m_route->cost.of(m_request) != Cost::Heavy) {
        m_continuePending = true;
        dispatch();
        return;
    }
    sendContinueThen([this] { prefetchBody(); });
}

void Connection::sendContinueThen(std::function<void()> next) {
    auto message = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, 11);
    arm(Clock::now() + m_context.limits.writeTimeout);
    bhttp::async_write(
        m_socket, *message,
        [self = shared_from_this(), message, next = std::move(next)](error_code error, std::size_t) {
            self->disarm();
            if (error)
                self->closeNow();
            // The body's time starts now, not while the handler was deciding. `next` runs
            // however the write ended (a handler may wait for it); on a closed connection its
            // read finds it closed.
            self->m_bodyStart = Clock::now();
            next();
        });
}

// Reads ahead of the handler: a body route gets its first piece (all of a small JSON body)
// before a worker is taken; a route without a body has what it was sent dropped here.
void Connection::prefetchBody() {
    const auto& limits = m_context.limits;
    readBodyChunk([this, self = shared_from_this(), &limits](BodyError error, std::size_t bytes) {
        const bool readsBody = m_route && m_route->takesBody;
        if (error != BodyError::None) {
            // The handler still runs and finds its body broken, as it would have while
            // reading it (an upload location that was started is spent); the server answers.
            if (readsBody)
                dispatch();
            else
                bodyRefusal(error);
            return;
        }
        if (readsBody) {
            m_prefetched.append(m_chunk.get(), bytes);
        } else if ((m_ignoredBody += bytes) > limits.maxIgnoredBodyBytes) {
            refuse(413, "This request may not carry a body of that size");
            return;
        }
        if (m_bodyComplete || (readsBody && m_prefetched.size() >= limits.bodyPrefetchBytes))
            dispatch();
        else
            prefetchBody();
    });
}

Connection::Clock::time_point Connection::bodyDeadline() const {
    const auto& limits = m_context.limits;
    // Average rate since the body began, never a stall longer than the grace.
    const auto earned = std::chrono::milliseconds(m_bodyReceived * 1000 /
                                                  std::max<std::uint64_t>(1, limits.minBodyBytesPerSecond));
    return std::min(m_bodyStart + limits.bodyGrace + earned, Clock::now() + limits.bodyGrace);
}

Connection::BodyError Connection::classify(error_code error) const {
    if (m_timedOut)
        return BodyError::Timeout;
    if (error == bhttp::error::body_limit)
        return BodyError::TooLarge;
    if (error == asio::error::eof || error == bhttp::error::end_of_stream ||
        error == bhttp::error::partial_message || error == asio::error::connection_reset ||
        error == asio::error::operation_aborted || error == asio::error::bad_descriptor)
        return BodyError::Disconnected;
    return BodyError::Malformed;
}

void Connection::readBodyChunk(std::function<void(BodyError, std::size_t)> done) {
    if (m_closed) {
        done(BodyError::Disconnected, 0);
        return;
    }
    if (!m_chunk)
        m_chunk = std::make_unique<char[]>(chunkSize);
    auto& body = m_parser->get().body();
    body.data = m_chunk.get();
    body.size = chunkSize;
    arm(bodyDeadline());
    bhttp::async_read_some(
        m_socket, m_buffer, *m_parser,
        [self = shared_from_this(), done = std::move(done)](error_code error, std::size_t) mutable {
            self->disarm();
            const std::size_t got = chunkSize - self->m_parser->get().body().size;
            if (error == bhttp::error::need_buffer)
                error = {};
            if (error || self->m_closed) {
                self->m_bodyError = self->m_closed ? BodyError::Disconnected : self->classify(error);
                done(self->m_bodyError, 0);
                return;
            }
            self->m_bodyReceived += got;
            self->m_bodyComplete = self->m_parser->is_done();
            if (got == 0 && !self->m_bodyComplete) {
                self->readBodyChunk(std::move(done)); // framing only, no body bytes yet
                return;
            }
            done(BodyError::None, got);
        });
}

void Connection::dispatch() {
    if (!m_route) {
        finish(jsonMessage(404, "Not found"));
        return;
    }
    // A heavy route whose body does not fit the read-ahead is one it will refuse: that
    // costs no hashing, and must not hold a heavy thread while the body trickles in.
    const bool heavy = m_route->cost.of(m_request) == Cost::Heavy && m_bodyComplete;
    auto& pool = heavy ? m_context.heavyWorkers : m_context.workers;
    pool.post([self = shared_from_this(), work = asio::make_work_guard(m_socket.get_executor())] {
        self->runHandler();
    });
}

void Connection::runHandler() {
    Response response;
    // A connection closed while its handler waited in the queue needs no answer.
    if (!m_closed) {
        try {
            const BodyReader reader([this](const BodyReceiver& receiver) { return pullBody(receiver); },
                                    [this] { return m_continuePending || pullBody(dropAll); });
            m_route->handler(m_request, response, reader);
        } catch (const std::exception& e) {
            m_context.log("[vault] internal error on " + m_request.method + " " + m_request.path + ": " +
                          e.what());
            response = jsonMessage(500, "Internal server error");
        } catch (...) {
            m_context.log("[vault] internal error on " + m_request.method + " " + m_request.path);
            response = jsonMessage(500, "Internal server error");
        }
    }
    asio::post(m_socket.get_executor(),
               [self = shared_from_this(), response = std::move(response)]() mutable {
                   self->finish(std::move(response));
               });
}

bool Connection::pullBody(const BodyReceiver& receiver) {
    bool askForBody = std::exchange(m_continuePending, false);
    if (!m_prefetched.empty()) {
        const std::string first = std::move(m_prefetched);
        m_prefetched.clear();
        if (!receiver(first.data(), first.size()))
            return false;
    }
    while (!m_bodyComplete) {
        if (m_bodyError != BodyError::None)
            return false;
        // Shared, so the strand may still be inside set_value() when this thread moves on.
        auto piece = std::make_shared<std::promise<std::pair<BodyError, std::size_t>>>();
        auto arrived = piece->get_future();
        auto read = [this, piece] {
            readBodyChunk([piece](BodyError error, std::size_t bytes) { piece->set_value({error, bytes}); });
        };
        if (std::exchange(askForBody, false))
            asio::post(m_socket.get_executor(), [this, read] { sendContinueThen(read); });
        else
            asio::post(m_socket.get_executor(), read);
        const auto [error, bytes] = arrived.get();
        if (error != BodyError::None)
            return false;
        if (bytes > 0 && !receiver(m_chunk.get(), bytes))
            return false;
    }
    return true;
}

void Connection::finish(Response response) {
    if (m_closed)
        return;
    if (m_bodyError != BodyError::None) {
        bodyRefusal(m_bodyError);
        return;
    }
    if (response.status >= 400 && response.body.empty() && !response.file())
        response = jsonMessage(response.status, response.status == 404 ? "Not found" : "Request refused");
    bool keepAlive = m_keepAlive && !m_context.stopping;
    bool drain = false;
    if (m_continuePending) {
        // Answered before the client was told to send its body: it may send it yet (clients
        // stop waiting after a while), so nothing after this answer could be told from it.
        keepAlive = false;
    } else if (!m_bodyComplete) {
        // What the handler left unread: dropped when it is small, else the connection ends.
        const auto remaining = m_parser->content_length_remaining();
        drain = remaining && *remaining <= m_context.limits.maxIgnoredBodyBytes;
        keepAlive = keepAlive && drain;
    }
    m_context.requestLog(m_request, response.status);
    respond(std::move(response), keepAlive, [this, keepAlive, drain] {
        if (!keepAlive)
            lingerThenClose();
        else if (drain)
            drainThenContinue();
        else
            waitForRequest();
    });
}

void Connection::bodyRefusal(BodyError error) {
    switch (error) {
    case BodyError::Timeout:
        refuse(408, "The request body did not arrive in time");
        break;
    case BodyError::TooLarge:
        refuse(413, "The request body is larger than this server accepts");
        break;
    case BodyError::Malformed:
        refuse(400, "The request body is malformed");
        break;
    case BodyError::None:
    case BodyError::Disconnected:
        closeNow();
        break;
    }
}

void Connection::refuse(int status, const std::string& message) {
    m_context.requestLog(m_request, status);
    respond(jsonMessage(status, message), false, [this] { lingerThenClose(); });
}

void Connection::respond(Response response, bool keepAlive, std::function<void()> then) {
    m_out = std::make_unique<Outgoing>();
    auto& out = *m_out;
    out.response = std::move(response);
    out.then = std::move(then);
    auto& message = out.message;
    message.version(m_version);
    message.result(static_cast<unsigned>(out.response.status));
    for (const auto& [name, value] : out.response.headers)
        message.insert(name, value);
    message.keep_alive(keepAlive);
    const auto* file = out.response.file();
    const std::uint64_t length = file ? file->length : out.response.body.size();
    if (!lacksBody(out.response.status))
        message.content_length(length);
    if (!m_isHead && !lacksBody(out.response.status)) {
        out.offset = file ? file->offset : 0;
        out.remaining = file ? file->length : 0;
        out.inMemoryPending = !file && length > 0;
    }
    message.body().data = nullptr;
    message.body().size = 0;
    message.body().more = out.remaining > 0 || out.inMemoryPending;
    out.serializer.emplace(message);
    writeNext();
}

void Connection::writeNext() {
    auto& out = *m_out;
    auto& body = out.message.body();
    if (out.remaining > 0) {
        if (!m_chunk)
            m_chunk = std::make_unique<char[]>(chunkSize);
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, out.remaining));
        const ssize_t got =
            ::pread(out.response.file()->fd, m_chunk.get(), want, static_cast<off_t>(out.offset));
        if (got <= 0) {
            m_context.log("[vault] could not read the body of " + m_request.method + " " + m_request.path);
            closeNow();
            return;
        }
        out.offset += static_cast<std::uint64_t>(got);
        out.remaining -= static_cast<std::uint64_t>(got);
        body.data = m_chunk.get();
        body.size = static_cast<std::size_t>(got);
        body.more = out.remaining > 0;
    } else if (out.inMemoryPending) {
        out.inMemoryPending = false;
        body.data = out.response.body.data();
        body.size = out.response.body.size();
        body.more = false;
    } else {
        body.data = nullptr;
        body.size = 0;
        body.more = false;
    }
    arm(Clock::now() + m_context.limits.writeTimeout);
    bhttp::async_write(m_socket, *out.serializer, [self = shared_from_this()](error_code error, std::size_t) {
        self->disarm();
        if (self->m_closed)
            return;
        if (error == bhttp::error::need_buffer)
            error = {};
        if (error) {
            self->closeNow();
            return;
        }
        if (!self->m_out->serializer->is_done()) {
            self->writeNext();
            return;
        }
        auto then = std::move(self->m_out->then);
        self->m_out.reset();
        then();
    });
}

void Connection::drainThenContinue() {
    if (m_bodyComplete) {
        waitForRequest();
        return;
    }
    readBodyChunk([self = shared_from_this()](BodyError error, std::size_t) {
        if (error != BodyError::None)
            self->closeNow();
        else
            self->drainThenContinue();
    });
}

void Connection::lingerThenClose() {
    if (m_closed)
        return;
    error_code ignored;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    if (!m_chunk)
        m_chunk = std::make_unique<char[]>(chunkSize);
    arm(Clock::now() + lingerTime);
    lingerRead();
}

void Connection::lingerRead() {
    // Under the one deadline set before the first read.
    m_socket.async_read_some(asio::buffer(m_chunk.get(), chunkSize),
                             [self = shared_from_this()](error_code error, std::size_t bytes) {
                                 self->m_lingered += bytes;
                                 if (error || self->m_lingered > lingerBytes) {
                                     self->closeNow();
                                     return;
                                 }
                                 self->lingerRead();
                             });
}

void Connection::closeNow() {
    if (m_closed)
        return;
    m_closed = true;
    disarm();
    error_code ignored;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
    m_context.closed(this);
}

} // namespace vault::http
