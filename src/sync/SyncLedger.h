#pragma once

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

// One file the engine brought into the vault.
struct SyncRecord {
    QString relativePath;
    qint64 fileSize = 0;
    QDateTime lastModified;
    QString sha256Hash; // lower case
    QDateTime syncedAt;

    bool operator==(const SyncRecord&) const = default;
};

// The engine's memory of which files of the watched folder are already in the vault, kept as
// sync_ledger.json in `directoryPath`. Safe to use from any thread. Saving happens on one
// writer thread that coalesces bursts: every change is on disk within SaveDelay (longer only
// for a ledger so large that its rewrite takes more than a quarter of that), a newer snapshot
// is never overwritten by an older one, and destruction writes what is pending.
class SyncLedger {
public:
    static constexpr std::chrono::milliseconds SaveDelay{250};

    explicit SyncLedger(const QString& directoryPath);
    ~SyncLedger();
    SyncLedger(const SyncLedger&) = delete;
    SyncLedger& operator=(const SyncLedger&) = delete;

    // The user's application data directory + "/store.orlavant.mac", created user-only.
    static QString defaultDirectory();
    static QString fileName() { return QStringLiteral("sync_ledger.json"); }

    bool isSynced(const QString& relativePath, qint64 fileSize, const QDateTime& lastModified) const;
    void recordSync(const QString& relativePath, qint64 fileSize, const QDateTime& lastModified,
                    const QString& sha256Hash);
    bool containsHash(const QString& hash) const;
    int totalSyncedCount() const;
    QSet<QString> allKnownHashes() const;
    void reconcileWithCloudHashes(const QSet<QString>& cloudHashes);
    void clear();

    std::optional<SyncRecord> record(const QString& relativePath) const;
    QString ledgerFilePath() const;

    // Blocks until every change made so far is on disk (or its save failed).
    void flush();
    // Bytes written to the ledger file since creation, for measuring write amplification.
    qint64 bytesWritten() const { return m_bytesWritten.load(); }

    // A ledger belongs to the account that wrote it. Another account's ledger lies set aside in
    // the same directory, under that account's id, until the account signs in again.
    QString setAsideFilePath(const QString& ownerId) const;
    // Sets this ledger aside as `previousOwner`'s (its file renamed, never deleted; pending changes
    // written first) and goes on with the ledger set aside earlier for `nextOwner`, or an empty
    // one. False, with everything left as it was, when the file could not be moved.
    bool switchOwner(const QString& previousOwner, const QString& nextOwner);
    // An id as part of a file name: it can neither leave the directory nor match another id's name.
    static QString fileNamePart(const QString& id);

    // Dates outside years 1 to 9999 become the nearest date the file can hold.
    static QDateTime clampedToLedgerRange(const QDateTime& date);

    // The file format, exposed for tests and tools. decode() is all or nothing about the
    // shape, lenient about dates: a date it cannot read leaves an invalid date in its record.
    static QByteArray encode(const QHash<QString, SyncRecord>& records);
    static std::optional<QHash<QString, SyncRecord>> decode(const QByteArray& json, QString* error);

private:
    void load();
    void save();
    void writerLoop();
    void writeSnapshot();
    // Writes the records to the ledger file; m_fileMutex must be held.
    void writeRecords(QHash<QString, SyncRecord> records);
    QString ensureLedgerPath() const;

    const QString m_directory;

    mutable QMutex m_lock; // guards the two collections
    QHash<QString, SyncRecord> m_records;
    QSet<QString> m_knownHashes;

    // Writer state, guarded by m_writerMutex.
    std::mutex m_writerMutex;
    std::condition_variable m_writerWake;
    std::condition_variable m_writerIdle;
    bool m_dirty = false;
    bool m_writing = false;
    bool m_flushRequested = false;
    bool m_stopping = false;
    std::chrono::steady_clock::time_point m_dirtySince;
    std::chrono::steady_clock::duration m_lastWriteDuration{};
    // Held while the file is written or removed, so clear() and a write never interleave.
    std::mutex m_fileMutex;
    std::atomic<qint64> m_bytesWritten{0};
    std::thread m_writer;
};
