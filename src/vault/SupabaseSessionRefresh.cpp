// The path of every authenticated request, and what keeps its session alive: a hosted session
// is refreshed shortly before its token expires and after a refusal of its token, one refresh at
// a time for the whole client, and the refused request is sent once more with the new token. A
// session that cannot be renewed ends the sign-in once, instead of failing every request after.
#include "vault/SupabaseClient.h"

#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/VaultError.h"
#include "vault/VaultHttp.h"
#include "vault/VaultJson.h"

#include <QFile>
#include <QtConcurrent/QtConcurrent>

namespace {

const QString LogPrefix = QStringLiteral("[SupabaseClient] ");

// An early refresh that failed for now is not tried again before this; the refusal of a token
// always is.
constexpr qint64 AheadRetryPauseMs = 30'000;
// An error reply worth reading is small; a saved body larger than this is not an auth error.
constexpr qint64 MaxErrorBodyBytes = 64 * 1024;

VaultError sessionExpiredError() {
    return VaultError(QStringLiteral("OrlavantAuth"), 401, SupabaseClient::SessionExpiredText);
}

QByteArray replyBody(const HttpResponse& response) {
    if (response.bodyFilePath.isEmpty())
        return response.body;
    QFile file(response.bodyFilePath);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxErrorBodyBytes)
        return {};
    return file.readAll();
}

void discard(const HttpResponse& response) {
    if (!response.bodyFilePath.isEmpty())
        QFile::remove(response.bodyFilePath);
}

// How the three services say that a token is no longer good: HTTP 401 anywhere; the storage
// service's 400 carrying "statusCode" "403" with a JWT message ("jwt expired"); PostgREST's JWT
// error codes, whatever the status.
bool refusesToken(const HttpResponse& response) {
    if (response.status == 401)
        return true;
    if (response.status < 400)
        return false;
    const std::optional<QJsonObject> body = VaultJson::parseObject(replyBody(response));
    if (!body)
        return false;
    const std::optional<QString> code = VaultJson::string(*body, QStringLiteral("code"));
    if (code == QLatin1String("PGRST301") || code == QLatin1String("PGRST303"))
        return true;
    if (response.status != 400)
        return false;
    const QJsonValue statusCode = body->value(QStringLiteral("statusCode"));
    if (statusCode.toString() != QLatin1String("403") && statusCode.toInt() != 403)
        return false;
    for (const char* key : {"message", "error"}) {
        if (VaultJson::string(*body, QLatin1String(key))
                .value_or(QString())
                .contains(QLatin1String("jwt"), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

// The auth service's own words for a refused refresh, for the log.
QString refusalText(const HttpResponse& response) {
    const std::optional<QJsonObject> body = VaultJson::parseObject(response.body);
    for (const char* key : {"error_description", "msg", "message", "error"}) {
        if (const auto text = body ? VaultJson::string(*body, QLatin1String(key)) : std::nullopt)
            return QStringLiteral("%1 (HTTP %2)").arg(*text).arg(response.status);
    }
    return QStringLiteral("HTTP %1").arg(response.status);
}

} // namespace

QFuture<HttpResponse> SupabaseClient::sendToBackend(HttpRequest request) {
    const Snapshot state = snapshot();
    return QtConcurrent::run(&m_pool, [this, state, request] {
        if (!state.session)
            throw VaultHttp::notLoggedIn();
        return sendAuthorized(request, state, Audience::Backend);
    });
}

HttpResponse SupabaseClient::sendAuthorized(HttpRequest request, const Snapshot& state, Audience audience) {
    SupabaseSession session = liveSession(state.epoch);
    if (session.refreshToken && isDueForRefresh(state.epoch)) {
        if (std::optional<SupabaseSession> fresh = refreshSession(state.epoch, session.accessToken)) {
            session = *fresh;
        } else {
            QMutexLocker lock(&m_mutex);
            m_aheadRetryAfterMs = m_clock.monotonicMs() + AheadRetryPauseMs;
        }
    }
    VaultHttp::setBearer(request, session.accessToken);
    HttpResponse response = send(request);
    if (!refusesToken(response))
        return response;

    bool freshlyIssued = false;
    bool issuedHere = false;
    {
        QMutexLocker lock(&m_mutex);
        freshlyIssued = m_epoch == state.epoch && m_authSession &&
                        m_authSession->accessToken == session.accessToken && m_authExpiry.isFresh(m_clock);
        issuedHere = !m_authIssuer || *m_authIssuer == state.backendBaseUrl;
    }
    // A token received moments ago has not expired: the refusal has another reason, which
    // neither a refresh (once per request) nor signing in again would change.
    if (freshlyIssued)
        return response;
    if (!session.refreshToken) {
        // Nothing can renew this session, so the backend that issued it saying no is final.
        // Another server's refusal (the hosted project, with a key that is not this account's;
        // a backend that never issued it) is only this request's failure.
        if (audience == Audience::Backend && response.status == 401 && issuedHere) {
            discard(response);
            expireSession(state.epoch, QStringLiteral("the vault refused the session (HTTP 401)."));
            throw sessionExpiredError();
        }
        return response;
    }
    const std::optional<SupabaseSession> fresh = refreshSession(state.epoch, session.accessToken);
    if (!fresh)
        return response; // fails as it came; the session stays for the next request to try again
    discard(response);
    VaultHttp::setBearer(request, fresh->accessToken);
    return send(std::move(request)); // once: a fresh token refused again is this request's answer
}

SupabaseSession SupabaseClient::liveSession(quint64 epoch) const {
    QMutexLocker lock(&m_mutex);
    if (m_epoch == epoch && m_authSession)
        return *m_authSession;
    if (m_authExpired)
        throw sessionExpiredError();
    throw VaultHttp::notLoggedIn();
}

bool SupabaseClient::isDueForRefresh(quint64 epoch) const {
    QMutexLocker lock(&m_mutex);
    return m_epoch == epoch && m_authExpiry.isDue(m_clock) && m_clock.monotonicMs() >= m_aheadRetryAfterMs;
}

std::optional<SupabaseSession> SupabaseClient::refreshSession(quint64 epoch, const QString& staleToken) {
    std::unique_lock lock(m_refreshMutex);
    const quint64 finishedBefore = m_refreshesFinished;
    for (;;) {
        const SupabaseSession live = liveSession(epoch);
        if (live.accessToken != staleToken)
            return live; // replaced meanwhile: no second refresh
        if (!m_refreshing) {
            // The refresh this call waited for failed for now; the next request tries again.
            if (m_refreshesFinished != finishedBefore)
                return std::nullopt;
            break;
        }
        m_refreshDone.wait(lock);
    }
    m_refreshing = true;
    lock.unlock();
    std::optional<SupabaseSession> fresh;
    std::exception_ptr failure;
    try {
        fresh = performRefresh(epoch, liveSession(epoch));
    } catch (...) {
        failure = std::current_exception();
    }
    lock.lock();
    m_refreshing = false;
    ++m_refreshesFinished;
    m_refreshDone.notify_all();
    if (failure)
        std::rethrow_exception(failure);
    return fresh;
}

std::optional<SupabaseSession> SupabaseClient::performRefresh(quint64 epoch, const SupabaseSession& stale) {
    const Snapshot state = snapshot();
    // Without a configured hosted project there is nobody to ask; that is no reason to give up
    // the session.
    if (state.anonKey.contains(QLatin1String("placeholder")))
        return std::nullopt;
    const auto url =
        VaultHttp::join(state.supabaseUrl, QStringLiteral("/auth/v1/token?grant_type=refresh_token"));
    if (!url)
        return std::nullopt;
    HttpRequest request = VaultHttp::hostedRequest("POST", *url, state.anonKey, state.anonKey);
    VaultHttp::setJsonBody(request,
                           {{QStringLiteral("refresh_token"), stale.refreshToken.value_or(QString())}});
    request.timeout = VaultHttp::RefreshTimeout;
    HttpResponse response;
    try {
        response = send(std::move(request));
    } catch (const VaultError& error) {
        // A network failure says nothing about the session: keep it.
        logLine(LogPrefix + QStringLiteral("Session refresh failed, will try again: ") + error.description());
        return std::nullopt;
    }
    if (response.status == 400 || response.status == 401) {
        expireSession(epoch, QStringLiteral("the refresh was refused: ") + refusalText(response));
        throw sessionExpiredError();
    }
    if (response.status != 200) {
        logLine(LogPrefix + QStringLiteral("Session refresh failed, will try again: ") +
                refusalText(response));
        return std::nullopt;
    }
    SupabaseSession fresh;
    try {
        fresh = SupabaseSession::fromJson(response.body);
    } catch (const VaultError& error) {
        logLine(LogPrefix + QStringLiteral("Session refresh failed, will try again: ") + error.description());
        return std::nullopt;
    }
    if (fresh.accessToken.isEmpty())
        return std::nullopt;
    // A session of somebody else would carry this computer's uploads into their vault.
    if (!fresh.userId.isEmpty() && fresh.userId != stale.userId) {
        expireSession(epoch, QStringLiteral("the refresh answered for another account."));
        throw sessionExpiredError();
    }
    fresh.userId = stale.userId;
    if (!fresh.email)
        fresh.email = stale.email;
    if (!fresh.refreshToken)
        fresh.refreshToken = stale.refreshToken;
    const TokenExpiry expiry = TokenExpiry::received(
        fresh.accessToken, VaultJson::parseObject(response.body).value_or(QJsonObject()), m_clock);
    bool applied = false;
    {
        // Settings written under the lock: a sign-out or sign-in that came first wins for good.
        QMutexLocker lock(&m_mutex);
        if (m_epoch == epoch) {
            m_authSession = fresh;
            m_authExpiry = expiry;
            m_aheadRetryAfterMs = 0;
            m_settings.setData(SessionDefaultsKey, fresh.toJson());
            applied = true;
        }
    }
    if (!applied)
        return liveSession(epoch); // signed out (or in again) meanwhile: throws, the answer is nobody's
    QMetaObject::invokeMethod(
        this, [this, epoch] { publishRefreshedSession(epoch); }, Qt::QueuedConnection);
    return fresh;
}

void SupabaseClient::expireSession(quint64 epoch, const QString& reason) {
    QString email;
    quint64 ended = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (m_epoch != epoch || !m_authSession)
            return; // ended already, by this or by the user
        email = m_authSession->email.value_or(QString());
        m_authSession.reset();
        m_authExpiry = {};
        m_authIssuer.reset();
        m_authExpired = true;
        ended = ++m_epoch;
        // A restart must not bring back a session the vault refuses; the e-mail stays for the
        // login screen.
        m_settings.remove(SessionDefaultsKey);
        m_settings.setString(ExpiredEmailKey, email);
    }
    logLine(LogPrefix + QStringLiteral("Session expired: ") + reason);
    QMetaObject::invokeMethod(
        this, [this, ended, email] { publishExpiredSession(ended, email); }, Qt::QueuedConnection);
}

void SupabaseClient::publishRefreshedSession(quint64 epoch) {
    bool changed = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_epoch != epoch || !m_authSession)
            return;
        changed = m_currentSession != m_authSession;
        m_currentSession = m_authSession;
    }
    if (changed)
        Q_EMIT currentSessionChanged();
}

void SupabaseClient::publishExpiredSession(quint64 epoch, const QString& email) {
    bool sessionChanged = false;
    bool authChanged = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_epoch != epoch)
            return; // signed in again (or out) before the main thread got here
        sessionChanged = m_currentSession.has_value();
        authChanged = m_isAuthenticated;
        m_currentSession.reset();
        m_isAuthenticated = false;
        m_expiredEmail = email;
    }
    // The engine hears first, so that whoever reacts to the sign-out finds it stopped already.
    Q_EMIT sessionExpired(email);
    if (sessionChanged)
        Q_EMIT currentSessionChanged();
    if (authChanged)
        Q_EMIT isAuthenticatedChanged();
}
