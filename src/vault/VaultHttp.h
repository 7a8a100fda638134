#pragma once

#include "platform/HttpClient.h"
#include "platform/VaultError.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>

// Building the vault client's requests: URLs from a base and a path, the header sets of the
// two servers, and JSON bodies. Every request of the client is made here.
namespace VaultHttp {

inline constexpr std::chrono::milliseconds RequestTimeout{60000};
inline constexpr std::chrono::milliseconds BackendAuthTimeout{8000};
// A bare link (the signed download) carries no request settings of its own.
inline constexpr std::chrono::milliseconds LinkTimeout{30000};
// Every authenticated request waits for a refresh, so a silent auth service must not hold them
// for a full request time-out.
inline constexpr std::chrono::milliseconds RefreshTimeout{10000};

// Removes every "/" from both ends.
QString trimSlashes(const QString& text);

// The URL the text names, when it is a complete http(s) URL with a host; text with spaces or
// control characters, a missing scheme or a broken escape gives nullopt.
std::optional<QUrl> parseUrl(const QString& text);
// parseUrl(base + path): URLs are joined as plain text, the way the servers document them.
std::optional<QUrl> join(const QString& base, const QString& path);

// A storage object path ready for a URL: outer slashes removed, escaped like a URL path
// (inner slashes kept).
QString encodeObjectPath(const QString& path);
// A value escaped for a URL query (the query's own delimiters are left alone).
QString encodeQueryValue(const QString& value);
// One path segment: a "/" inside it cannot reach another path. ("." and ".." stay what they
// are: the caller must refuse them.)
QString encodePathSegment(const QString& segment);

// Hosted project: "apikey" with the anon key and a bearer token (the anon key itself for the
// auth endpoints, the session's token for everything else).
HttpRequest hostedRequest(const QByteArray& method, const QUrl& url, const QString& anonKey,
                          const QString& bearer);
// Application backend: never an "apikey"; the bearer only when there is a token.
HttpRequest backendRequest(const QByteArray& method, const QUrl& url, const std::optional<QString>& bearer);
// Sets "Authorization" to "Bearer " and the token, replacing any earlier one.
void setBearer(HttpRequest& request, const QString& token);
// Sets the compact JSON body and its content type.
void setJsonBody(HttpRequest& request, const QJsonObject& body);

// The hosted project's operations without a session.
VaultError notLoggedIn();

bool isSuccess(const HttpResponse& response); // HTTP 200 to 299

} // namespace VaultHttp
