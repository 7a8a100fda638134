#include "sync/DigestCache.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

constexpr int FormatVersion = 1;

bool isDigest(const QString& text) {
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

// 64-bit numbers travel as decimal text: a JSON number is a double and would round them.
std::optional<qint64> integerText(const QJsonValue& value) {
    bool ok = false;
    const qint64 number = value.toString().toLongLong(&ok);
    return ok ? std::optional<qint64>(number) : std::nullopt;
}

} // namespace

DigestCache::DigestCache(const QString& directoryPath)
    : m_directory(directoryPath) {
    load();
}

QString DigestCache::filePath() const {
    return m_directory + QLatin1Char('/') + fileName();
}

std::optional<QString> DigestCache::lookup(const QString& relativePath,
                                           const FileScanner::Facts& facts) const {
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.constFind(relativePath);
    if (it == m_entries.cend() || it->size != facts.size || it->modifiedNs != facts.modifiedNs ||
        it->inode != facts.inode)
        return std::nullopt;
    return it->digest;
}

void DigestCache::store(const QString& relativePath, const FileScanner::Facts& facts, const QString& digest) {
    QMutexLocker lock(&m_mutex);
    m_entries.insert(relativePath, Entry{facts.size, facts.modifiedNs, facts.inode, digest});
    m_dirty = true;
}

void DigestCache::forget(const QString& relativePath) {
    QMutexLocker lock(&m_mutex);
    if (m_entries.remove(relativePath))
        m_dirty = true;
}

void DigestCache::retainOnly(const QSet<QString>& relativePaths) {
    QMutexLocker lock(&m_mutex);
    if (m_entries.removeIf([&](const auto& entry) { return !relativePaths.contains(entry.key()); }) > 0)
        m_dirty = true;
}

int DigestCache::size() const {
    QMutexLocker lock(&m_mutex);
    return int(m_entries.size());
}

void DigestCache::load() {
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    const QJsonObject root = document.object();
    const QJsonObject files = root.value(QStringLiteral("files")).toObject();
    QHash<QString, Entry> entries;
    bool readable = document.isObject() && root.value(QStringLiteral("version")).toInt() == FormatVersion &&
                    root.value(QStringLiteral("files")).isObject();
    for (auto it = files.constBegin(); readable && it != files.constEnd(); ++it) {
        const QJsonObject fields = it.value().toObject();
        const QString digest = fields.value(QStringLiteral("sha256")).toString();
        const std::optional<qint64> modified = integerText(fields.value(QStringLiteral("modifiedNs")));
        const std::optional<qint64> inode = integerText(fields.value(QStringLiteral("inode")));
        const QJsonValue size = fields.value(QStringLiteral("size"));
        readable = isDigest(digest) && modified && inode && size.isDouble() && size.toDouble() >= 0;
        if (readable)
            entries.insert(it.key(), Entry{qint64(size.toDouble()), *modified, quint64(*inode), digest});
    }
    if (!readable) {
        logLine(
            QStringLiteral("[FolderSync] Ignoring the unreadable digest cache %1; files are hashed again.")
                .arg(filePath()));
        return;
    }
    QMutexLocker lock(&m_mutex);
    m_entries = std::move(entries);
}

void DigestCache::save() {
    QJsonObject files;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_dirty)
            return;
        for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
            files.insert(it.key(),
                         QJsonObject{{QStringLiteral("size"), it->size},
                                     {QStringLiteral("modifiedNs"), QString::number(it->modifiedNs)},
                                     {QStringLiteral("inode"), QString::number(it->inode)},
                                     {QStringLiteral("sha256"), it->digest}});
        }
        m_dirty = false;
    }
    const QByteArray bytes = QJsonDocument(QJsonObject{{QStringLiteral("version"), FormatVersion},
                                                       {QStringLiteral("files"), files}})
                                 .toJson(QJsonDocument::Compact);
    QDir().mkpath(m_directory);
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        // Only costs hashing again after a restart.
        logLine(QStringLiteral("[FolderSync] Could not save the digest cache: ") + file.errorString());
        QMutexLocker lock(&m_mutex);
        m_dirty = true;
    }
}
