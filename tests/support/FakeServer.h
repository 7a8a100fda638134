#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

// A real HTTP server on an ephemeral 127.0.0.1 port, scripted per test: routes answer with
// fixed or computed replies, can be delayed or hang until the server stops, and every request
// is recorded for assertions.
class FakeServer {
public:
    struct Request {
        QByteArray method;
        QByteArray path;                                      // without the query
        QByteArray target;                                    // path and query as sent
        std::multimap<std::string, std::string> headersLower; // names in lower case
        QByteArray body;

        QByteArray header(const QByteArray& name) const; // empty when absent
        bool hasHeader(const QByteArray& name) const;
        QByteArray query(const QByteArray& key) const; // decoded value of a query parameter
    };
    struct Reply {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        std::vector<std::pair<std::string, std::string>> headers;
        int delayMs = 0;
        bool hang = false; // never answer (until the server stops)

        static Reply json(int status, const QByteArray& body) {
            Reply reply;
            reply.status = status;
            reply.body = body;
            return reply;
        }
        static Reply text(int status, const QByteArray& body) {
            Reply reply = json(status, body);
            reply.contentType = "text/plain";
            return reply;
        }
    };
    using Handler = std::function<Reply(const Request&)>;

    FakeServer();
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int port() const { return m_port; }
    QString baseUrl() const; // "http://127.0.0.1:<port>"
    QUrl url(const QString& path) const;

    // Routes match the method and the exact path (without query). Later routes replace earlier
    // ones for the same method and path. Unrouted requests answer 404 {"error":"no route"}.
    void on(const QByteArray& method, const QByteArray& path, Reply reply);
    void on(const QByteArray& method, const QByteArray& path, Handler handler);
    // Routes matching every path that starts with `prefix`.
    void onPrefix(const QByteArray& method, const QByteArray& prefix, Handler handler);

    QList<Request> requests() const;
    QList<Request> requests(const QByteArray& method, const QByteArray& path) const;
    int requestCount() const;
    void clearRequests();

    // A URL on 127.0.0.1 where nothing listens (connections are refused).
    static QString refusedBaseUrl();

private:
    Reply dispatch(const Request& request);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    std::map<std::pair<QByteArray, QByteArray>, Handler> m_routes;
    std::vector<std::tuple<QByteArray, QByteArray, Handler>> m_prefixRoutes;
    QList<Request> m_requests;
};
