#pragma once

#include "sync/SyncReport.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>

// The one way a sync pass reports: events and progress go in from any thread and come out on
// the owner's (the main) thread as batches, at most one per `minimumInterval`, so a pass over
// thousands of small files wakes the screens ten times a second instead of once per file. The
// last events of a pass are always delivered. While a pass runs, progress alone (bytes hashed
// or sent during a long file) is delivered at the same pace.
class SyncReporter : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds DefaultInterval{100};

    explicit SyncReporter(QObject* parent = nullptr);

    // Producer side, any thread.
    void post(SyncEvent event);
    // Starts the progress of a pass from zero.
    void beginProgress(quint64 passId, int filesTotal, qint64 bytesTotal);
    void addFilesDone(int files);
    void addBytesHashed(qint64 bytes);
    // The running count of file body bytes sent (thread-safe, never decreasing); progress
    // reports how much it grew since the pass began.
    void setBytesSentSource(std::function<qint64()> source);

    // Owner's thread. An interval of 0 delivers every event as soon as the thread gets to it,
    // for observers that need every intermediate step.
    void setMinimumInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds minimumInterval() const { return m_interval; }
    SyncProgress progress() const;

Q_SIGNALS:
    void delivered(const SyncReportBatch& batch);

private:
    void onWake();
    void onTick();
    // Hands out what is pending; false when there was nothing new to say.
    bool deliver();

    std::chrono::milliseconds m_interval = DefaultInterval;
    std::function<qint64()> m_bytesSent;

    QMutex m_mutex; // guards the two below
    QList<SyncEvent> m_pending;
    bool m_wakePending = false; // the owner's thread will look at m_pending without being asked

    std::atomic<quint64> m_passId{0};
    std::atomic<int> m_filesTotal{0};
    std::atomic<int> m_filesDone{0};
    std::atomic<qint64> m_bytesTotal{0};
    std::atomic<qint64> m_bytesHashed{0};
    std::atomic<qint64> m_bytesSentAtStart{0};

    // Owner's thread only.
    QTimer m_timer;
    QElapsedTimer m_sinceDelivery;
    bool m_passActive = false;
    SyncProgress m_lastProgress;
};
