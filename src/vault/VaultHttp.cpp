#include "vault/VaultHttp.h"

#include "vault/VaultJson.h"

namespace VaultHttp {

namespace {

// A line break in a header value would start a header of its own; no key or token has one.
QByteArray headerValue(const QString& text) {
    QByteArray value = text.toUtf8();
    value.removeIf([](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    return value;
}

} // namespace

QString trimSlashes(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char('/'))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char('/'))
        --end;
    return text.mid(begin, end - begin);
}

std::optional<QUrl> parseUrl(const QString& text) {
    // QUrl would quietly escape a space; a URL typed with one is a mistake, not a request.
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return std::nullopt;
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return std::nullopt;
    return url;
}

std::optional<QUrl> join(const QString& base, const QString& path) {
    return parseUrl(base + path);
}

QString encodeObjectPath(const QString& path) {
    // Unreserved characters stay as they are anyway; these are the rest of a URL path's set.
    return QString::fromLatin1(QUrl::toPercentEncoding(trimSlashes(path), "!$&'()*+,/:;=@"));
}

QString encodePathSegment(const QString& segment) {
    return QString::fromLatin1(QUrl::toPercentEncoding(segment, "!$&'()*+,:;=@"));
}

QString encodeQueryValue(const QString& value) {
    return QString::fromLatin1(QUrl::toPercentEncoding(value, "!$&'()*+,/:;=?@"));
}

HttpRequest hostedRequest(const QByteArray& method, const QUrl& url, const QString& anonKey,
                          const QString& bearer) {
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.timeout = RequestTimeout;
    request.setHeader("apikey", headerValue(anonKey));
    setBearer(request, bearer);
    return request;
}

HttpRequest backendRequest(const QByteArray& method, const QUrl& url, const std::optional<QString>& bearer) {
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.timeout = RequestTimeout;
    if (bearer)
        setBearer(request, *bearer);
    return request;
}

void setBearer(HttpRequest& request, const QString& token) {
    request.setHeader("Authorization", "Bearer " + headerValue(token));
}

void setJsonBody(HttpRequest& request, const QJsonObject& body) {
    request.setHeader("Content-Type", "application/json");
    request.body = VaultJson::compact(body);
}

VaultError notLoggedIn() {
    return VaultError(QStringLiteral("SupabaseClient"), 401, QStringLiteral("User not logged in"));
}

bool isSuccess(const HttpResponse& response) {
    return response.status >= 200 && response.status <= 299;
}

} // namespace VaultHttp
