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

int hexValue(QChar c) {
    if (c >= u'0' && c <= u'9')
        return c.unicode() - '0';
    if (c >= u'A' && c <= u'F')
        return c.unicode() - 'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c.unicode() - 'a' + 10;
    return -1;
}

} // namespace

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

QString unescapeComponent(const QString& escaped) {
    QByteArray utf8;
    utf8.reserve(escaped.size());
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        const int high = i + 2 < escaped.size() ? hexValue(escaped[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(escaped[i + 2]) : -1;
        if (escaped[i] == u'+' && low >= 0) {
            utf8 += char(high * 16 + low);
            i += 2;
        } else {
            utf8 += escaped[i].toLatin1();
        }
    }
    return QString::fromUtf8(utf8);
}

bool isAcceptedKey(const QString& key) {
    for (const QChar c : key) {
        if (c.unicode() > 0x7F || !isSafeByte(char(c.unicode())))
            return false;
    }
    return true;
}

QString forFile(const std::optional<QString>& userId, const QString& deviceName, const QString& folderPath,
                const QString& digest, const QString& fileName) {
    QString device = deviceName;
    device.replace(u' ', u'_');
    return userId.value_or(QStringLiteral("vault")) + QStringLiteral("/mac/") + escapeComponent(device) +
           QLatin1Char('/') + escapeComponent(FileScanner::fileName(folderPath)) + QLatin1Char('/') + digest +
           QLatin1Char('_') + escapeComponent(fileName);
}

} // namespace StoragePath
