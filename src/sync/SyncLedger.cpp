#include "sync/SyncLedger.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>

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

bool digits(QStringView text, qsizetype from, qsizetype count, int* value) {
    int result = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const QChar c = text[i];
        if (c < u'0' || c > u'9')
            return false;
        result = result * 10 + (c.unicode() - u'0');
    }
    *value = result;
    return true;
}

// An internet date-time with whole seconds: 2026-01-31T12:00:00Z or with a +hh:mm / -hh:mm
// offset. Fractional seconds are refused, as the file never holds them. Hand-written because a
// ledger of 100,000 records holds 200,000 dates and must load quickly.
std::optional<QDateTime> parseDate(QStringView text) {
    if (text.size() != 20 && text.size() != 25)
        return std::nullopt;
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, &year) || text[4] != u'-' || !digits(text, 5, 2, &month) || text[7] != u'-' ||
        !digits(text, 8, 2, &day) || (text[10] != u'T' && text[10] != u't') || !digits(text, 11, 2, &hour) ||
        text[13] != u':' || !digits(text, 14, 2, &minute) || text[16] != u':' ||
        !digits(text, 17, 2, &second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > QDate(year, month, 1).daysInMonth() || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    qint64 offsetSeconds = 0;
    if (text.size() == 20) {
        if (text[19] != u'Z' && text[19] != u'z')
            return std::nullopt;
    } else {
        int offsetHours, offsetMinutes;
        const QChar sign = text[19];
        if ((sign != u'+' && sign != u'-') || !digits(text, 20, 2, &offsetHours) || text[22] != u':' ||
            !digits(text, 23, 2, &offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (sign == u'+' ? 1 : -1);
    }
    const qint64 seconds = daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 +
                           minute * 60 + second - offsetSeconds;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

void appendDate(QByteArray& out, const QDateTime& date) {
    // Whole seconds, UTC, "Z": truncation toward the past, like the reader expects.
    const qint64 ms = date.toMSecsSinceEpoch();
    const qint64 seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    out += QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate).toLatin1();
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
    if (it == m_records.cend())
        return false;
    return it->fileSize == fileSize && std::abs(it->lastModified.msecsTo(lastModified)) < SyncWindowMs;
}

void SyncLedger::recordSync(const QString& relativePath, qint64 fileSize, const QDateTime& lastModified,
                            const QString& sha256Hash) {
    {
        QMutexLocker lock(&m_lock);
        const QString hash = sha256Hash.toLower();
        m_records.insert(relativePath, SyncRecord{relativePath, fileSize, lastModified.toUTC(), hash,
                                                  QDateTime::currentDateTimeUtc()});
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
    const auto fail = [error](const QString& text) -> std::optional<QHash<QString, SyncRecord>> {
        if (error)
            *error = text;
        return std::nullopt;
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(QStringLiteral("The data is not valid JSON (%1 at offset %2).")
                        .arg(parseError.errorString())
                        .arg(parseError.offset));
    if (!document.isObject())
        return fail(QStringLiteral("Expected a JSON object of records at the top level."));
    const QJsonObject object = document.object();
    QHash<QString, SyncRecord> records;
    records.reserve(object.size());
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString key = it.key();
        const auto bad = [&](const QString& what) {
            return fail(QStringLiteral("Record \u201C%1\u201D: %2.").arg(key, what));
        };
        if (!it.value().isObject())
            return bad(QStringLiteral("expected an object"));
        const QJsonObject member = it.value().toObject();
        const QJsonValue path = member.value(QLatin1String("relativePath"));
        const QJsonValue size = member.value(QLatin1String("fileSize"));
        const QJsonValue modified = member.value(QLatin1String("lastModified"));
        const QJsonValue hash = member.value(QLatin1String("sha256Hash"));
        const QJsonValue synced = member.value(QLatin1String("syncedAt"));
        if (!path.isString())
            return bad(QStringLiteral("\"relativePath\" is missing or not a string"));
        if (!hash.isString())
            return bad(QStringLiteral("\"sha256Hash\" is missing or not a string"));
        if (!size.isDouble())
            return bad(QStringLiteral("\"fileSize\" is missing or not a number"));
        const double sizeValue = size.toDouble();
        // 2^63 is exactly representable; anything at or beyond it is not a signed 64-bit size.
        if (sizeValue != std::floor(sizeValue) || sizeValue < -9223372036854775808.0 ||
            sizeValue >= 9223372036854775808.0)
            return bad(QStringLiteral("\"fileSize\" is not a 64-bit integer"));
        const std::optional<QDateTime> modifiedDate = parseDate(modified.toString());
        if (!modified.isString() || !modifiedDate)
            return bad(QStringLiteral("\"lastModified\" is missing or not an internet date-time"));
        const std::optional<QDateTime> syncedDate = parseDate(synced.toString());
        if (!synced.isString() || !syncedDate)
            return bad(QStringLiteral("\"syncedAt\" is missing or not an internet date-time"));
        records.insert(key, SyncRecord{path.toString(), size.toInteger(), *modifiedDate,
                                       hash.toString().toLower(), *syncedDate});
    }
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
        m_writerWake.wait_until(lock, m_dirtySince + SaveDelay,
                                [this] { return m_stopping || m_flushRequested || !m_dirty; });
        if (!m_dirty)
            continue; // cleared meanwhile
        m_dirty = false;
        m_flushRequested = false;
        m_writing = true;
        lock.unlock();
        writeSnapshot();
        lock.lock();
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
    const QByteArray bytes = encode(snapshot);
    snapshot = {};
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
