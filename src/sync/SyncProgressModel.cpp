#include "sync/SyncProgressModel.h"

#include "platform/Clock.h"
#include "sync/SyncReporter.h"

SyncProgressModel::SyncProgressModel(SyncReporter& reporter, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_clock(clock) {
    m_sampler.setInterval(1000);
    connect(&m_sampler, &QTimer::timeout, this, [this] {
        sample();
        emit changed();
    });
    connect(&reporter, &SyncReporter::delivered, this, &SyncProgressModel::apply);
}

qint64 SyncProgressModel::bytesSynced() const {
    const qint64 synced = (m_progress.bytesHashed + m_progress.bytesSent) / 2;
    return std::clamp<qint64>(synced, 0, m_progress.bytesTotal);
}

double SyncProgressModel::fraction() const {
    double files = 0;
    if (m_progress.filesTotal > 0)
        files = double(std::min(m_progress.filesDone, m_progress.filesTotal)) / m_progress.filesTotal;
    const double bytes =
        m_progress.bytesTotal > 0 ? double(bytesSynced()) / double(m_progress.bytesTotal) : 0;
    return std::max(files, bytes);
}

qint64 SyncProgressModel::bytesLeft() const {
    return qint64(double(m_progress.bytesTotal) * (1.0 - fraction()) + 0.5);
}

std::optional<double> SyncProgressModel::bytesPerSecond() const {
    if (m_samples.size() < 2)
        return std::nullopt;
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    if (last.atMs - first.atMs < 1000)
        return std::nullopt;
    return double(last.bytesSynced - first.bytesSynced) * 1000.0 / double(last.atMs - first.atMs);
}

void SyncProgressModel::sample() {
    const qint64 now = m_clock.monotonicMs();
    m_samples.push_back({now, bytesSynced()});
    // Keep one sample at or before the window's start, so the window is always covered.
    while (m_samples.size() > 2 && m_samples[1].atMs <= now - RateWindowMs)
        m_samples.pop_front();
}

void SyncProgressModel::apply(const SyncReportBatch& batch) {
    const bool wasActive = isActive();
    bool ended = false;
    for (const SyncEvent& event : batch.events) {
        if (event.type == SyncEvent::Type::PassStarted) {
            m_passId = event.passId;
            m_running = true;
            ended = false;
            m_progress = SyncProgress{};
            m_samples.clear();
        } else if (event.type == SyncEvent::Type::PassEnded && event.passId == m_passId) {
            ended = true;
        }
    }
    // Progress of a pass that has been replaced (a folder change) says nothing about this one;
    // the last figures of a pass that ended are kept, for whoever asks how it ended.
    if (m_running && batch.progress.passId == m_passId) {
        m_progress = batch.progress;
        sample();
    }
    if (ended)
        m_running = false;
    if (isActive() != m_sampler.isActive()) {
        if (isActive())
            m_sampler.start();
        else
            m_sampler.stop();
    }
    if (wasActive || isActive())
        emit changed();
}
