#pragma once

#include "platform/Clock.h"

#include <QTimeZone>
#include <atomic>

// A clock that moves only when the test says so. Safe to read from any thread (the vault client
// reads it on its pool) while the test steps it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 1, 15), QTime(9, 30), Qt::UTC))
        : m_nowMs(start.toMSecsSinceEpoch()) {}
    QDateTime now() const override { return QDateTime::fromMSecsSinceEpoch(m_nowMs.load(), Qt::UTC); }
    qint64 monotonicMs() const override { return m_monotonicMs.load(); }

    void advanceMs(qint64 ms) {
        m_monotonicMs += ms;
        m_nowMs += ms;
    }
    void setNow(const QDateTime& now) { m_nowMs = now.toMSecsSinceEpoch(); }

private:
    std::atomic<qint64> m_nowMs;
    std::atomic<qint64> m_monotonicMs{1'000'000};
};
