#include "sync/SyncLedger.h"

#include "platform/Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr qint64 SyncWindowMs = 2000;

QFileDevice::Permissions userOnlyDirectory() {
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
qint64 daysFromCivil(qint64 y, unsigned m, unsigned d) {
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + qint64(doe) - 719468;
}

bool digits(QByteArrayView text, qsizetype from, qsizetype count, int* value) {
    int result = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

// Civil date of a day count since 1970-01-01 (the inverse of daysFromCivil).
void civilFromDays(qint64 days, qint64* y, unsigned* m, unsigned* d) {
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = unsigned(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = qint64(yoe) + era * 400 + (*m <= 2);
}

// The ledger's dates are internet date-times, which have four-digit years: a file dated outside
// years 1 to 9999 (tmpfs, btrfs and XFS allow it) is kept at the nearest date that can be written.
const qint64 FirstLedgerSecond = daysFromCivil(1, 1, 1) * 86400;
const qint64 LastLedgerSecond = daysFromCivil(9999, 12, 31) * 86400 + 86399;

qint64 clampedSeconds(qint64 seconds) {
    return std::clamp(seconds, FirstLedgerSecond, LastLedgerSecond);
}

// Whole seconds toward the past, within the writable range; an invalid date becomes the first one.
qint64 ledgerSeconds(const QDateTime& date) {
    if (!date.isValid())
        return FirstLedgerSecond;
    const qint64 ms = date.toMSecsSinceEpoch();
    return clampedSeconds(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
}

// An internet date-time with whole seconds: 2026-01-31T12:00:00Z or with a +hh:mm / -hh:mm
// offset. Hand-written because a ledger of 100,000 records holds 200,000 dates and must load
// quickly; anything else goes to parseDateLeniently.
std::optional<QDateTime> parseDate(QByteArrayView text) {
    if (text.size() != 20 && text.size() != 25)
        return std::nullopt;
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, &year) || text[4] != '-' || !digits(text, 5, 2, &month) || text[7] != '-' ||
        !digits(text, 8, 2, &day) || (text[10] != 'T' && text[10] != 't') || !digits(text, 11, 2, &hour) ||
        text[13] != ':' || !digits(text, 14, 2, &minute) || text[16] != ':' || !digits(text, 17, 2, &second))
        return std::nullopt;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > QDate(year, month, 1).daysInMonth() ||
        hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    qint64 offsetSeconds = 0;
    if (text.size() == 20) {
        if (text[19] != 'Z' && text[19] != 'z')
            return std::nullopt;
    } else {
        int offsetHours, offsetMinutes;
        const char sign = text[19];
        if ((sign != '+' && sign != '-') || !digits(text, 20, 2, &offsetHours) || text[22] != ':' ||
            !digits(text, 23, 2, &offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (sign == '+' ? 1 : -1);
    }
    const qint64 seconds = daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 +
                           minute * 60 + second - offsetSeconds;
    return QDateTime::fromSecsSinceEpoch(clampedSeconds(seconds), Qt::UTC);
}

// What other writers (and this one, before it clamped) have put into the file: years of more
// than four digits or with a sign, fractional seconds, no zone (read as UTC). Clamped like
// written dates; nullopt when it is no date at all.
std::optional<QDateTime> parseDateLeniently(QByteArrayView text) {
    static const QRegularExpression form(
        QStringLiteral("^([+-]?\\d{1,9})-(\\d{2})-(\\d{2})[Tt "
                       "](\\d{2}):(\\d{2}):(\\d{2})(?:[.,]\\d+)?([Zz]|[+-]\\d{2}:?\\d{2})?$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 year = match.captured(1).toLongLong();
    const int month = match.captured(2).toInt(), day = match.captured(3).toInt();
    const int hour = match.captured(4).toInt(), minute = match.captured(5).toInt();
    const int second = match.captured(6).toInt();
    // Days per month of the proleptic calendar, leap years included.
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] || hour > 23 || minute > 59 ||
        second > 60)
        return std::nullopt;
    qint64 offsetSeconds = 0;
    const QString zone = match.captured(7);
    if (zone.size() > 1) {
        const QString digitsOnly = zone.mid(1).remove(u':');
        offsetSeconds = (digitsOnly.left(2).toInt() * 3600 + digitsOnly.mid(2).toInt() * 60) *
                        (zone.startsWith(u'-') ? -1 : 1);
    }
    const qint64 seconds = daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 +
                           minute * 60 + second - offsetSeconds;
    return QDateTime::fromSecsSinceEpoch(clampedSeconds(seconds), Qt::UTC);
}

} // namespace

// Dates are kept as they will be written, so that memory and file agree and a file dated
// beyond the range still matches its record.
QDateTime SyncLedger::clampedToLedgerRange(const QDateTime& date) {
    if (!date.isValid())
        return date;
    const qint64 ms = date.toMSecsSinceEpoch();
    if (ms < FirstLedgerSecond * 1000)
        return QDateTime::fromSecsSinceEpoch(FirstLedgerSecond, Qt::UTC);
    if (ms > LastLedgerSecond * 1000 + 999)
        return QDateTime::fromSecsSinceEpoch(LastLedgerSecond, Qt::UTC);
    return date.toUTC();
}

namespace {

void appendTwoDigits(QByteArray& out, unsigned value) {
    out += char('0' + value / 10);
    out += char('0' + value % 10);
}

void appendDate(QByteArray& out, const QDateTime& date) {
    // Whole seconds, UTC, "Z": truncation toward the past, like the reader expects.
    const qint64 seconds = ledgerSeconds(date);
    const qint64 days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const qint64 ofDay = seconds - days * 86400;
    qint64 year;
    unsigned month, day;
    civilFromDays(days, &year, &month, &day);
    appendTwoDigits(out, unsigned(year / 100));
    appendTwoDigits(out, unsigned(year % 100));
    out += '-';
    appendTwoDigits(out, month);
    out += '-';
    appendTwoDigits(out, day);
    out += 'T';
    appendTwoDigits(out, unsigned(ofDay / 3600));
    out += ':';
    appendTwoDigits(out, unsigned(ofDay / 60 % 60));
    out += ':';
    appendTwoDigits(out, unsigned(ofDay % 60));
    out += 'Z';
}

void appendJsonString(QByteArray& out, const QString& text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

// A strict JSON reader for exactly the ledger's shape, straight into records: a ledger of
// 100,000 files must load in well under half a second, which a generic document tree does not
// manage. Unknown members of a record are skipped; a missing or mistyped one fails the whole
// file, as does anything after the top-level object.
class LedgerParser {
public:
    explicit LedgerParser(const QByteArray& json)
        : m_p(json.constData())
        , m_begin(json.constData())
        , m_end(json.constData() + json.size()) {}

    std::optional<QHash<QString, SyncRecord>> parse() {
        QHash<QString, SyncRecord> records;
        records.reserve(qsizetype((m_end - m_begin) / 256)); // a pretty-printed record is about 300 bytes
        skipSpace();
        if (!expect('{'))
            return fail(QStringLiteral("Expected a JSON object of records at the top level"));
        skipSpace();
        if (peek() == '}') {
            ++m_p;
        } else {
            for (;;) {
                skipSpace();
                std::optional<QString> key = parseString();
                if (!key)
                    return std::nullopt;
                skipSpace();
                if (!expect(':'))
                    return fail(QStringLiteral("Expected ':'"));
                std::optional<SyncRecord> record = parseRecord(*key);
                if (!record)
                    return std::nullopt;
                records.insert(*key, std::move(*record));
                skipSpace();
                if (expect(','))
                    continue;
                if (expect('}'))
                    break;
                return fail(QStringLiteral("Expected ',' or '}'"));
            }
        }
        skipSpace();
        if (m_p != m_end)
            return fail(QStringLiteral("Unexpected data after the ledger object"));
        return records;
    }

    QString error() const { return m_error; }

private:
    std::nullopt_t fail(const QString& what) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1 at offset %2.").arg(what).arg(m_p - m_begin);
        return std::nullopt;
    }
    char peek() const { return m_p < m_end ? *m_p : '\0'; }
    bool expect(char c) {
        if (peek() != c)
            return false;
        ++m_p;
        return true;
    }
    void skipSpace() {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    std::optional<SyncRecord> parseRecord(const QString& key) {
        skipSpace();
        if (!expect('{'))
            return fail(QStringLiteral("Record \u201C%1\u201D is not an object").arg(key));
        std::optional<QString> path, hash;
        std::optional<QDateTime> modified, synced;
        std::optional<qint64> size;
        skipSpace();
        if (!expect('}')) {
            for (;;) {
                skipSpace();
                const std::optional<QString> name = parseString();
                if (!name)
                    return std::nullopt;
                skipSpace();
                if (!expect(':'))
                    return fail(QStringLiteral("Expected ':'"));
                skipSpace();
                bool ok = true;
                if (*name == QLatin1String("relativePath"))
                    ok = bool(path = parseString());
                else if (*name == QLatin1String("sha256Hash"))
                    ok = bool(hash = parseString());
                else if (*name == QLatin1String("lastModified"))
                    ok = bool(modified = parseDateValue());
                else if (*name == QLatin1String("syncedAt"))
                    ok = bool(synced = parseDateValue());
                else if (*name == QLatin1String("fileSize"))
                    ok = bool(size = parseInteger());
                else
                    ok = skipValue(0);
                if (!ok)
                    return fail(
                        QStringLiteral("Record \u201C%1\u201D: \"%2\" has the wrong type").arg(key, *name));
                skipSpace();
                if (expect(','))
                    continue;
                if (expect('}'))
                    break;
                return fail(QStringLiteral("Expected ',' or '}'"));
            }
        }
        if (!path || !hash || !modified || !synced || !size)
            return fail(QStringLiteral("Record \u201C%1\u201D lacks one of its five keys").arg(key));
        if (!hash->isLower())
            *hash = hash->toLower();
        // The key and the path are nearly always the same text: keep one copy.
        if (*path == key)
            *path = key;
        return SyncRecord{*path, *size, *modified, *hash, *synced};
    }

    // A date never costs the ledger its records: one that cannot be read at all (of another
    // type, empty as an older writer left dates it could not write, or impossible) leaves an
    // invalid date, which no file matches, so that file is synced again and its record rewritten.
    std::optional<QDateTime> parseDateValue() {
        if (peek() != '"')
            return skipValue(0) ? std::optional<QDateTime>(QDateTime()) : std::nullopt;
        const std::optional<QByteArray> text = parseBytes();
        if (!text)
            return std::nullopt;
        if (std::optional<QDateTime> date = parseDate(*text))
            return date;
        return parseDateLeniently(*text).value_or(QDateTime());
    }

    // A string's UTF-8 bytes; without escapes (the usual case) no QString is built.
    std::optional<QByteArray> parseBytes() {
        const char* start = m_p + 1;
        if (peek() == '"') {
            const char* q = start;
            while (q < m_end && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20)
                ++q;
            if (q < m_end && *q == '"') {
                m_p = q + 1;
                return QByteArray::fromRawData(start, q - start);
            }
        }
        const std::optional<QString> text = parseString();
        if (!text)
            return std::nullopt;
        return text->toUtf8();
    }

    std::optional<QString> parseString() {
        if (!expect('"'))
            return fail(QStringLiteral("Expected a string"));
        const char* start = m_p;
        // Fast path: no escapes.
        while (m_p < m_end && *m_p != '"' && *m_p != '\\' && static_cast<unsigned char>(*m_p) >= 0x20)
            ++m_p;
        if (peek() == '"') {
            QString text = QString::fromUtf8(start, m_p - start);
            ++m_p;
            return text;
        }
        QByteArray bytes(start, m_p - start);
        while (m_p < m_end) {
            const char c = *m_p++;
            if (c == '"')
                return QString::fromUtf8(bytes);
            if (static_cast<unsigned char>(c) < 0x20)
                return fail(QStringLiteral("Unescaped control character in a string"));
            if (c != '\\') {
                bytes += c;
                continue;
            }
            if (m_p >= m_end)
                break;
            const char e = *m_p++;
            switch (e) {
            case '"':
                bytes += '"';
                break;
            case '\\':
                bytes += '\\';
                break;
            case '/':
                bytes += '/';
                break;
            case 'b':
                bytes += '\b';
                break;
            case 'f':
                bytes += '\f';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 'r':
                bytes += '\r';
                break;
            case 't':
                bytes += '\t';
                break;
            case 'u': {
                std::optional<char32_t> unit = parseHex4();
                if (!unit)
                    return fail(QStringLiteral("Bad \\u escape"));
                char32_t code = *unit;
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (m_end - m_p < 6 || m_p[0] != '\\' || m_p[1] != 'u')
                        return fail(QStringLiteral("Unpaired surrogate"));
                    m_p += 2;
                    const std::optional<char32_t> low = parseHex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return fail(QStringLiteral("Unpaired surrogate"));
                    code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    return fail(QStringLiteral("Unpaired surrogate"));
                }
                bytes += QString::fromUcs4(&code, 1).toUtf8();
                break;
            }
            default:
                return fail(QStringLiteral("Bad escape"));
            }
        }
        return fail(QStringLiteral("Unterminated string"));
    }

    std::optional<char32_t> parseHex4() {
        if (m_end - m_p < 4)
            return std::nullopt;
        char32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *m_p++;
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= char32_t(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= char32_t(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= char32_t(c - 'A' + 10);
            else
                return std::nullopt;
        }
        return value;
    }

    // The JSON number grammar; its text, or nullopt.
    std::optional<QByteArrayView> numberToken() {
        const char* start = m_p;
        expect('-');
        if (expect('0')) {
        } else if (peek() >= '1' && peek() <= '9') {
            while (peek() >= '0' && peek() <= '9')
                ++m_p;
        } else {
            return std::nullopt;
        }
        if (expect('.')) {
            if (!(peek() >= '0' && peek() <= '9'))
                return std::nullopt;
            while (peek() >= '0' && peek() <= '9')
                ++m_p;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++m_p;
            if (!expect('+'))
                expect('-');
            if (!(peek() >= '0' && peek() <= '9'))
                return std::nullopt;
            while (peek() >= '0' && peek() <= '9')
                ++m_p;
        }
        return QByteArrayView(start, m_p - start);
    }

    // A JSON number that is a signed 64-bit integer ("12", also "12.0" or "1.2e1").
    std::optional<qint64> parseInteger() {
        const std::optional<QByteArrayView> token = numberToken();
        if (!token)
            return std::nullopt;
        bool ok = false;
        const qint64 exact = token->toLongLong(&ok);
        if (ok)
            return exact;
        const double value = token->toDouble(&ok);
        if (!ok || value != std::floor(value) || value < -9223372036854775808.0 ||
            value >= 9223372036854775808.0)
            return std::nullopt;
        return qint64(value);
    }

    bool skipValue(int depth) {
        if (depth > 64)
            return false;
        skipSpace();
        switch (peek()) {
        case '"':
            return bool(parseString());
        case '{':
        case '[': {
            const char close = *m_p == '{' ? '}' : ']';
            const bool object = *m_p == '{';
            ++m_p;
            skipSpace();
            if (expect(close))
                return true;
            for (;;) {
                if (object) {
                    skipSpace();
                    if (!parseString())
                        return false;
                    skipSpace();
                    if (!expect(':'))
                        return false;
                }
                if (!skipValue(depth + 1))
                    return false;
                skipSpace();
                if (expect(','))
                    continue;
                return expect(close);
            }
        }
        case 't':
            return skipLiteral("true");
        case 'f':
            return skipLiteral("false");
        case 'n':
            return skipLiteral("null");
        default:
            return bool(numberToken());
        }
    }

    bool skipLiteral(const char* literal) {
        const size_t length = std::strlen(literal);
        if (size_t(m_end - m_p) < length || std::memcmp(m_p, literal, length) != 0)
            return false;
        m_p += length;
        return true;
    }

    const char* m_p;
    const char* m_begin;
    const char* m_end;
    QString m_error;
};

} // namespace

SyncLedger::SyncLedger(const QString& directoryPath)
    : m_directory(directoryPath) {
    load();
    m_writer = std::thread([this] { writerLoop(); });
}

SyncLedger::~SyncLedger() {
    {
        std::lock_guard lock(m_writerMutex);
        m_stopping = true;
    }
    m_writerWake.notify_all();
    m_writer.join();
}

QString SyncLedger::defaultDirectory() {
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/store.orlavant.mac");
    if (QDir().mkpath(path))
        QFile::setPermissions(path, userOnlyDirectory());
    return path;
}

QString SyncLedger::ledgerFilePath() const {
    return m_directory + QLatin1Char('/') + fileName();
}

// Computed anew on every use, so a directory removed while running is created again. A
// failure here shows up as the write's failure.
QString SyncLedger::ensureLedgerPath() const {
    if (!QFileInfo::exists(m_directory) && QDir().mkpath(m_directory))
        QFile::setPermissions(m_directory, userOnlyDirectory());
    return ledgerFilePath();
}

bool SyncLedger::isSynced(const QString& relativePath, qint64 fileSize, const QDateTime& lastModified) const {
    QMutexLocker lock(&m_lock);
    const auto it = m_records.constFind(relativePath);
    // An unreadable date matches nothing (msecsTo would call any two such dates equal).
    if (it == m_records.cend() || !it->lastModified.isValid() || !lastModified.isValid())
        return false;
    return it->fileSize == fileSize &&
           std::abs(it->lastModified.msecsTo(clampedToLedgerRange(lastModified))) < SyncWindowMs;
}

void SyncLedger::recordSync(const QString& relativePath, qint64 fileSize, const QDateTime& lastModified,
                            const QString& sha256Hash) {
    {
        QMutexLocker lock(&m_lock);
        const QString hash = sha256Hash.toLower();
        m_records.insert(relativePath, SyncRecord{relativePath, fileSize, clampedToLedgerRange(lastModified),
                                                  hash, QDateTime::currentDateTimeUtc()});
        m_knownHashes.insert(hash);
    }
    save();
}

bool SyncLedger::containsHash(const QString& hash) const {
    QMutexLocker lock(&m_lock);
    return m_knownHashes.contains(hash.toLower());
}

int SyncLedger::totalSyncedCount() const {
    QMutexLocker lock(&m_lock);
    return int(m_records.size());
}

QSet<QString> SyncLedger::allKnownHashes() const {
    QMutexLocker lock(&m_lock);
    return m_knownHashes;
}

std::optional<SyncRecord> SyncLedger::record(const QString& relativePath) const {
    QMutexLocker lock(&m_lock);
    const auto it = m_records.constFind(relativePath);
    if (it == m_records.cend())
        return std::nullopt;
    return *it;
}

void SyncLedger::reconcileWithCloudHashes(const QSet<QString>& cloudHashes) {
    {
        QMutexLocker lock(&m_lock);
        m_records.removeIf(
            [&](const auto& entry) { return !cloudHashes.contains(entry.value().sha256Hash); });
        m_knownHashes = cloudHashes;
    }
    save();
}

void SyncLedger::clear() {
    // The file lock first: a write in progress finishes before the file is removed, and no
    // write of the old records can start after.
    std::lock_guard fileLock(m_fileMutex);
    {
        QMutexLocker lock(&m_lock);
        m_records.clear();
        m_knownHashes.clear();
    }
    {
        std::lock_guard lock(m_writerMutex);
        m_dirty = false;
    }
    m_writerIdle.notify_all();
    QFile::remove(ledgerFilePath());
}

void SyncLedger::load() {
    QMutexLocker lock(&m_lock);
    QFile file(ledgerFilePath());
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return;
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return;
    QString error;
    std::optional<QHash<QString, SyncRecord>> records = decode(content, &error);
    if (!records) {
        logLine(QStringLiteral("[SyncLedger] Error decoding ledger, starting fresh: ") + error);
        return;
    }
    m_records = std::move(*records);
    m_knownHashes.reserve(m_records.size());
    for (const SyncRecord& record : std::as_const(m_records))
        m_knownHashes.insert(record.sha256Hash);
    logLine(QStringLiteral("[SyncLedger] Loaded %1 previously synced files (%2 unique hashes).")
                .arg(m_records.size())
                .arg(m_knownHashes.size()));
}

std::optional<QHash<QString, SyncRecord>> SyncLedger::decode(const QByteArray& json, QString* error) {
    LedgerParser parser(json);
    std::optional<QHash<QString, SyncRecord>> records = parser.parse();
    if (!records && error)
        *error = parser.error();
    return records;
}

QByteArray SyncLedger::encode(const QHash<QString, SyncRecord>& records) {
    if (records.isEmpty())
        return QByteArrayLiteral("{\n}\n");
    // Sorted, so that two saves of the same records give the same bytes.
    std::vector<std::pair<const QString*, const SyncRecord*>> sorted;
    sorted.reserve(size_t(records.size()));
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        sorted.emplace_back(&it.key(), &it.value());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return *a.first < *b.first; });
    QByteArray out;
    out.reserve(records.size() * 260);
    out += "{\n";
    bool first = true;
    for (const auto& [key, record] : sorted) {
        if (!first)
            out += ",\n";
        first = false;
        out += "    ";
        appendJsonString(out, *key);
        out += ": {\n        \"fileSize\": ";
        out += QByteArray::number(record->fileSize);
        out += ",\n        \"lastModified\": \"";
        appendDate(out, record->lastModified);
        out += "\",\n        \"relativePath\": ";
        appendJsonString(out, record->relativePath);
        out += ",\n        \"sha256Hash\": ";
        appendJsonString(out, record->sha256Hash);
        out += ",\n        \"syncedAt\": \"";
        appendDate(out, record->syncedAt);
        out += "\"\n    }";
    }
    out += "\n}\n";
    return out;
}

void SyncLedger::save() {
    {
        std::lock_guard lock(m_writerMutex);
        if (!m_dirty) {
            m_dirty = true;
            m_dirtySince = std::chrono::steady_clock::now();
        }
    }
    m_writerWake.notify_all();
}

void SyncLedger::flush() {
    std::unique_lock lock(m_writerMutex);
    if (!m_dirty && !m_writing)
        return;
    m_flushRequested = true;
    m_writerWake.notify_all();
    m_writerIdle.wait(lock, [this] { return !m_dirty && !m_writing; });
}

void SyncLedger::writerLoop() {
    std::unique_lock lock(m_writerMutex);
    for (;;) {
        m_writerWake.wait(lock, [this] { return m_dirty || m_stopping; });
        if (!m_dirty)
            return; // stopping with nothing pending
        // Let a burst of records gather into one write; a flush or shutdown cuts the wait short.
        // A large ledger waits longer, so rewriting it never takes more than a fifth of the time.
        const auto delay = std::max<std::chrono::steady_clock::duration>(SaveDelay, 4 * m_lastWriteDuration);
        m_writerWake.wait_until(lock, m_dirtySince + delay,
                                [this] { return m_stopping || m_flushRequested || !m_dirty; });
        if (!m_dirty)
            continue; // cleared meanwhile
        m_dirty = false;
        m_flushRequested = false;
        m_writing = true;
        lock.unlock();
        const auto started = std::chrono::steady_clock::now();
        writeSnapshot();
        const auto took = std::chrono::steady_clock::now() - started;
        lock.lock();
        m_lastWriteDuration = took;
        m_writing = false;
        if (!m_dirty)
            m_writerIdle.notify_all();
    }
}

void SyncLedger::writeSnapshot() {
    std::lock_guard fileLock(m_fileMutex);
    QHash<QString, SyncRecord> snapshot;
    {
        QMutexLocker lock(&m_lock);
        snapshot = m_records;
    }
    writeRecords(std::move(snapshot));
}

void SyncLedger::writeRecords(QHash<QString, SyncRecord> records) {
    const QByteArray bytes = encode(records);
    records = {};
    QSaveFile file(ensureLedgerPath());
    if (!file.open(QIODevice::WriteOnly)) {
        logLine(QStringLiteral("[SyncLedger] Failed to save ledger: ") + file.errorString());
        return;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        logLine(QStringLiteral("[SyncLedger] Failed to save ledger: ") + file.errorString());
        file.cancelWriting();
        return;
    }
    m_bytesWritten += bytes.size();
}

// ---- Accounts ----

QString SyncLedger::fileNamePart(const QString& id) {
    if (id.isEmpty())
        return QStringLiteral("%"); // no escaped id is a lone "%"
    // Everything but letters, digits, "-" and "_" escaped: no "/", no "..", no hidden name, and
    // "%" escaped too, so two ids never share a name.
    const QByteArray escaped = QUrl::toPercentEncoding(id, QByteArray(), ".~");
    // File names end at 255 bytes; a long id is known by its digest instead.
    if (escaped.size() > 128)
        return QStringLiteral("sha256-") +
               QString::fromLatin1(QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha256).toHex());
    return QString::fromLatin1(escaped);
}

QString SyncLedger::setAsideFilePath(const QString& ownerId) const {
    return m_directory + QStringLiteral("/sync_ledger.") + fileNamePart(ownerId) + QStringLiteral(".json");
}

bool SyncLedger::switchOwner(const QString& previousOwner, const QString& nextOwner) {
    const auto move = [](const QString& from, const QString& to) {
        // rename() replaces the target in one step: a crash leaves either file whole.
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
            return true;
        logLine(QStringLiteral("[SyncLedger] Failed to move %1 to %2: %3")
                    .arg(from, to, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    };
    // The file lock first: no write runs while the files move, and none of the old records
    // can start after.
    std::lock_guard fileLock(m_fileMutex);
    QHash<QString, SyncRecord> records;
    QSet<QString> hashes;
    {
        QMutexLocker lock(&m_lock);
        records.swap(m_records);
        hashes.swap(m_knownHashes);
    }
    bool pending = false;
    {
        std::lock_guard lock(m_writerMutex);
        pending = m_dirty;
        m_dirty = false;
    }
    m_writerIdle.notify_all();

    const QString current = ensureLedgerPath();
    if (pending)
        writeRecords(records); // the set-aside ledger holds every record made so far
    if (QFileInfo::exists(current) && !move(current, setAsideFilePath(previousOwner))) {
        QMutexLocker lock(&m_lock);
        m_records = std::move(records);
        m_knownHashes = std::move(hashes);
        return false;
    }
    const QString restored = setAsideFilePath(nextOwner);
    if (QFileInfo::exists(restored))
        move(restored, current); // when it fails, the account starts afresh and its old file stays
    load();
    return true;
}
