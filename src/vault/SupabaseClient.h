#pragma once

#include "platform/HttpClient.h"
#include "vault/SupabaseRecords.h"
#include "vault/TokenExpiry.h"

#include <QFuture>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QUrl>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

class Clock;
class Settings;
class VaultError;

// The one client of the vault: the hosted project (auth, REST registry, storage) and the
// application backend (login, devices, pre-upload/confirm). Every network operation runs on
// the client's own pool and returns a future that fails with VaultError; none blocks the
// main thread. Observable properties change on the main thread only.
//
// Every authenticated request goes through one path that keeps a hosted session alive: it is
// refreshed ahead of its expiry and after a refusal of its token, once for the whole client, and
// the refused request is sent again with the new token. A session that cannot be renewed ends
// the sign-in (sessionExpired) instead of failing every request from then on.
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
    // What the user is told when the session has ended and only signing in again helps.
    static const QString SessionExpiredText;

    // Reads the configuration and restores a saved session from `settings`. `clock` judges when a
    // token is due for a refresh (the system clock when none is given).
    SupabaseClient(Settings& settings, HttpClient& http, const Clock* clock = nullptr,
                   QObject* parent = nullptr);
    ~SupabaseClient() override;

    // Configuration and session (safe to read from any thread).
    QString supabaseUrl() const;
    QString supabaseAnonKey() const;
    QString backendBaseUrl() const;
    std::optional<SupabaseSession> currentSession() const;
    bool isAuthenticated() const;
    // The e-mail of the account whose session expired, until the next sign-in or sign-out (also
    // across a restart), so that the login screen can offer it again. Empty when it had none.
    std::optional<QString> expiredSessionEmail() const;

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

    // Any other request to the application backend made with the session's token (a download the
    // dashboard asks for), kept alive like every request above: a refused token is renewed once
    // and the request sent again. Fails with VaultError when signed out or the session has ended.
    QFuture<HttpResponse> sendToBackend(HttpRequest request);

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
    // Emitted once, on the main thread, when the session can no longer be used and only signing
    // in again helps: its refresh was refused (or answered for another account), or the
    // application backend refused a session that cannot be refreshed. The client is signed out
    // by then and the saved session forgotten; `email` is the account's (empty when unknown).
    void sessionExpired(const QString& email);

private:
    static const QString SessionDefaultsKey;
    static const QString ExpiredEmailKey;

    // What one operation works with, read once under the lock when it starts.
    struct Snapshot {
        QString supabaseUrl;
        QString anonKey;
        QString backendBaseUrl;
        std::optional<SupabaseSession> session;
        quint64 epoch = 0; // the sign-in the session belongs to
    };
    Snapshot snapshot() const;

    // A session as a sign-in produced it, with what the rest of its reply said about it.
    struct ReceivedSession {
        SupabaseSession session;
        TokenExpiry expiry;
        // The application backend base URL that issued it (nullopt: not known, as after a restart).
        // Its 401 ends a session that cannot be refreshed; another server's 401 does not.
        std::optional<QString> issuer;
    };
    enum class Audience { Hosted, Backend };

    void restoreSavedSession();
    void saveSession(const ReceivedSession& received);
    // Stores the session and announces it on this object's (the main) thread, then hands it on.
    QFuture<SupabaseSession> completeSignIn(QFuture<ReceivedSession> future);

    // The blocking bodies of the operations above; they run on m_pool.
    ReceivedSession hostedAuth(bool signUp, const QString& email, const QString& password);
    // The hosted service's session, or nullopt when it gave no usable answer and the backend is
    // to be asked; a readable rejection or an unreadable success throws.
    std::optional<ReceivedSession> hostedAttempt(bool signUp, const QString& email, const QString& password);
    ReceivedSession signInWithBackend(const QString& email, const QString& password);
    ReceivedSession signUpWithBackend(const QString& email, const QString& password);
    ReceivedSession backendAuth(const QString& base, const QStringList& candidates, const QByteArray& body,
                                const QString& email);
    ReceivedSession demoSession();
    // POSTs a JSON body to one backend candidate: the reply object of a 200 or 201, or nullopt
    // (a transport failure is kept in `lastError` when given) so the caller moves on.
    std::optional<QJsonObject> postToCandidate(const QString& candidate, const QByteArray& body,
                                               std::chrono::milliseconds timeout,
                                               VaultError* lastError) const;
    bool downloadDirectStream(const QString& filePath, const QString& destinationPath);
    // `state` is the session the request is made with; none for a link that carries its own.
    bool downloadInto(HttpRequest request, const QString& destinationPath, const Snapshot* state);

    // Sends on the shared HTTP client and waits; transport failures throw VaultError.
    HttpResponse send(HttpRequest request) const;
    // Sends a request made with the session of `state` (SupabaseSessionRefresh.cpp): the one path
    // of every authenticated request. Throws VaultError when that session has ended.
    HttpResponse sendAuthorized(HttpRequest request, const Snapshot& state, Audience audience);
    // The session the requests of sign-in `epoch` use now; throws when it has ended.
    SupabaseSession liveSession(quint64 epoch) const;
    bool isDueForRefresh(quint64 epoch) const;
    // The session that replaces the one of `staleToken`: refreshed now, or by the refresh that
    // ran meanwhile. nullopt when refreshing failed for now (the session is kept and the next
    // request tries again); throws when the session has ended.
    std::optional<SupabaseSession> refreshSession(quint64 epoch, const QString& staleToken);
    std::optional<SupabaseSession> performRefresh(quint64 epoch, const SupabaseSession& stale);
    // Ends sign-in `epoch` for good (no-op when it has ended already) and tells the main thread.
    void expireSession(quint64 epoch, const QString& reason);
    // Main thread: the observable state catches up with what requests use.
    void publishRefreshedSession(quint64 epoch);
    void publishExpiredSession(quint64 epoch, const QString& email);

    Settings& m_settings;
    HttpClient& m_http;
    std::unique_ptr<Clock> m_ownClock;
    const Clock& m_clock;
    QThreadPool m_pool;
    mutable QMutex m_mutex; // guards the fields below, read from pool threads
    QString m_supabaseUrl;
    QString m_supabaseAnonKey;
    QString m_backendBaseUrl;
    // The observable session: changes on the main thread only.
    std::optional<SupabaseSession> m_currentSession;
    bool m_isAuthenticated = false;
    std::optional<QString> m_expiredEmail;
    // The session requests are made with. A refresh or an expiry changes it at once, on the
    // thread that found out; m_currentSession follows on the main thread.
    std::optional<SupabaseSession> m_authSession;
    TokenExpiry m_authExpiry;
    std::optional<QString> m_authIssuer;
    bool m_authExpired = false;     // the last sign-in ended by expiry, not by sign-out
    quint64 m_epoch = 0;            // bumped by every sign-in, sign-out and expiry
    qint64 m_aheadRetryAfterMs = 0; // an early refresh that failed is not tried again before this

    // One refresh at a time for the whole client; the others wait for its outcome.
    std::mutex m_refreshMutex;
    std::condition_variable m_refreshDone;
    bool m_refreshing = false;
    quint64 m_refreshesFinished = 0;
};
