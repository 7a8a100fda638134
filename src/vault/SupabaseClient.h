#pragma once

#include "platform/HttpClient.h"
#include "vault/SupabaseRecords.h"

#include <QFuture>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>
#include <optional>

class Settings;
class VaultError;

// The one client of the vault: the hosted project (auth, REST registry, storage) and the
// application backend (login, devices, pre-upload/confirm). Every network operation runs on
// the client's own pool and returns a future that fails with VaultError; none blocks the
// main thread. Observable properties change on the main thread only.
class SupabaseClient : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString supabaseUrl READ supabaseUrl NOTIFY supabaseUrlChanged)
    Q_PROPERTY(QString supabaseAnonKey READ supabaseAnonKey NOTIFY supabaseAnonKeyChanged)
    Q_PROPERTY(QString backendBaseUrl READ backendBaseUrl NOTIFY backendBaseUrlChanged)
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)

public:
    static const QString DefaultSupabaseUrl;
    static const QString DefaultAnonKey; // contains "placeholder": the hosted project is not configured
    static const QString DefaultBackendBaseUrl;

    // Reads the configuration and restores a saved session from `settings`.
    SupabaseClient(Settings& settings, HttpClient& http, QObject* parent = nullptr);
    ~SupabaseClient() override;

    // Configuration and session (safe to read from any thread).
    QString supabaseUrl() const;
    QString supabaseAnonKey() const;
    QString backendBaseUrl() const;
    std::optional<SupabaseSession> currentSession() const;
    bool isAuthenticated() const;

    void configure(const QString& url, const QString& anonKey);
    void setBackendUrl(const QString& url);
    void signOut();

    // Authentication. Each success stores the session and emits signedIn() on the main
    // thread before the future completes, so never wait for these with result() on the main
    // thread: continue with .then(context, ...) instead.
    QFuture<SupabaseSession> signIn(const QString& email, const QString& password);
    QFuture<SupabaseSession> signUp(const QString& email, const QString& password);
    QFuture<SupabaseSession> signInDemo(); // never fails

    // Devices: best effort, never fail.
    QFuture<void> registerDevice(const QString& deviceName, const QString& deviceType);
    QFuture<void> bindDeviceSyncFolder(const QString& deviceId, const QString& folderPath,
                                       const QString& folderName);

    // File registry.
    QFuture<std::optional<SupabaseFileRecord>> checkHashExists(const QString& hash);
    QFuture<DeduplicateResult> registerOrDeduplicate(const QString& hash, const QString& fileName,
                                                     const QString& filePath, qint64 fileSize,
                                                     const QString& mimeType, const QString& deviceName,
                                                     const QString& folderPath);
    QFuture<QList<SupabaseFileRecord>> fetchAllUserFiles();

    // Storage transfer. Uploads stream the file from disk.
    QFuture<bool> uploadToStorage(const QString& localPath, const QString& remotePath,
                                  const QString& mimeType);
    QFuture<std::optional<QUrl>> getSignedDownloadUrl(const QString& filePath);
    // Writes to a temporary file beside the destination and replaces it only after a complete reply.
    QFuture<bool> downloadFile(const QString& filePath, const QString& destinationPath);

    // The application backend's upload path: pre-upload, PUT, confirm.
    QFuture<DeduplicateResult> syncToCloudVault(const QString& filePath, const QString& fileHash,
                                                qint64 fileSize, const QString& relativePath,
                                                const QString& deviceName,
                                                const std::optional<QString>& deviceId,
                                                const QString& folderPath);

Q_SIGNALS:
    void supabaseUrlChanged();
    void supabaseAnonKeyChanged();
    void backendBaseUrlChanged();
    void currentSessionChanged();
    void isAuthenticatedChanged();
    // The seam to the sync engine (connected by the composition root, so vault/ never sees sync/):
    // emitted on the main thread after a sign-in stored its session, before its future completes.
    void signedIn(const SupabaseSession& session);
    // Emitted by signOut() after the session is cleared and forgotten.
    void signedOut();

private:
    // What one operation works with, read once under the lock when it starts.
    struct Snapshot {
        QString supabaseUrl;
        QString anonKey;
        QString backendBaseUrl;
        std::optional<SupabaseSession> session;
    };
    Snapshot snapshot() const;

    void restoreSavedSession();
    void saveSession(const SupabaseSession& session);
    // Stores the session and announces it on this object's (the main) thread, then hands it on.
    QFuture<SupabaseSession> completeSignIn(QFuture<SupabaseSession> future);

    // The blocking bodies of the operations above; they run on m_pool.
    SupabaseSession hostedAuth(bool signUp, const QString& email, const QString& password);
    // The hosted service's session, or nullopt when it gave no usable answer and the backend is
    // to be asked; a readable rejection or an unreadable success throws.
    std::optional<SupabaseSession> hostedAttempt(bool signUp, const QString& email, const QString& password);
    SupabaseSession signInWithBackend(const QString& email, const QString& password);
    SupabaseSession signUpWithBackend(const QString& email, const QString& password);
    SupabaseSession backendAuth(const QStringList& candidates, const QByteArray& body, const QString& email);
    SupabaseSession demoSession();
    // POSTs a JSON body to one backend candidate: the reply object of a 200 or 201, or nullopt
    // (a transport failure is kept in `lastError` when given) so the caller moves on.
    std::optional<QJsonObject> postToCandidate(const QString& candidate, const QByteArray& body,
                                               std::chrono::milliseconds timeout,
                                               VaultError* lastError) const;
    bool downloadDirectStream(const QString& filePath, const QString& destinationPath);
    bool downloadInto(HttpRequest request, const QString& destinationPath);

    // Sends on the shared HTTP client and waits; transport failures throw VaultError.
    HttpResponse send(HttpRequest request) const;

    Settings& m_settings;
    HttpClient& m_http;
    QThreadPool m_pool;
    mutable QMutex m_mutex; // guards the fields below, read from pool threads
    QString m_supabaseUrl;
    QString m_supabaseAnonKey;
    QString m_backendBaseUrl;
    std::optional<SupabaseSession> m_currentSession;
    bool m_isAuthenticated = false;
};
