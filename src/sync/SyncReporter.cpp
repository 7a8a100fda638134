#include "sync/SyncReporter.h"

SyncReporter::SyncReporter(QObject* parent)
    : QObject(parent) {
    m_timer.setInterval(m_interval);
    connect(&m_timer, &QTimer::timeout, this, &SyncReporter::onTick);
}

void SyncReporter::post(SyncEvent event) {
    bool wake = false;
    {
        QMutexLocker lock(&m_mutex);
        m_pending.append(std::move(event));
        wake = !m_wakePending;
        m_wakePending = true;
    }
    if (wake)
        QMetaObject::invokeMethod(this, &SyncReporter::onWake, Qt::QueuedConnection);
}

void SyncReporter::beginProgress(quint64 passId, int filesTotal, qint64 bytesTotal) {
    m_filesTotal = filesTotal;
    m_filesDone = 0;
    m_bytesTotal = bytesTotal;
    m_bytesHashed = 0;
    m_bytesSentAtStart = m_bytesSent ? m_bytesSent() : 0;
    m_passId = passId;
}

void SyncReporter::addFilesDone(int files) {
    m_filesDone += files;
}

void SyncReporter::addBytesHashed(qint64 bytes) {
    m_bytesHashed += bytes;
}

void SyncReporter::setBytesSentSource(std::function<qint64()> source) {
    m_bytesSent = std::move(source);
}

void SyncReporter::setMinimumInterval(std::chrono::milliseconds interval) {
    m_interval = interval;
    m_timer.setInterval(std::max(interval, std::chrono::milliseconds(1)));
}

SyncProgress SyncReporter::progress() const {
    SyncProgress progress;
    progress.passId = m_passId;
    progress.filesTotal = m_filesTotal;
    progress.filesDone = m_filesDone;
    progress.bytesTotal = m_bytesTotal;
    progress.bytesHashed = m_bytesHashed;
    progress.bytesSent = m_bytesSent ? m_bytesSent() - m_bytesSentAtStart : 0;
    return progress;
}

void SyncReporter::onWake() {
    if (m_interval.count() == 0) {
        deliver();
        return;
    }
    if (m_timer.isActive())
        return; // the next tick takes it
    if (!m_sinceDelivery.isValid() || m_sinceDelivery.elapsed() >= m_interval.count())
        deliver();
    m_timer.start();
}

void SyncReporter::onTick() {
    if (deliver() || m_passActive)
        return;
    QMutexLocker lock(&m_mutex);
    if (!m_pending.isEmpty())
        return; // posted just now: the next tick delivers it
    m_wakePending = false;
    m_timer.stop();
}

bool SyncReporter::deliver() {
    SyncReportBatch batch;
    {
        QMutexLocker lock(&m_mutex);
        batch.events.swap(m_pending);
        if (m_interval.count() == 0)
            m_wakePending = false;
    }
    batch.progress = progress();
    for (const SyncEvent& event : std::as_const(batch.events)) {
        if (event.type == SyncEvent::Type::PassStarted)
            m_passActive = true;
        else if (event.type == SyncEvent::Type::PassEnded)
            m_passActive = false;
    }
    if (batch.events.isEmpty() && batch.progress == m_lastProgress)
        return false;
    m_lastProgress = batch.progress;
    m_sinceDelivery.restart();
    emit delivered(batch);
    return true;
}
