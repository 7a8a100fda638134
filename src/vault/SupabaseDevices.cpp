// Telling the application backend about this computer and the folder it keeps. Best effort:
// a backend without these endpoints, or no backend at all, changes nothing for the caller.
#include "vault/SupabaseClient.h"

#include "platform/VaultError.h"
#include "vault/VaultHttp.h"

#include <QtConcurrent/QtConcurrent>

QFuture<void> SupabaseClient::registerDevice(const QString& deviceName, const QString& deviceType) {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [this, state, deviceName, deviceType] {
        if (!state.session)
            return;
        const auto url = VaultHttp::join(state.backendBaseUrl, QStringLiteral("/api/devices/register"));
        if (!url)
            return;
        HttpRequest request = VaultHttp::backendRequest("POST", *url, state.session->accessToken);
        VaultHttp::setJsonBody(request, {{QStringLiteral("device_name"), deviceName},
                                         {QStringLiteral("device_type"), deviceType},
                                         {QStringLiteral("app_version"), QStringLiteral("1.0.0")}});
        try {
            sendAuthorized(std::move(request), state, Audience::Backend);
        } catch (const VaultError&) {
        }
    });
}

QFuture<void> SupabaseClient::bindDeviceSyncFolder(const QString& deviceId, const QString& folderPath,
                                                   const QString& folderName) {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [this, state, deviceId, folderPath, folderName] {
        if (!state.session)
            return;
        // No URL can carry these as a name: they would address the parent path instead.
        if (deviceId.isEmpty() || deviceId == QLatin1String(".") || deviceId == QLatin1String(".."))
            return;
        // The id is the computer's name, which often holds spaces or quotes ("Jane's Laptop"):
        // escaped as one path segment, it always forms a URL and can never name another path.
        const auto url = VaultHttp::join(state.backendBaseUrl, QStringLiteral("/api/devices/") +
                                                                   VaultHttp::encodePathSegment(deviceId) +
                                                                   QStringLiteral("/sync-folder"));
        if (!url)
            return;
        HttpRequest request = VaultHttp::backendRequest("PUT", *url, state.session->accessToken);
        VaultHttp::setJsonBody(request, {{QStringLiteral("folder_path"), folderPath},
                                         {QStringLiteral("folder_name"), folderName}});
        try {
            sendAuthorized(std::move(request), state, Audience::Backend);
        } catch (const VaultError&) {
        }
    });
}
