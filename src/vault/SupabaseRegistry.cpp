// The hosted project's `files` table: digest lookup, registration with server-side
// deduplication (and a plain insert when the procedure is unavailable), and the listing.
#include "vault/SupabaseClient.h"

#include "platform/HostName.h"
#include "platform/VaultError.h"
#include "vault/VaultHttp.h"
#include "vault/VaultJson.h"

#include <QtConcurrent/QtConcurrent>

QFuture<std::optional<SupabaseFileRecord>> SupabaseClient::checkHashExists(const QString& hash) {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [this, state, hash]() -> std::optional<SupabaseFileRecord> {
        if (!state.session)
            throw VaultHttp::notLoggedIn();
        const auto url = VaultHttp::join(state.supabaseUrl,
                                         QStringLiteral("/rest/v1/files?user_id=eq.") +
                                             state.session->userId + QStringLiteral("&file_hash=eq.") +
                                             VaultHttp::encodeQueryValue(hash) + QStringLiteral("&select=*"));
        if (!url)
            return std::nullopt;
        const HttpResponse response =
            sendAuthorized(VaultHttp::hostedRequest("GET", *url, state.anonKey, state.session->accessToken),
                           state, Audience::Hosted);
        if (response.status != 200)
            return std::nullopt;
        const QList<SupabaseFileRecord> rows = SupabaseFileRecord::listFromJson(response.body);
        if (rows.isEmpty())
            return std::nullopt;
        return rows.first();
    });
}

QFuture<DeduplicateResult> SupabaseClient::registerOrDeduplicate(const QString& hash, const QString& fileName,
                                                                 const QString& filePath, qint64 fileSize,
                                                                 const QString& mimeType,
                                                                 const QString& deviceName,
                                                                 const QString& folderPath) {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [=, this]() -> DeduplicateResult {
        if (!state.session)
            throw VaultHttp::notLoggedIn();
        const QString token = state.session->accessToken;

        if (const auto url = VaultHttp::join(state.supabaseUrl,
                                             QStringLiteral("/rest/v1/rpc/register_or_deduplicate_file"))) {
            HttpRequest request = VaultHttp::hostedRequest("POST", *url, state.anonKey, token);
            VaultHttp::setJsonBody(request, {
                                                {QStringLiteral("p_file_hash"), hash},
                                                {QStringLiteral("p_original_filename"), fileName},
                                                {QStringLiteral("p_file_path"), filePath},
                                                {QStringLiteral("p_file_size"), fileSize},
                                                {QStringLiteral("p_mime_type"), mimeType},
                                                {QStringLiteral("p_device_name"), deviceName},
                                                {QStringLiteral("p_device_type"), deviceType()},
                                                {QStringLiteral("p_folder_path"), folderPath},
                                            });
            try {
                const HttpResponse response = sendAuthorized(std::move(request), state, Audience::Hosted);
                if (response.status == 200) {
                    if (const auto reply = VaultJson::parseObject(response.body))
                        return DeduplicateResult::fromProcedureReply(*reply);
                }
            } catch (const VaultError&) {
                // Whatever went wrong with the procedure, the plain insert below may still work.
            }
        }

        const auto url = VaultHttp::join(state.supabaseUrl, QStringLiteral("/rest/v1/files"));
        if (!url)
            throw VaultError::url(VaultError::BadUrl);
        HttpRequest request = VaultHttp::hostedRequest("POST", *url, state.anonKey, token);
        request.setHeader("Prefer", "resolution=merge-duplicates,return=representation");
        VaultHttp::setJsonBody(request, {
                                            {QStringLiteral("user_id"), state.session->userId},
                                            {QStringLiteral("file_hash"), hash},
                                            {QStringLiteral("original_filename"), fileName},
                                            {QStringLiteral("file_path"), filePath},
                                            {QStringLiteral("file_size"), fileSize},
                                            {QStringLiteral("mime_type"), mimeType},
                                            {QStringLiteral("device_name"), deviceName},
                                            {QStringLiteral("device_type"), deviceType()},
                                            {QStringLiteral("folder_path"), folderPath},
                                        });
        const HttpResponse response = sendAuthorized(std::move(request), state, Audience::Hosted);
        if (response.status != 200 && response.status != 201)
            throw VaultError::url(VaultError::BadServerResponse);
        return DeduplicateResult::fromInsertReply(response.body);
    });
}

QFuture<QList<SupabaseFileRecord>> SupabaseClient::fetchAllUserFiles() {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [this, state] {
        if (!state.session)
            throw VaultHttp::notLoggedIn();
        const auto url = VaultHttp::join(
            state.supabaseUrl, QStringLiteral("/rest/v1/files?user_id=eq.") + state.session->userId +
                                   QStringLiteral("&order=created_at.desc&select=*"));
        if (!url)
            throw VaultError::url(VaultError::BadUrl);
        const HttpResponse response =
            sendAuthorized(VaultHttp::hostedRequest("GET", *url, state.anonKey, state.session->accessToken),
                           state, Audience::Hosted);
        if (response.status != 200)
            throw VaultError::url(VaultError::BadServerResponse);
        return SupabaseFileRecord::listFromJson(response.body);
    });
}
