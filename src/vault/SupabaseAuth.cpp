// Sign-in, sign-up and the demo login: the hosted auth service first, then the application
// backend's candidates, one after another.
#include "vault/SupabaseClient.h"

#include "platform/VaultError.h"
#include "vault/VaultHttp.h"
#include "vault/VaultJson.h"

#include <QUuid>
#include <QtConcurrent/QtConcurrent>

namespace {

const QString DemoEmail = QStringLiteral("demo@vault.orlavant.app");
const QString DemoUserId = QStringLiteral("user_demo_pellan");
const QString DemoFallbackToken = QStringLiteral("sample_fallback_access_code_9137");

QJsonObject credentials(const QString& email, const QString& password) {
    return {{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
}

// The first non-empty string among the keys, in order.
std::optional<QString> firstMessage(const QJsonObject& object) {
    for (const char* key : {"error_description", "msg", "message"}) {
        if (const auto text = VaultJson::string(object, QLatin1String(key)))
            return text->isEmpty() ? std::nullopt : text;
    }
    return std::nullopt;
}

// "jane.doe@example.com" -> "Jane.Doe": every word starts upper case and goes on lower case.
// A word ends at anything but a letter, a digit or an apostrophe ("o'neil" -> "O'neil").
QString displayNameFor(const QString& email) {
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    const QString local = at < 0 ? email : email.left(at);
    QString name;
    name.reserve(local.size());
    bool startOfWord = true;
    for (const QChar c : local) {
        name.append(startOfWord ? c.toUpper() : c.toLower());
        startOfWord = !(c.isLetterOrNumber() || c == QLatin1Char('\''));
    }
    return name;
}

// The backend that issued a session: the configured one when the candidate lies on it, otherwise
// (a development server on a fixed port) none that later requests go to, shown as empty.
QString issuerOf(const QString& candidate, const QString& base) {
    return candidate.startsWith(base + QLatin1Char('/')) ? base : QString();
}

} // namespace

QFuture<SupabaseSession> SupabaseClient::signIn(const QString& email, const QString& password) {
    return completeSignIn(
        QtConcurrent::run(&m_pool, [this, email, password] { return hostedAuth(false, email, password); }));
}

QFuture<SupabaseSession> SupabaseClient::signUp(const QString& email, const QString& password) {
    return completeSignIn(
        QtConcurrent::run(&m_pool, [this, email, password] { return hostedAuth(true, email, password); }));
}

QFuture<SupabaseSession> SupabaseClient::signInDemo() {
    return completeSignIn(QtConcurrent::run(&m_pool, [this] { return demoSession(); }));
}

SupabaseClient::ReceivedSession SupabaseClient::hostedAuth(bool signUp, const QString& email,
                                                           const QString& password) {
    if (std::optional<ReceivedSession> received = hostedAttempt(signUp, email, password))
        return *received;
    try {
        return signUp ? signUpWithBackend(email, password) : signInWithBackend(email, password);
    } catch (const VaultError& error) {
        if (signUp) {
            throw VaultError(QStringLiteral("OrlavantAuth"), 400,
                             QStringLiteral("Sign up error: ") + error.description());
        }
        throw VaultError(QStringLiteral("OrlavantAuth"), 401,
                         QStringLiteral("Invalid email or password. Please verify your credentials."));
    }
}

std::optional<SupabaseClient::ReceivedSession>
SupabaseClient::hostedAttempt(bool signUp, const QString& email, const QString& password) {
    const Snapshot state = snapshot();
    // A key still holding the placeholder means the hosted project was never configured.
    if (state.anonKey.contains(QLatin1String("placeholder")))
        return std::nullopt;
    const auto url =
        VaultHttp::join(state.supabaseUrl, signUp ? QStringLiteral("/auth/v1/signup")
                                                  : QStringLiteral("/auth/v1/token?grant_type=password"));
    if (!url)
        return std::nullopt;
    HttpRequest request = VaultHttp::hostedRequest("POST", *url, state.anonKey, state.anonKey);
    VaultHttp::setJsonBody(request, credentials(email, password));
    HttpResponse response;
    try {
        response = send(std::move(request));
    } catch (const VaultError&) {
        return std::nullopt;
    }
    if (!response.isHttp())
        return std::nullopt;
    if (response.status == 200 || (signUp && response.status == 201)) {
        SupabaseSession session = SupabaseSession::fromJson(response.body); // a decoding failure is final
        // Signed in with no token, every later request would fail and a restart would sign the
        // user out again.
        if (session.accessToken.isEmpty())
            throw VaultJson::corrupted(QStringLiteral("the sign-in reply holds an empty access token."));
        const TokenExpiry expiry = TokenExpiry::received(
            session.accessToken, VaultJson::parseObject(response.body).value_or(QJsonObject()), m_clock);
        return ReceivedSession{std::move(session), expiry, std::nullopt};
    }
    // Only a rejection the user can read ends the attempt; anything else may be a proxy or an
    // outage, and the backend may still know the account.
    const auto body = VaultJson::parseObject(response.body);
    const std::optional<QString> message = body ? firstMessage(*body) : std::nullopt;
    if (!message)
        return std::nullopt;
    throw VaultError(QStringLiteral("SupabaseAuth"), response.status, *message);
}

SupabaseClient::ReceivedSession SupabaseClient::signInWithBackend(const QString& email,
                                                                  const QString& password) {
    const QString base = snapshot().backendBaseUrl;
    return backendAuth(base,
                       {base + QStringLiteral("/api/auth/login"),
                        QStringLiteral("http://127.0.0.1:8787/api/auth/login"),
                        QStringLiteral("http://127.0.0.1:8000/api/v1/auth/login")},
                       VaultJson::compact(credentials(email, password)), email);
}

SupabaseClient::ReceivedSession SupabaseClient::signUpWithBackend(const QString& email,
                                                                  const QString& password) {
    const QString base = snapshot().backendBaseUrl;
    const QString name = displayNameFor(email);
    QJsonObject body = credentials(email, password);
    body.insert(QStringLiteral("full_name"), name);
    body.insert(QStringLiteral("household_name"), name + QStringLiteral("'s Family Vault"));
    body.insert(QStringLiteral("plan_id"), QStringLiteral("basic"));
    return backendAuth(base,
                       {base + QStringLiteral("/api/auth/register"),
                        QStringLiteral("http://127.0.0.1:8787/api/auth/register"),
                        QStringLiteral("http://127.0.0.1:8000/api/v1/auth/register")},
                       VaultJson::compact(body), email);
}

SupabaseClient::ReceivedSession SupabaseClient::backendAuth(const QString& base,
                                                            const QStringList& candidates,
                                                            const QByteArray& body, const QString& email) {
    VaultError lastError = VaultError::url(VaultError::BadServerResponse);
    for (const QString& candidate : candidates) {
        const auto reply = postToCandidate(candidate, body, VaultHttp::BackendAuthTimeout, &lastError);
        if (!reply)
            continue;

        std::optional<QString> token = VaultJson::string(*reply, QStringLiteral("access_token"));
        for (const char* holder : {"tokens", "token"}) {
            if (token)
                break;
            if (const auto nested = VaultJson::object(*reply, QLatin1String(holder)))
                token = VaultJson::string(*nested, QStringLiteral("access_token"));
        }
        if (!token || token->isEmpty())
            continue;

        const auto user = VaultJson::object(*reply, QStringLiteral("user"));
        std::optional<QString> userId = user ? VaultJson::string(*user, QStringLiteral("id")) : std::nullopt;
        if (!userId)
            userId = VaultJson::string(*reply, QStringLiteral("user_id"));
        if (!userId)
            userId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        std::optional<QString> userEmail =
            user ? VaultJson::string(*user, QStringLiteral("email")) : std::nullopt;
        return ReceivedSession{SupabaseSession{*token, std::nullopt, *userId, userEmail.value_or(email)},
                               TokenExpiry::received(*token, *reply, m_clock), issuerOf(candidate, base)};
    }
    throw lastError;
}

std::optional<QJsonObject> SupabaseClient::postToCandidate(const QString& candidate, const QByteArray& body,
                                                           std::chrono::milliseconds timeout,
                                                           VaultError* lastError) const {
    const auto url = VaultHttp::parseUrl(candidate);
    if (!url)
        return std::nullopt;
    HttpRequest request = VaultHttp::backendRequest("POST", *url, std::nullopt);
    request.setHeader("Content-Type", "application/json");
    request.body = body;
    request.timeout = timeout;
    HttpResponse response;
    try {
        response = send(std::move(request));
    } catch (const VaultError& error) {
        if (lastError)
            *lastError = error;
        return std::nullopt;
    }
    if (response.status != 200 && response.status != 201)
        return std::nullopt;
    return VaultJson::parseObject(response.body);
}

SupabaseClient::ReceivedSession SupabaseClient::demoSession() {
    const QString base = snapshot().backendBaseUrl;
    const QStringList candidates{
        base + QStringLiteral("/api/v1/auth/demo-login"),
        base + QStringLiteral("/api/auth/demo-login"),
        QStringLiteral("http://127.0.0.1:8000/api/v1/auth/demo-login"),
        QStringLiteral("http://127.0.0.1:8787/api/auth/demo-login"),
    };
    for (const QString& candidate : candidates) {
        const auto reply = postToCandidate(candidate, {}, VaultHttp::RequestTimeout, nullptr);
        if (!reply)
            continue;

        std::optional<QString> token = VaultJson::string(*reply, QStringLiteral("token"));
        if (!token) {
            if (const auto nested = VaultJson::object(*reply, QStringLiteral("token")))
                token = VaultJson::string(*nested, QStringLiteral("access_token"));
        }
        if (!token)
            token = VaultJson::string(*reply, QStringLiteral("access_token"));
        if (!token || token->isEmpty())
            continue;

        const auto user = VaultJson::object(*reply, QStringLiteral("user"));
        const std::optional<QString> userId =
            user ? VaultJson::string(*user, QStringLiteral("id")) : std::nullopt;
        const std::optional<QString> email =
            user ? VaultJson::string(*user, QStringLiteral("email")) : std::nullopt;
        return ReceivedSession{
            SupabaseSession{*token, std::nullopt, userId.value_or(DemoUserId), email.value_or(DemoEmail)},
            TokenExpiry::received(*token, *reply, m_clock), issuerOf(candidate, base)};
    }
    // The demo must open even with no server at all; no server vouches for this session, so no
    // server's refusal can end it.
    return ReceivedSession{
        SupabaseSession{DemoFallbackToken, std::nullopt, DemoUserId, DemoEmail}, {}, QString()};
}
