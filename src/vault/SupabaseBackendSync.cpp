// The application backend's upload path: ask first (the household may already hold the
// content), put the bytes where the backend says, then confirm.
#include "vault/SupabaseClient.h"

#include "platform/VaultError.h"
#include "vault/MediaTypes.h"
#include "vault/VaultHttp.h"
#include "vault/VaultJson.h"

#include <QFileInfo>
#include <QtConcurrent/QtConcurrent>

namespace {

VaultError quotaError(const HttpResponse& response) {
    const auto body = VaultJson::parseObject(response.body);
    std::optional<QString> message =
        body ? VaultJson::string(*body, QStringLiteral("message")) : std::nullopt;
    // An empty message would leave the user with a blank alert.
    if (!message || message->trimmed().isEmpty())
        message = QStringLiteral("Household quota exceeded. Please upgrade plan.");
    return VaultError(QStringLiteral("OrlavantQuota"), response.status, *message);
}

} // namespace

QFuture<DeduplicateResult> SupabaseClient::syncToCloudVault(const QString& filePath, const QString& fileHash,
                                                            qint64 fileSize, const QString& relativePath,
                                                            const QString& deviceName,
                                                            const std::optional<QString>& deviceId,
                                                            const QString& folderPath) {
    Q_UNUSED(relativePath); // the backend places files by digest and folder, not by this path
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [=, this]() -> DeduplicateResult {
        if (!state.session)
            throw VaultError(QStringLiteral("OrlavantAuth"), 401, QStringLiteral("Authentication required"));
        const QFileInfo file(filePath);
        const QString mimeType = mimeTypeFor(file.suffix());
        const QString fileName = file.fileName();
        const QString device = deviceId.value_or(deviceName);
        const QString token = state.session->accessToken;
        QJsonObject description{
            {QStringLiteral("file_hash"), fileHash}, {QStringLiteral("file_size"), fileSize},
            {QStringLiteral("filename"), fileName},  {QStringLiteral("folder_path"), folderPath},
            {QStringLiteral("device_id"), device},   {QStringLiteral("mime_type"), mimeType},
        };

        const auto preUploadUrl =
            VaultHttp::join(state.backendBaseUrl, QStringLiteral("/api/files/pre-upload"));
        if (!preUploadUrl)
            throw VaultError::url(VaultError::BadUrl);
        HttpRequest preUpload = VaultHttp::backendRequest("POST", *preUploadUrl, token);
        VaultHttp::setJsonBody(preUpload, description);
        const HttpResponse answer = sendAuthorized(std::move(preUpload), state, Audience::Backend);
        if (answer.status == 402 || answer.status == 403)
            throw quotaError(answer);
        if (answer.status != 200)
            throw VaultError::url(VaultError::BadServerResponse);
        const auto reply = VaultJson::parseObject(answer.body);
        if (!reply)
            throw VaultError::url(VaultError::BadServerResponse,
                                  QStringLiteral("The vault's pre-upload reply is not a JSON object."));
        const QJsonValue deduplicated = reply->value(QStringLiteral("deduplicated"));
        if (deduplicated.isBool() && deduplicated.toBool())
            return DeduplicateResult{true, QStringLiteral("Deduplicated across Home vault"), std::nullopt};
        const std::optional<QString> uploadText = VaultJson::string(*reply, QStringLiteral("upload_url"));
        const std::optional<QUrl> uploadUrl = uploadText ? VaultHttp::parseUrl(*uploadText) : std::nullopt;
        const std::optional<QString> storageKey = VaultJson::string(*reply, QStringLiteral("storage_key"));
        if (!uploadUrl || !storageKey)
            throw VaultError::url(VaultError::BadServerResponse,
                                  QStringLiteral("The vault gave no usable upload location."));

        // The location is pre-signed: it carries its own authorisation, so no token goes with it.
        HttpRequest upload = VaultHttp::backendRequest("PUT", *uploadUrl, std::nullopt);
        upload.setHeader("Content-Type", mimeType.toUtf8());
        upload.bodyFile = filePath;
        if (!VaultHttp::isSuccess(send(std::move(upload))))
            throw VaultError::url(VaultError::CannotCreateFile);

        const auto confirmUrl = VaultHttp::join(state.backendBaseUrl, QStringLiteral("/api/files/confirm"));
        if (!confirmUrl)
            throw VaultError::url(VaultError::BadUrl);
        description.insert(QStringLiteral("storage_key"), *storageKey);
        HttpRequest confirm = VaultHttp::backendRequest("POST", *confirmUrl, token);
        VaultHttp::setJsonBody(confirm, description);
        if (!VaultHttp::isSuccess(sendAuthorized(std::move(confirm), state, Audience::Backend)))
            throw VaultError::url(VaultError::BadServerResponse);
        return DeduplicateResult{false, QStringLiteral("Uploaded to Home cloud vault"), std::nullopt};
    });
}
