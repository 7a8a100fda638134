#pragma once

#include "sync/SyncReport.h"

#include <QObject>
#include <QTimer>
#include <deque>
#include <optional>

class Clock;
class SyncReporter;

// How far the running pass has got, as the screens show it: files done of the files that need
// work, how much of their data is left and how fast it goes. Each byte of such a file is read
// once (to hash it) and sent once (to upload it), so reading it counts half and sending it the
// other half; the bar moves through a single large file as it is hashed and then sent. A file
// that needed less (its digest known, or its content already in the vault) completes when it
// is done, through the file count.
class SyncProgressModel : public QObject {
    Q_OBJECT
public:
    // The speed is measured over this much of the recent past.
    static constexpr qint64 RateWindowMs = 5000;

    SyncProgressModel(SyncReporter& reporter, const Clock& clock, QObject* parent = nullptr);

    // A pass is running and has found files to sync.
    bool isActive() const { return m_running && m_progress.filesTotal > 0; }
    int filesDone() const { return m_progress.filesDone; }
    int filesTotal() const { return m_progress.filesTotal; }
    qint64 bytesTotal() const { return m_progress.bytesTotal; }
    // 0 to 1: the larger of the share of files done and the share of their data synced.
    double fraction() const;
    qint64 bytesLeft() const;
    // Bytes of data synced per second lately; nullopt until a second of it has been seen.
    std::optional<double> bytesPerSecond() const;

    // What the reporter delivered (connected at construction).
    void apply(const SyncReportBatch& batch);

Q_SIGNALS:
    void changed();

private:
    struct Sample {
        qint64 atMs;
        qint64 bytesSynced;
    };
    // Counted in half bytes: a byte read and the same byte sent make one byte synced.
    qint64 bytesSynced() const;
    void sample();

    const Clock& m_clock;
    SyncProgress m_progress;
    quint64 m_passId = 0;
    bool m_running = false;
    std::deque<Sample> m_samples;
    // While a pass runs, a stalled transfer still shows its speed falling.
    QTimer m_sampler;
};
