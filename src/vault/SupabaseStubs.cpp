#include "vault/SupabaseClient.h"

#include "platform/VaultError.h"

#include <QtConcurrent/QtConcurrent>

namespace {
template <typename T> QFuture<T> notYet(QThreadPool* pool) {
    return QtConcurrent::run(pool, []() -> T {
        throw VaultError(QStringLiteral("SupabaseClient"), -1,
                         QStringLiteral("Not available in this build yet."));
    });
}
} // namespace

QFuture<SupabaseSession> SupabaseClient::signIn(const QString&, const QString&) {
    return notYet<SupabaseSession>(&m_pool);
}
QFuture<SupabaseSession> SupabaseClient::signUp(const QString&, const QString&) {
    return notYet<SupabaseSession>(&m_pool);
}
QFuture<SupabaseSession> SupabaseClient::signInDemo() {
    return notYet<SupabaseSession>(&m_pool);
}
QFuture<void> SupabaseClient::registerDevice(const QString&, const QString&) {
    return notYet<void>(&m_pool);
}
QFuture<void> SupabaseClient::bindDeviceSyncFolder(const QString&, const QString&, const QString&) {
    return notYet<void>(&m_pool);
}
QFuture<std::optional<SupabaseFileRecord>> SupabaseClient::checkHashExists(const QString&) {
    return notYet<std::optional<SupabaseFileRecord>>(&m_pool);
}
QFuture<DeduplicateResult> SupabaseClient::registerOrDeduplicate(const QString&, const QString&,
                                                                 const QString&, qint64, const QString&,
                                                                 const QString&, const QString&) {
    return notYet<DeduplicateResult>(&m_pool);
}
QFuture<QList<SupabaseFileRecord>> SupabaseClient::fetchAllUserFiles() {
    return notYet<QList<SupabaseFileRecord>>(&m_pool);
}
QFuture<bool> SupabaseClient::uploadToStorage(const QString&, const QString&, const QString&) {
    return notYet<bool>(&m_pool);
}
QFuture<std::optional<QUrl>> SupabaseClient::getSignedDownloadUrl(const QString&) {
    return notYet<std::optional<QUrl>>(&m_pool);
}
QFuture<bool> SupabaseClient::downloadFile(const QString&, const QString&) {
    return notYet<bool>(&m_pool);
}
QFuture<DeduplicateResult> SupabaseClient::syncToCloudVault(const QString&, const QString&, qint64,
                                                            const QString&, const QString&,
                                                            const std::optional<QString>&, const QString&) {
    return notYet<DeduplicateResult>(&m_pool);
}
