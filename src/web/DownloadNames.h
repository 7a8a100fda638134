#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

// Where downloads go and under which name. Every name that reaches the file system passes
// through safeFileName(), so a download can never be written outside the Downloads folder.
namespace DownloadNames {

inline const QString FallbackName = QStringLiteral("orlavant_download");

// The address a page-supplied download link stands for: absolute http(s) addresses unchanged,
// anything else joined to `apiBaseUrl` (its slashes at both ends removed) with one "/".
// nullopt when the result is not a usable http(s) URL.
std::optional<QUrl> resolveAddress(const QString& apiBaseUrl, const QString& urlStr);

// True when both URLs have the same scheme, host and (effective) port: the bearer token goes
// only to the origin it belongs to.
bool sameOrigin(const QUrl& a, const QUrl& b);

// The last path component of `wanted`, without control characters, leading dots or
// surrounding blanks, and short enough for the file system; FallbackName when nothing is left.
QString safeFileName(const QString& wanted);

// The file name of a Content-Disposition header (filename* preferred); empty when none.
QString contentDispositionFileName(const QByteArray& header);

// The candidate names for `safeName`, in order: the name itself, then "stem (n).ext".
QString numberedName(const QString& safeName, int n);

// The first path in `directory` for `safeName` (or a numbered variant) where nothing exists.
QString freeDestination(const QString& directory, const QString& safeName);

// Moves `sourcePath` into `directory` under the first free variant of `safeName`; never
// replaces an existing file, also when one appears meanwhile. Returns the destination, or
// nullopt with `error` set.
std::optional<QString> moveToFreeName(const QString& sourcePath, const QString& directory,
                                      const QString& safeName, QString* error);

// The user's Downloads folder (created when missing); nullopt when the platform names none.
std::optional<QString> downloadsDirectory();

} // namespace DownloadNames
