#include "platform/FileUpload.h"

#include "platform/VaultError.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QTemporaryFile>
#include <curl/curl.h>
#include <mutex>
#include <optional>

namespace {

struct Transfer {
    Transfer(const HttpRequest& request, const std::atomic_bool& cancelled, std::atomic<qint64>& bytesSent)
        : request(request)
        , cancelled(cancelled)
        , bytesSent(bytesSent) {}
    const HttpRequest& request;
    const std::atomic_bool& cancelled;
    std::atomic<qint64>& bytesSent;
    QFile file;
    qint64 remaining = 0;
    bool fileChanged = false;
    bool oversized = false;
    bool writeFailed = false;
    HttpHeaders headers;
    QByteArray body;
    std::unique_ptr<QTemporaryFile> saveFile;
};

size_t readBody(char* buffer, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const qint64 wanted = std::min<qint64>(qint64(size * count), transfer->remaining);
    if (wanted == 0)
        return 0;
    const qint64 got = transfer->file.read(buffer, wanted);
    if (got <= 0) {
        // The file shrank (or broke) after its length was announced: never send a short body
        // that the server would wait on, and never pass it off as the file.
        transfer->fileChanged = true;
        return CURL_READFUNC_ABORT;
    }
    transfer->remaining -= got;
    transfer->bytesSent += got;
    return size_t(got);
}

size_t writeBody(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const qint64 length = qint64(size * count);
    if (transfer->saveFile) {
        if (transfer->saveFile->write(data, length) != length) {
            transfer->writeFailed = true;
            return 0;
        }
        return size_t(length);
    }
    if (transfer->body.size() + length > transfer->request.maxBodyBytes) {
        transfer->oversized = true;
        return 0;
    }
    transfer->body.append(data, length);
    return size_t(length);
}

size_t readHeader(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    if (line.startsWith("HTTP/"))
        transfer->headers.clear(); // a new response (after an interim one) starts over
    const int colon = line.indexOf(':');
    if (colon > 0)
        transfer->headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    return size * count;
}

int progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(context)->cancelled.load() ? 1 : 0;
}

struct CurlProxy {
    QByteArray url;
    curl_proxytype type = CURLPROXY_HTTP;
    QByteArray user;
    QByteArray password;
};

// The proxy Qt's network stack takes for `url`: the application proxy (or factory) when one is
// set, else the system's (http_proxy, https_proxy, no_proxy); loopback addresses never go
// through one. nullopt: connect directly.
std::optional<CurlProxy> proxyFor(const QUrl& url) {
    const bool https = url.scheme() == QLatin1String("https");
    for (const QNetworkProxy& proxy : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url))) {
        CurlProxy chosen;
        switch (proxy.type()) {
        case QNetworkProxy::NoProxy:
            return std::nullopt;
        case QNetworkProxy::HttpProxy:
            chosen.type = CURLPROXY_HTTP;
            break;
        case QNetworkProxy::HttpCachingProxy:
            if (https)
                continue; // it cannot tunnel
            chosen.type = CURLPROXY_HTTP;
            break;
        case QNetworkProxy::Socks5Proxy:
            chosen.type = CURLPROXY_SOCKS5_HOSTNAME;
            break;
        default:
            continue;
        }
        const QString host =
            proxy.hostName().contains(u':') ? u'[' + proxy.hostName() + u']' : proxy.hostName();
        chosen.url = (host + u':' + QString::number(proxy.port())).toUtf8();
        chosen.user = proxy.user().toUtf8();
        chosen.password = proxy.password().toUtf8();
        return chosen;
    }
    return std::nullopt;
}

VaultError failure(CURLcode code, const Transfer& transfer) {
    const QString fileName = QFileInfo(transfer.request.bodyFile).fileName();
    switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return VaultError::url(VaultError::BadUrl);
    case CURLE_COULDNT_RESOLVE_HOST:
        return VaultError::url(VaultError::CannotFindHost);
    case CURLE_COULDNT_CONNECT:
        return VaultError::url(VaultError::CannotConnectToHost);
    case CURLE_OPERATION_TIMEDOUT:
        return VaultError::url(VaultError::TimedOut);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
        return VaultError::url(VaultError::SecureConnectionFailed);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return VaultError::url(VaultError::NetworkConnectionLost);
    case CURLE_WRITE_ERROR:
        if (transfer.oversized) {
            return VaultError::url(VaultError::BadServerResponse,
                                   QStringLiteral("The server's reply is larger than %1 MiB.")
                                       .arg(transfer.request.maxBodyBytes / (1024 * 1024)));
        }
        return VaultError::url(VaultError::CannotCreateFile);
    case CURLE_ABORTED_BY_CALLBACK:
        if (transfer.fileChanged) {
            return VaultError(
                VaultError::FileDomain, int(QFileDevice::ReadError),
                QStringLiteral("The file “%1” changed while it was being uploaded.").arg(fileName));
        }
        return VaultError::url(VaultError::Cancelled);
    default:
        return VaultError::url(VaultError::Unknown, QString::fromUtf8(curl_easy_strerror(code)));
    }
}

} // namespace

HttpResponse sendFileBody(const HttpRequest& request, const std::atomic_bool& cancelled,
                          std::atomic<qint64>& bytesSent) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    Transfer transfer(request, cancelled, bytesSent);
    transfer.file.setFileName(request.bodyFile);
    if (!transfer.file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        throw VaultError(VaultError::FileDomain, int(transfer.file.error()),
                         QStringLiteral("The file “%1” couldn’t be read: %2")
                             .arg(QFileInfo(request.bodyFile).fileName(), transfer.file.errorString()));
    }
    // The length announced is the file's length now; a file that grows meanwhile is sent as it
    // was, one that shrinks fails the transfer.
    transfer.remaining = transfer.file.size();
    if (!request.saveToDirectory.isEmpty()) {
        transfer.saveFile = std::make_unique<QTemporaryFile>(request.saveToDirectory +
                                                             QStringLiteral("/.orlavant-XXXXXX.part"));
        if (!transfer.saveFile->open())
            throw VaultError::url(VaultError::CannotCreateFile);
    }

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers)
        headers = curl_slist_append(headers, QByteArray(name + ": " + value).constData());
    // A large body waits for the server's word: one it refuses (too large, over quota, a spent
    // location) is then never read from disk nor sent. A small one is not worth the round trip.
    constexpr qint64 AskFirstBytes = 1 << 20;
    headers =
        curl_slist_append(headers, transfer.remaining >= AskFirstBytes ? "Expect: 100-continue" : "Expect:");
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);

    const QByteArray url = request.url.toEncoded();
    const long idleSeconds = std::max<long>(1, long((request.timeout.count() + 999) / 1000));
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.constData());
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, curl_off_t(transfer.remaining));
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, &readBody);
    curl_easy_setopt(handle, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &readHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // libcurl's own reading of the environment differs from Qt's (no application proxy, its own
    // no_proxy rules), so the proxy is always set here: "" means none.
    const std::optional<CurlProxy> proxy = proxyFor(request.url);
    curl_easy_setopt(handle, CURLOPT_PROXY, proxy ? proxy->url.constData() : "");
    if (proxy) {
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, long(proxy->type));
        if (!proxy->user.isEmpty()) {
            curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, proxy->user.constData());
            curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, proxy->password.constData());
        }
    }
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, long(request.timeout.count()));
    // The idle time-out: fail when less than one byte a second moves for that long.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, idleSeconds);
    curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);

    const CURLcode code = curl_easy_perform(handle);
    if (code != CURLE_OK) {
        if (transfer.saveFile)
            transfer.saveFile->remove();
        throw failure(code, transfer);
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);

    HttpResponse response;
    response.status = int(status);
    response.headers = std::move(transfer.headers);
    response.body = std::move(transfer.body);
    if (transfer.saveFile) {
        if (!transfer.saveFile->flush()) {
            transfer.saveFile->remove();
            throw VaultError::url(VaultError::CannotCreateFile);
        }
        transfer.saveFile->setAutoRemove(false);
        response.bodyFilePath = transfer.saveFile->fileName();
        transfer.saveFile->close();
    }
    return response;
}
