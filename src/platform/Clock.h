#pragma once

#include <QDateTime>

// Time as the rest of the program sees it. Tests pass a clock they step by hand, so no test
// waits for wall-clock time to pass.
class Clock {
public:
    virtual ~Clock() = default;
    // The current wall-clock time (UTC).
    virtual QDateTime now() const = 0;
    // Milliseconds on a clock that never jumps: for measuring gaps between events.
    virtual qint64 monotonicMs() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override;
    qint64 monotonicMs() const override;
};
