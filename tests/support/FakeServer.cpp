#include "support/FakeServer.h"

#include <QUrlQuery>
#include <httplib.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

QByteArray FakeServer::Request::header(const QByteArray& name) const {
    const auto it = headersLower.find(name.toLower().toStdString());
    return it == headersLower.end() ? QByteArray() : QByteArray::fromStdString(it->second);
}

bool FakeServer::Request::hasHeader(const QByteArray& name) const {
    return headersLower.count(name.toLower().toStdString()) > 0;
}

QByteArray FakeServer::Request::query(const QByteArray& key) const {
    const int mark = target.indexOf('?');
    if (mark < 0)
        return {};
    const QUrlQuery q(QString::fromUtf8(target.mid(mark + 1)));
    return q.queryItemValue(QString::fromUtf8(key), QUrl::FullyDecoded).toUtf8();
}

FakeServer::FakeServer()
    : m_server(std::make_unique<httplib::Server>()) {
    auto handle = [this](const httplib::Request& req, httplib::Response& res) {
        Request request;
        request.method = QByteArray::fromStdString(req.method);
        request.path = QByteArray::fromStdString(req.path);
        request.target = QByteArray::fromStdString(req.target);
        for (const auto& [name, value] : req.headers)
            request.headersLower.emplace(QByteArray::fromStdString(name).toLower().toStdString(), value);
        request.body = QByteArray::fromStdString(req.body);
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(request);
        }
        const Reply reply = dispatch(request);
        if (reply.hang || reply.delayMs > 0) {
            std::unique_lock lock(m_mutex);
            if (reply.hang)
                m_stopped.wait(lock, [this] { return m_stopping; });
            else
                m_stopped.wait_for(lock, std::chrono::milliseconds(reply.delayMs),
                                   [this] { return m_stopping; });
            if (m_stopping && reply.hang)
                return;
        }
        res.status = reply.status;
        // Close after each reply: an idle keep-alive connection would hold the server's
        // shutdown for the library's keep-alive time-out (seconds per test).
        res.set_header("Connection", "close");
        for (const auto& [name, value] : reply.headers)
            res.set_header(name, value);
        res.set_content(reply.body.toStdString(), reply.contentType.toStdString());
    };
    m_server->Get(".*", handle).Post(".*", handle).Put(".*", handle).Patch(".*", handle).Delete(".*", handle);
    m_server->set_keep_alive_max_count(1000);
    // A connection opened while the server stops would otherwise hold the shutdown for the
    // library's default read time-out (5 s); on loopback a second between bytes is plenty.
    m_server->set_read_timeout(1, 0);
    m_server->set_keep_alive_timeout(1);
    m_port = m_server->bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() does nothing until the accept loop runs, so a server destroyed right after it was
    // made would leave that loop running forever: wait for it to start.
    while (!m_server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeServer::~FakeServer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

QString FakeServer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QUrl FakeServer::url(const QString& path) const {
    return QUrl(baseUrl() + path);
}

void FakeServer::on(const QByteArray& method, const QByteArray& path, Reply reply) {
    on(method, path, [reply](const Request&) { return reply; });
}

void FakeServer::on(const QByteArray& method, const QByteArray& path, Handler handler) {
    std::lock_guard lock(m_mutex);
    m_routes[{method, path}] = std::move(handler);
}

void FakeServer::onPrefix(const QByteArray& method, const QByteArray& prefix, Handler handler) {
    std::lock_guard lock(m_mutex);
    m_prefixRoutes.emplace_back(method, prefix, std::move(handler));
}

FakeServer::Reply FakeServer::dispatch(const Request& request) {
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_routes.find({request.method, request.path});
        if (it != m_routes.end()) {
            handler = it->second;
        } else {
            for (auto p = m_prefixRoutes.rbegin(); p != m_prefixRoutes.rend(); ++p) {
                if (std::get<0>(*p) == request.method && request.path.startsWith(std::get<1>(*p))) {
                    handler = std::get<2>(*p);
                    break;
                }
            }
        }
    }
    if (!handler)
        return Reply::json(404, R"({"error":"no route"})");
    return handler(request);
}

QList<FakeServer::Request> FakeServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

QList<FakeServer::Request> FakeServer::requests(const QByteArray& method, const QByteArray& path) const {
    QList<Request> matching;
    for (const Request& request : requests()) {
        if (request.method == method && request.path == path)
            matching.append(request);
    }
    return matching;
}

int FakeServer::requestCount() const {
    std::lock_guard lock(m_mutex);
    return int(m_requests.size());
}

void FakeServer::clearRequests() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

QString FakeServer::refusedBaseUrl() {
    // A port bound for the whole process and never listened on: connections to it are refused,
    // and no other test process, running at the same time, can be handed it and answer there.
    static const quint16 port = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("cannot reserve a loopback port: %s", std::strerror(errno));
        return ntohs(address.sin_port);
    }();
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}
