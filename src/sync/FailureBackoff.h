#pragma once

#include "sync/FileScanner.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QString>
#include <chrono>

// Files whose sync failed wait before they are tried again: 30 seconds after the first
// failure, then twice as long after each further one, never more than an hour. A file that
// changes is due at once, and so is every file after reset() (Start Sync, Sync Now). Time is
// whatever clock the caller reads. Safe to use from any thread.
class FailureBackoff {
public:
    static constexpr std::chrono::seconds FirstDelay{30};
    static constexpr std::chrono::seconds MaxDelay{3600};

    // The wait after `failures` failures in a row (1 or more).
    static std::chrono::seconds delayAfter(int failures);

    // True while the unchanged file is still waiting; a changed file is forgotten.
    bool isWaiting(const QString& relativePath, const FileScanner::Facts& facts, const QDateTime& now);
    // Counts one more failure of the file as it is now; returns when it is due again.
    QDateTime recordFailure(const QString& relativePath, const FileScanner::Facts& facts,
                            const QDateTime& now);
    void recordSuccess(const QString& relativePath);
    void reset();
    int size() const;

private:
    struct Entry {
        FileScanner::Facts facts;
        int failures = 0;
        QDateTime due;
    };
    mutable QMutex m_mutex;
    QHash<QString, Entry> m_entries;
};
