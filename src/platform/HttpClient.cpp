#include "platform/HttpClient.h"

#include "platform/FileUpload.h"
#include "platform/VaultError.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QPromise>
#include <QSet>
#include <QTemporaryFile>
#include <QThread>
#include <QtConcurrent>

HttpRequest& HttpRequest::setHeader(const QByteArray& name, const QByteArray& value) {
    for (auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
            header.second = value;
            return *this;
        }
    }
    headers.append({name, value});
    return *this;
}

QByteArray HttpResponse::header(const QByteArray& name) const {
    for (const auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return {};
}

namespace {

bool isSendable(const QUrl& url) {
    return url.isValid() && !url.isRelative() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

VaultError transportError(QNetworkReply::NetworkError error, const QString& detail) {
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return VaultError::url(VaultError::CannotConnectToHost);
    case QNetworkReply::HostNotFoundError:
        return VaultError::url(VaultError::CannotFindHost);
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // how a transfer time-out ends a reply
        return VaultError::url(VaultError::TimedOut);
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return VaultError::url(VaultError::NetworkConnectionLost);
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::ProtocolInvalidOperationError:
        return VaultError::url(VaultError::BadUrl);
    case QNetworkReply::SslHandshakeFailedError:
        return VaultError::url(VaultError::SecureConnectionFailed);
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return VaultError::url(VaultError::BadServerResponse);
    default:
        return VaultError::url(VaultError::Unknown, detail);
    }
}

// One request in flight: everything that must be cleaned up together when it ends.
struct Transfer {
    std::shared_ptr<QPromise<HttpResponse>> promise;
    HttpRequest request;
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QTemporaryFile> saveFile;
    QByteArray buffer;
    std::optional<VaultError> failure; // set when we end the reply ourselves
};

} // namespace

class HttpWorker : public QObject {
public:
    void start(std::shared_ptr<QPromise<HttpResponse>> promise, HttpRequest request);
    // Ends every transfer as cancelled and refuses new ones.
    void abortAll();

private:
    void onReadyRead(Transfer* transfer);
    void onFinished(Transfer* transfer);
    void fail(Transfer* transfer, const VaultError& error);

    QNetworkAccessManager* manager();
    QNetworkAccessManager* m_manager = nullptr;
    QSet<Transfer*> m_transfers;
    bool m_closed = false;
};

QNetworkAccessManager* HttpWorker::manager() {
    // Created lazily so that it belongs to the network thread.
    if (!m_manager) {
        m_manager = new QNetworkAccessManager(this);
        // Never carry credentials to another origin on a redirect.
        m_manager->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
    }
    return m_manager;
}

void HttpWorker::start(std::shared_ptr<QPromise<HttpResponse>> promise, HttpRequest request) {
    if (m_closed) {
        promise->setException(VaultError::url(VaultError::Cancelled));
        promise->finish();
        return;
    }
    const QUrl url = request.url;
    if (!isSendable(url)) {
        promise->setException(VaultError::url(VaultError::BadUrl));
        promise->finish();
        return;
    }

    auto transfer = std::make_unique<Transfer>();
    transfer->promise = std::move(promise);
    transfer->request = std::move(request);
    const HttpRequest& req = transfer->request;

    QNetworkRequest netRequest(url);
    for (const auto& [name, value] : req.headers)
        netRequest.setRawHeader(name, value);
    netRequest.setTransferTimeout(int(req.timeout.count()));
    netRequest.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    if (!req.saveToDirectory.isEmpty()) {
        transfer->saveFile =
            std::make_unique<QTemporaryFile>(req.saveToDirectory + QStringLiteral("/.orlavant-XXXXXX.part"));
        if (!transfer->saveFile->open()) {
            transfer->promise->setException(
                VaultError::url(VaultError::CannotCreateFile,
                                QStringLiteral("Could not create a file in %1: %2")
                                    .arg(req.saveToDirectory, transfer->saveFile->errorString())));
            transfer->promise->finish();
            return;
        }
    }

    QNetworkReply* reply = nullptr;
    if (!req.body.isEmpty() || req.method != "GET") {
        reply = manager()->sendCustomRequest(netRequest, req.method, req.body);
    } else {
        reply = manager()->get(netRequest);
    }
    transfer->reply = reply;

    Transfer* raw = transfer.release();
    m_transfers.insert(raw);
    connect(reply, &QNetworkReply::readyRead, this, [this, raw] { onReadyRead(raw); });
    connect(reply, &QNetworkReply::finished, this, [this, raw] { onFinished(raw); });
}

void HttpWorker::onReadyRead(Transfer* transfer) {
    if (transfer->failure)
        return;
    QNetworkReply* reply = transfer->reply;
    const QByteArray chunk = reply->readAll();
    if (transfer->saveFile) {
        if (transfer->saveFile->write(chunk) != chunk.size()) {
            fail(transfer, VaultError::url(VaultError::CannotCreateFile,
                                           QStringLiteral("Could not write the downloaded file: %1")
                                               .arg(transfer->saveFile->errorString())));
        }
        return;
    }
    if (transfer->buffer.size() + chunk.size() > transfer->request.maxBodyBytes) {
        fail(transfer, VaultError::url(VaultError::BadServerResponse,
                                       QStringLiteral("The server's reply is larger than %1 MiB.")
                                           .arg(transfer->request.maxBodyBytes / (1024 * 1024))));
        return;
    }
    transfer->buffer.append(chunk);
}

void HttpWorker::fail(Transfer* transfer, const VaultError& error) {
    transfer->failure = error;
    if (transfer->reply)
        transfer->reply->abort(); // finished() follows and settles the promise
}

void HttpWorker::onFinished(Transfer* transfer) {
    std::unique_ptr<Transfer> owned(transfer);
    m_transfers.remove(transfer);
    QNetworkReply* reply = transfer->reply;
    reply->deleteLater();
    if (!transfer->failure && reply->isOpen())
        onReadyRead(transfer); // whatever arrived with the last signal

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    std::optional<VaultError> error = transfer->failure;
    // An HTTP error status is an answer, not a transport failure; but a connection or protocol
    // failure after the status line (a body cut short, a bad encoding) leaves a partial body
    // that must never pass as the answer.
    const int code = int(reply->error());
    const bool transportFailure =
        (code >= 1 && code <= 199) || reply->error() == QNetworkReply::ProtocolFailure;
    if (!error && reply->error() != QNetworkReply::NoError && (!status.isValid() || transportFailure))
        error = transportError(reply->error(), reply->errorString());
    if (!error && transfer->saveFile && !transfer->saveFile->flush())
        error = VaultError::url(VaultError::CannotCreateFile, transfer->saveFile->errorString());

    if (error) {
        if (transfer->saveFile)
            transfer->saveFile->remove();
        transfer->promise->setException(*error);
        transfer->promise->finish();
        return;
    }

    HttpResponse response;
    response.status = status.toInt();
    for (const auto& [name, value] : reply->rawHeaderPairs())
        response.headers.append({name, value});
    response.body = std::move(transfer->buffer);
    if (transfer->saveFile) {
        transfer->saveFile->setAutoRemove(false);
        response.bodyFilePath = transfer->saveFile->fileName();
        transfer->saveFile->close();
    }
    transfer->promise->addResult(std::move(response));
    transfer->promise->finish();
}

void HttpWorker::abortAll() {
    m_closed = true;
    const auto transfers = m_transfers;
    for (Transfer* transfer : transfers)
        fail(transfer, VaultError::url(VaultError::Cancelled));
    delete m_manager;
    m_manager = nullptr;
}

HttpClient::HttpClient(QObject* parent)
    : QObject(parent)
    , m_thread(new QThread)
    , m_worker(new HttpWorker) {
    m_thread->setObjectName(QStringLiteral("store.orlavant.mac.network"));
    // An upload holds its thread until the reply is in: with the pool's default of one thread
    // per core, a pass's transfers would wait on each other for no reason.
    m_uploadPool.setMaxThreadCount(MaxUploadsAtOnce);
    m_worker->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
}

void HttpClient::shutdown() {
    if (m_shutDown.exchange(true))
        return;
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->abortAll(); }, Qt::BlockingQueuedConnection);
}

HttpClient::~HttpClient() {
    shutdown();
    m_uploadPool.waitForDone(); // uploads notice the shutdown within a second
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

QFuture<HttpResponse> HttpClient::send(HttpRequest request) {
    if (!request.bodyFile.isEmpty()) {
        if (m_shutDown || !isSendable(request.url)) {
            return QtFuture::makeExceptionalFuture<HttpResponse>(
                VaultError::url(m_shutDown ? VaultError::Cancelled : VaultError::BadUrl));
        }
        return QtConcurrent::run(&m_uploadPool, [this, request = std::move(request)] {
            return sendFileBody(request, m_shutDown, m_fileBodyBytesSent);
        });
    }
    auto promise = std::make_shared<QPromise<HttpResponse>>();
    // Started here, not on the network thread: a caller that waits at once must find the
    // future running, or result() returns before there is one.
    promise->start();
    QFuture<HttpResponse> future = promise->future();
    QMetaObject::invokeMethod(
        m_worker,
        [worker = m_worker, promise, request = std::move(request)]() mutable {
            worker->start(std::move(promise), std::move(request));
        },
        Qt::QueuedConnection);
    return future;
}
