#pragma once

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <memory>
#include <utility>

class QThread;
class HttpWorker;

using HttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

struct HttpRequest {
    static constexpr qint64 DefaultMaxBodyBytes = 64 * 1024 * 1024;

    QByteArray method = "GET";
    QUrl url;
    HttpHeaders headers;
    // The body, unless bodyFile is set.
    QByteArray body;
    // When set, the body is streamed from this file with its exact length; it is never read
    // whole into memory. A file that shrinks during the transfer fails it.
    QString bodyFile;
    // Idle timeout: the request fails with TimedOut when no byte moves for this long.
    std::chrono::milliseconds timeout{60000};
    // Replies kept in memory larger than this fail with BadServerResponse instead of growing
    // without bound.
    qint64 maxBodyBytes = DefaultMaxBodyBytes;
    // When set, the reply body is streamed into a new temporary file in this directory
    // (whatever the status) and handed over in HttpResponse::bodyFilePath. The temporary file
    // is removed when the transfer fails.
    QString saveToDirectory;

    HttpRequest& setHeader(const QByteArray& name, const QByteArray& value);
};

struct HttpResponse {
    // The HTTP status code; 0 when the reply was not an HTTP response.
    int status = 0;
    HttpHeaders headers;
    QByteArray body;
    // The temporary file holding the body when HttpRequest::saveToDirectory was set. The
    // caller owns it: move it into place or remove it.
    QString bodyFilePath;

    bool isHttp() const { return status > 0; }
    QByteArray header(const QByteArray& name) const; // case-insensitive; empty when absent
};

// One network thread owning one QNetworkAccessManager, so connections are reused across the
// whole program. send() may be called from any thread. The future completes from the network
// thread with the response (any HTTP status), or fails with a VaultError in the URL error
// domain for transport failures: refused, unknown host, time-out, lost connection, invalid
// URL, unreadable body file, oversized reply.
class HttpClient : public QObject {
    Q_OBJECT
public:
    // File bodies sent at the same time; more wait their turn.
    static constexpr int MaxUploadsAtOnce = 16;

    explicit HttpClient(QObject* parent = nullptr);
    ~HttpClient() override;

    QFuture<HttpResponse> send(HttpRequest request);

    // Bytes of request bodies streamed from files that went out so far (for progress).
    qint64 fileBodyBytesSent() const { return m_fileBodyBytesSent.load(); }

    // Ends every request in flight as cancelled and fails every later one at once, so that
    // nothing waiting on the network holds up the program's shutdown. Also run on destruction.
    void shutdown();

private:
    std::atomic_bool m_shutDown{false};
    std::atomic<qint64> m_fileBodyBytesSent{0};
    // Requests whose body is a file block a thread of their own for the whole transfer.
    QThreadPool m_uploadPool;
    QThread* m_thread;
    HttpWorker* m_worker; // lives on m_thread
};
