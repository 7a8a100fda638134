#include "sync/StoragePath.h"

#include "sync/FileScanner.h"

namespace StoragePath {

namespace {

bool isSafeByte(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '_':
    case '/':
    case '!':
    case '-':
    case '.':
    case '*':
    case '\'':
    case '(':
    case ')':
    case ' ':
    case '&':
    case '$':
    case '@':
    case '=':
    case ';':
    case ':':
    case '+':
    case ',':
    case '?':
        return true;
    default:
        return false;
    }
}

bool needsEscape(const QByteArray& utf8) {
    if (utf8 == "." || utf8 == "..")
        return true;
    for (const char c : utf8) {
        if (c == '/' || !isSafeByte(c))
            return true;
    }
    return false;
}

QString escapeComponent(const QString& component) {
    const QByteArray utf8 = component.toUtf8();
    if (!needsEscape(utf8))
        return component;
    static const char hex[] = "0123456789ABCDEF";
    const bool dots = utf8 == "." || utf8 == "..";
    QString escaped;
    escaped.reserve(utf8.size() * 3);
    for (const char c : utf8) {
        if (!dots && c != '+' && c != '/' && isSafeByte(c)) {
            escaped += QLatin1Char(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        escaped += QLatin1Char('+');
        escaped += QLatin1Char(hex[byte >> 4]);
        escaped += QLatin1Char(hex[byte & 0xF]);
    }
    return escaped;
}

} // namespace

QString forFile(const std::optional<QString>& userId, const QString& deviceName, const QString& folderPath,
                const QString& digest, const QString& fileName) {
    QString device = deviceName;
    device.replace(u' ', u'_');
    return userId.value_or(QStringLiteral("vault")) + QStringLiteral("/mac/") + escapeComponent(device) +
           QLatin1Char('/') + escapeComponent(FileScanner::fileName(folderPath)) + QLatin1Char('/') + digest +
           QLatin1Char('_') + escapeComponent(fileName);
}

} // namespace StoragePath
