// The hosted project's storage bucket: uploads streamed from disk, signed download links, and
// downloads that replace their destination only when complete.
#include "vault/SupabaseClient.h"

#include "platform/VaultError.h"
#include "vault/VaultHttp.h"
#include "vault/VaultJson.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrent>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const QString Bucket = QStringLiteral("orlavant-files");

// The storage service reports an existing object either as HTTP 409 or, in the form most
// deployments use, as HTTP 400 with the code inside the body.
bool alreadyStored(const HttpResponse& response) {
    if (response.status == 409)
        return true;
    if (response.status != 400)
        return false;
    const auto body = VaultJson::parseObject(response.body);
    return body && VaultJson::string(*body, QStringLiteral("statusCode")) == QStringLiteral("409");
}

// The permissions a newly created file gets from this process's umask, since the temporary file
// starts user-only. Read from /proc: umask() can only be read by changing it, which would race
// every other thread creating files.
QFileDevice::Permissions newFilePermissions() {
    int umask = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const int value = line.mid(6).trimmed().toInt(&ok, 8);
                if (ok)
                    umask = value;
            }
        }
    }
    const int mode = 0666 & ~umask;
    QFileDevice::Permissions permissions;
    if (mode & 0400)
        permissions |= QFileDevice::ReadOwner | QFileDevice::ReadUser;
    if (mode & 0200)
        permissions |= QFileDevice::WriteOwner | QFileDevice::WriteUser;
    if (mode & 0040)
        permissions |= QFileDevice::ReadGroup;
    if (mode & 0020)
        permissions |= QFileDevice::WriteGroup;
    if (mode & 0004)
        permissions |= QFileDevice::ReadOther;
    if (mode & 0002)
        permissions |= QFileDevice::WriteOther;
    return permissions;
}

} // namespace

// A broken transfer must never cost the user the file already there: the reply goes to a
// temporary file beside the destination, renamed over it only after a complete 200.
bool SupabaseClient::downloadInto(HttpRequest request, const QString& destinationPath,
                                  const Snapshot* state) {
    const QFileInfo destination(destinationPath);
    request.saveToDirectory = destination.absolutePath();
    // Uncompressed, so that the announced length is the length of what we keep.
    request.setHeader("Accept-Encoding", "identity");
    const HttpResponse response =
        state ? sendAuthorized(std::move(request), *state, Audience::Hosted) : send(std::move(request));
    if (response.status != 200) {
        QFile::remove(response.bodyFilePath);
        return false;
    }
    // A connection closed early can still end as a 200 reply; only the length tells.
    const QByteArray announced = response.header("Content-Length");
    const QByteArray encoding = response.header("Content-Encoding");
    if (!announced.isEmpty() && (encoding.isEmpty() || encoding == "identity") &&
        announced.trimmed().toLongLong() != QFileInfo(response.bodyFilePath).size()) {
        QFile::remove(response.bodyFilePath);
        throw VaultError::url(VaultError::NetworkConnectionLost);
    }
    const QString target = destination.absoluteFilePath();
    QFile::setPermissions(response.bodyFilePath,
                          destination.exists() ? QFile::permissions(target) : newFilePermissions());
    if (std::rename(QFile::encodeName(response.bodyFilePath).constData(),
                    QFile::encodeName(target).constData()) != 0) {
        const int error = errno;
        QFile::remove(response.bodyFilePath);
        throw VaultError(VaultError::FileDomain, QFileDevice::RenameError,
                         QStringLiteral("“%1” couldn’t be saved: %2")
                             .arg(destination.fileName(), QString::fromLocal8Bit(std::strerror(error))));
    }
    return true;
}

QFuture<bool> SupabaseClient::uploadToStorage(const QString& localPath, const QString& remotePath,
                                              const QString& mimeType) {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [this, state, localPath, remotePath, mimeType] {
        if (!state.session)
            throw VaultHttp::notLoggedIn();
        const auto url = VaultHttp::join(state.supabaseUrl, QStringLiteral("/storage/v1/object/") + Bucket +
                                                                QLatin1Char('/') +
                                                                VaultHttp::encodeObjectPath(remotePath));
        if (!url)
            throw VaultError::url(VaultError::BadUrl);
        HttpRequest request =
            VaultHttp::hostedRequest("POST", *url, state.anonKey, state.session->accessToken);
        request.setHeader("Content-Type", mimeType.toUtf8());
        request.setHeader("x-upsert", "false");
        request.bodyFile = localPath;
        const HttpResponse response = sendAuthorized(std::move(request), state, Audience::Hosted);
        return response.status == 200 || response.status == 201 || alreadyStored(response);
    });
}

QFuture<std::optional<QUrl>> SupabaseClient::getSignedDownloadUrl(const QString& filePath) {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [this, state, filePath]() -> std::optional<QUrl> {
        if (!state.session)
            return std::nullopt;
        const auto url =
            VaultHttp::join(state.supabaseUrl, QStringLiteral("/storage/v1/object/sign/") + Bucket +
                                                   QLatin1Char('/') + VaultHttp::encodeObjectPath(filePath));
        if (!url)
            return std::nullopt;
        HttpRequest request =
            VaultHttp::hostedRequest("POST", *url, state.anonKey, state.session->accessToken);
        VaultHttp::setJsonBody(request, {{QStringLiteral("expiresIn"), 3600}});
        const HttpResponse response = sendAuthorized(std::move(request), state, Audience::Hosted);
        if (response.status != 200)
            return std::nullopt;
        const auto body = VaultJson::parseObject(response.body);
        const std::optional<QString> signedUrl =
            body ? VaultJson::string(*body, QStringLiteral("signedURL")) : std::nullopt;
        if (!signedUrl)
            return std::nullopt;
        // The service answers with a link relative to its storage root unless configured otherwise.
        if (signedUrl->startsWith(QLatin1String("http")))
            return VaultHttp::parseUrl(*signedUrl);
        return VaultHttp::parseUrl(state.supabaseUrl + QStringLiteral("/storage/v1") + *signedUrl);
    });
}

QFuture<bool> SupabaseClient::downloadFile(const QString& filePath, const QString& destinationPath) {
    return getSignedDownloadUrl(filePath).then(
        &m_pool, [this, filePath, destinationPath](std::optional<QUrl> link) {
            if (!link)
                return downloadDirectStream(filePath, destinationPath);
            HttpRequest request;
            request.url = *link;
            request.timeout = VaultHttp::LinkTimeout;
            return downloadInto(std::move(request), destinationPath, nullptr);
        });
}

bool SupabaseClient::downloadDirectStream(const QString& filePath, const QString& destinationPath) {
    const Snapshot state = snapshot();
    if (!state.session)
        return false;
    const auto url =
        VaultHttp::join(state.supabaseUrl, QStringLiteral("/storage/v1/object/authenticated/") + Bucket +
                                               QLatin1Char('/') + VaultHttp::encodeObjectPath(filePath));
    if (!url)
        return false;
    return downloadInto(VaultHttp::hostedRequest("GET", *url, state.anonKey, state.session->accessToken),
                        destinationPath, &state);
}
