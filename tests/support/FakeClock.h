#pragma once

#include "platform/Clock.h"

#include <QTimeZone>

// A clock that moves only when the test says so.
class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 1, 15), QTime(9, 30), Qt::UTC))
        : m_now(std::move(start)) {}
    QDateTime now() const override { return m_now; }
    qint64 monotonicMs() const override { return m_monotonicMs; }

    void advanceMs(qint64 ms) {
        m_monotonicMs += ms;
        m_now = m_now.addMSecs(ms);
    }
    void setNow(const QDateTime& now) { m_now = now; }

private:
    QDateTime m_now;
    qint64 m_monotonicMs = 1'000'000;
};
