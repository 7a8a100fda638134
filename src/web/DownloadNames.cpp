#include "web/DownloadNames.h"

#include "vault/VaultHttp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace DownloadNames {

namespace {
// Linux file names are limited to 255 bytes; numbering adds a few more.
constexpr qsizetype MaxNameBytes = 200;
constexpr int MaxNumber = 100000;
} // namespace

std::optional<QUrl> resolveAddress(const QString& apiBaseUrl, const QString& urlStr) {
    if (urlStr.startsWith(QLatin1String("http://")) || urlStr.startsWith(QLatin1String("https://")))
        return VaultHttp::parseUrl(urlStr);
    const QString separator = urlStr.startsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    return VaultHttp::join(VaultHttp::trimSlashes(apiBaseUrl), separator + urlStr);
}

bool sameOrigin(const QUrl& a, const QUrl& b) {
    auto defaultPort = [](const QUrl& url) { return url.scheme() == QLatin1String("https") ? 443 : 80; };
    return a.isValid() && b.isValid() && !a.host().isEmpty() &&
           a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.port(defaultPort(a)) == b.port(defaultPort(b));
}

QString safeFileName(const QString& wanted) {
    // A backslash is an ordinary character here but a separator to the Windows-made names
    // servers sometimes send; either way only what follows the last one is a name.
    QString name = wanted;
    const qsizetype cut = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    if (cut >= 0)
        name = name.mid(cut + 1);
    QString cleaned;
    cleaned.reserve(name.size());
    for (const QChar c : std::as_const(name)) {
        if (c.category() == QChar::Other_Control || c == QChar(0x2028) || c == QChar(0x2029))
            continue;
        cleaned += c;
    }
    // Leading dots make hidden files, and "." / ".." are not names at all.
    qsizetype begin = 0;
    while (begin < cleaned.size() && (cleaned.at(begin) == QLatin1Char('.') || cleaned.at(begin).isSpace()))
        ++begin;
    cleaned = cleaned.mid(begin).trimmed();
    if (cleaned.toUtf8().size() > MaxNameBytes) {
        const QFileInfo info(cleaned);
        const QString suffix = info.suffix().size() <= 16 && !info.suffix().isEmpty()
                                   ? QLatin1Char('.') + info.suffix()
                                   : QString();
        QString stem = cleaned.left(cleaned.size() - suffix.size());
        while (!stem.isEmpty() && (stem + suffix).toUtf8().size() > MaxNameBytes)
            stem.chop(stem.size() >= 2 && stem.at(stem.size() - 1).isLowSurrogate() ? 2 : 1);
        cleaned = stem + suffix;
    }
    return cleaned.isEmpty() ? FallbackName : cleaned;
}

QString contentDispositionFileName(const QByteArray& header) {
    static const QRegularExpression extended(QStringLiteral(R"(filename\*\s*=\s*([^']*)'[^']*'([^;\s]+))"),
                                             QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression quoted(QStringLiteral(R"((?:^|;)\s*filename\s*=\s*"((?:[^"\\]|\\.)*)\")"),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression token(QStringLiteral(R"((?:^|;)\s*filename\s*=\s*([^;\s"]+))"),
                                          QRegularExpression::CaseInsensitiveOption);
    const QString text = QString::fromLatin1(header);
    if (const auto match = extended.match(text); match.hasMatch()) {
        const QByteArray decoded = QByteArray::fromPercentEncoding(match.captured(2).toLatin1());
        if (match.captured(1).compare(QLatin1String("iso-8859-1"), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(decoded);
        return QString::fromUtf8(decoded);
    }
    if (const auto match = quoted.match(text); match.hasMatch()) {
        QString value = match.captured(1);
        value.replace(QRegularExpression(QStringLiteral(R"(\\(.))")), QStringLiteral("\\1"));
        // Servers commonly send UTF-8 in the plain parameter too.
        return QString::fromUtf8(value.toLatin1());
    }
    if (const auto match = token.match(text); match.hasMatch())
        return QString::fromUtf8(match.captured(1).toLatin1());
    return {};
}

QString numberedName(const QString& safeName, int n) {
    if (n <= 0)
        return safeName;
    const QFileInfo info(safeName);
    const QString suffix = info.suffix();
    const QString stem = suffix.isEmpty() ? safeName : safeName.left(safeName.size() - suffix.size() - 1);
    QString name = stem + QStringLiteral(" (") + QString::number(n) + QLatin1Char(')');
    if (!suffix.isEmpty())
        name += QLatin1Char('.') + suffix;
    return name;
}

QString freeDestination(const QString& directory, const QString& safeName) {
    const QDir dir(directory);
    for (int n = 0; n < MaxNumber; ++n) {
        const QString path = dir.filePath(numberedName(safeName, n));
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            return path;
    }
    return dir.filePath(numberedName(safeName, MaxNumber));
}

std::optional<QString> moveToFreeName(const QString& sourcePath, const QString& directory,
                                      const QString& safeName, QString* error) {
    const QDir dir(directory);
    for (int n = 0; n < MaxNumber; ++n) {
        const QString path = dir.filePath(numberedName(safeName, n));
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            continue;
        QFile source(sourcePath);
        // QFile::rename refuses to replace an existing file, so a name taken meanwhile only
        // moves us on to the next number.
        if (source.rename(path))
            return path;
        if (QFileInfo::exists(path))
            continue;
        if (error)
            *error = source.errorString();
        return std::nullopt;
    }
    if (error)
        *error = QStringLiteral("No free file name for %1").arg(safeName);
    return std::nullopt;
}

std::optional<QString> downloadsDirectory() {
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::DownloadLocation);
    if (locations.isEmpty() || locations.first().isEmpty())
        return std::nullopt;
    const QString path = locations.first();
    if (!QDir().mkpath(path))
        return std::nullopt;
    return path;
}

} // namespace DownloadNames
