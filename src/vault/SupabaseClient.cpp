#include "vault/SupabaseClient.h"

#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/ProductionServer.h"
#include "platform/Settings.h"
#include "platform/VaultError.h"
#include "vault/VaultHttp.h"

#include <QtConcurrent/QtConcurrent>

namespace {
const QString UrlDefaultsKey = QStringLiteral("orlavant_supabase_url");
const QString KeyDefaultsKey = QStringLiteral("orlavant_supabase_key");
const QString BackendDefaultsKey = QStringLiteral("orlavant_backend_base_url");

std::optional<QString> nonEmptyString(const Settings& settings, const QString& key) {
    std::optional<QString> value = settings.string(key);
    if (value && value->isEmpty())
        return std::nullopt;
    return value;
}
} // namespace

const QString SupabaseClient::DefaultSupabaseUrl = QStringLiteral("https://orlavant-vault.supabase.co");
// Header {"alg":"HS256","typ":"JWT"}, payload {"iss":"supabase","ref":"placeholder","role":"anon"}.
const QString SupabaseClient::DefaultAnonKey =
    QStringLiteral("eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9."
                   "eyJpc3MiOiJzdXBhYmFzZSIsInJlZiI6InBsYWNlaG9sZGVyIiwicm9sZSI6ImFub24ifQ."
                   "placeholder-signature");
const QString SupabaseClient::DefaultBackendBaseUrl = Production::baseUrl;
const QString SupabaseClient::SessionDefaultsKey = QStringLiteral("orlavant_supabase_session");
const QString SupabaseClient::ExpiredEmailKey = QStringLiteral("orlavant_expired_session_email");
const QString SupabaseClient::SessionExpiredText = QStringLiteral("Session expired \u2014 sign in again");

SupabaseClient::SupabaseClient(Settings& settings, HttpClient& http, const Clock* clock, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_http(http)
    , m_ownClock(clock ? nullptr : std::make_unique<SystemClock>())
    , m_clock(clock ? *clock : *m_ownClock)
    , m_supabaseUrl(DefaultSupabaseUrl)
    , m_supabaseAnonKey(DefaultAnonKey)
    , m_backendBaseUrl(DefaultBackendBaseUrl) {
    m_pool.setMaxThreadCount(16);
    m_pool.setObjectName(QStringLiteral("store.orlavant.mac.vaultPool"));
    if (const auto url = nonEmptyString(m_settings, UrlDefaultsKey))
        m_supabaseUrl = *url;
    if (const auto key = nonEmptyString(m_settings, KeyDefaultsKey))
        m_supabaseAnonKey = *key;
    if (const auto backend = nonEmptyString(m_settings, BackendDefaultsKey))
        m_backendBaseUrl = *backend;
    restoreSavedSession();
}

SupabaseClient::~SupabaseClient() {
    // Running operations read the fields below; they must end before the fields go.
    m_pool.waitForDone();
}

QString SupabaseClient::supabaseUrl() const {
    QMutexLocker lock(&m_mutex);
    return m_supabaseUrl;
}

QString SupabaseClient::supabaseAnonKey() const {
    QMutexLocker lock(&m_mutex);
    return m_supabaseAnonKey;
}

QString SupabaseClient::backendBaseUrl() const {
    QMutexLocker lock(&m_mutex);
    return m_backendBaseUrl;
}

std::optional<SupabaseSession> SupabaseClient::currentSession() const {
    QMutexLocker lock(&m_mutex);
    return m_currentSession;
}

bool SupabaseClient::isAuthenticated() const {
    QMutexLocker lock(&m_mutex);
    return m_isAuthenticated;
}

std::optional<QString> SupabaseClient::expiredSessionEmail() const {
    QMutexLocker lock(&m_mutex);
    return m_expiredEmail;
}

SupabaseClient::Snapshot SupabaseClient::snapshot() const {
    QMutexLocker lock(&m_mutex);
    return {m_supabaseUrl, m_supabaseAnonKey, m_backendBaseUrl, m_authSession, m_epoch};
}

void SupabaseClient::configure(const QString& url, const QString& anonKey) {
    const QString trimmed = VaultHttp::trimSlashes(url);
    bool urlChanged = false;
    bool keyChanged = false;
    {
        QMutexLocker lock(&m_mutex);
        urlChanged = m_supabaseUrl != trimmed;
        keyChanged = m_supabaseAnonKey != anonKey;
        m_supabaseUrl = trimmed;
        m_supabaseAnonKey = anonKey;
    }
    m_settings.setString(UrlDefaultsKey, trimmed);
    m_settings.setString(KeyDefaultsKey, anonKey);
    if (urlChanged)
        Q_EMIT supabaseUrlChanged();
    if (keyChanged)
        Q_EMIT supabaseAnonKeyChanged();
}

void SupabaseClient::setBackendUrl(const QString& url) {
    const QString trimmed = VaultHttp::trimSlashes(url);
    bool changed = false;
    {
        QMutexLocker lock(&m_mutex);
        changed = m_backendBaseUrl != trimmed;
        m_backendBaseUrl = trimmed;
    }
    m_settings.setString(BackendDefaultsKey, trimmed);
    if (changed)
        Q_EMIT backendBaseUrlChanged();
}

void SupabaseClient::restoreSavedSession() {
    m_expiredEmail = m_settings.string(ExpiredEmailKey);
    const std::optional<QByteArray> data = m_settings.data(SessionDefaultsKey);
    if (!data)
        return;
    SupabaseSession session;
    try {
        session = SupabaseSession::fromJson(*data);
    } catch (const VaultError& error) {
        // Left in place: a newer version of the program may still read it.
        logLine(QStringLiteral("[SupabaseClient] Error restoring session: ") + error.description());
        return;
    }
    if (session.accessToken.isEmpty())
        return;
    QMutexLocker lock(&m_mutex);
    m_authExpiry = TokenExpiry::restored(session.accessToken, m_clock);
    m_authSession = session;
    m_currentSession = std::move(session);
    m_isAuthenticated = true;
    m_expiredEmail.reset();
}

// The settings are written under the lock, so that a refresh finishing on another thread can
// never store its session after this one (or after a sign-out removed it).
void SupabaseClient::saveSession(const ReceivedSession& received) {
    bool sessionChanged = false;
    bool authChanged = false;
    {
        QMutexLocker lock(&m_mutex);
        sessionChanged = m_currentSession != received.session;
        authChanged = !m_isAuthenticated;
        m_currentSession = received.session;
        m_isAuthenticated = true;
        m_authSession = received.session;
        m_authExpiry = received.expiry;
        m_authIssuer = received.issuer;
        m_authExpired = false;
        m_aheadRetryAfterMs = 0;
        ++m_epoch;
        m_expiredEmail.reset();
        m_settings.setData(SessionDefaultsKey, received.session.toJson());
        m_settings.remove(ExpiredEmailKey);
    }
    if (sessionChanged)
        Q_EMIT currentSessionChanged();
    if (authChanged)
        Q_EMIT isAuthenticatedChanged();
}

void SupabaseClient::signOut() {
    bool sessionChanged = false;
    bool authChanged = false;
    {
        QMutexLocker lock(&m_mutex);
        sessionChanged = m_currentSession.has_value();
        authChanged = m_isAuthenticated;
        m_currentSession.reset();
        m_isAuthenticated = false;
        m_authSession.reset();
        m_authExpiry = {};
        m_authIssuer.reset();
        m_authExpired = false;
        ++m_epoch;
        m_expiredEmail.reset();
        m_settings.remove(SessionDefaultsKey);
        m_settings.remove(ExpiredEmailKey);
    }
    if (sessionChanged)
        Q_EMIT currentSessionChanged();
    if (authChanged)
        Q_EMIT isAuthenticatedChanged();
    Q_EMIT signedOut();
}

QFuture<SupabaseSession> SupabaseClient::completeSignIn(QFuture<ReceivedSession> future) {
    return future.then(this, [this](const ReceivedSession& received) {
        saveSession(received);
        Q_EMIT signedIn(received.session);
        return received.session;
    });
}

HttpResponse SupabaseClient::send(HttpRequest request) const {
    return m_http.send(std::move(request)).result();
}
