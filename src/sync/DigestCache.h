#pragma once

#include "sync/FileScanner.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <optional>

// The digest of every file hashed and not yet in the ledger, keyed by (relative path, size,
// modification time, inode), so that a file the vault refused is not read again on every pass
// while it stays unchanged, also across restarts. Kept in a small file beside the ledger; a
// file that cannot be read is ignored (every digest is simply computed again). Safe to use
// from any thread.
class DigestCache {
public:
    explicit DigestCache(const QString& directoryPath);

    static QString fileName() { return QStringLiteral("digest_cache.json"); }
    QString filePath() const;

    // The digest of the file as it was hashed, when its facts are still the same.
    std::optional<QString> lookup(const QString& relativePath, const FileScanner::Facts& facts) const;
    void store(const QString& relativePath, const FileScanner::Facts& facts, const QString& digest);
    // The ledger knows the file now: its digest is not needed again.
    void forget(const QString& relativePath);
    // Drops every entry whose path is not among `relativePaths` (the files a complete pass met).
    void retainOnly(const QSet<QString>& relativePaths);
    int size() const;

    // Writes the file when something changed since it was last written or read.
    void save();

private:
    struct Entry {
        qint64 size = 0;
        qint64 modifiedNs = 0;
        quint64 inode = 0;
        QString digest;
    };
    void load();

    const QString m_directory;
    mutable QMutex m_mutex;
    QHash<QString, Entry> m_entries;
    bool m_dirty = false;
};
