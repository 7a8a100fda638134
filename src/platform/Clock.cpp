#include "platform/Clock.h"

#include <QElapsedTimer>

QDateTime SystemClock::now() const {
    return QDateTime::currentDateTimeUtc();
}

qint64 SystemClock::monotonicMs() const {
    // QElapsedTimer's reference point is the monotonic clock's own epoch, so msecsSinceReference
    // is comparable across calls.
    QElapsedTimer timer;
    timer.start();
    return timer.msecsSinceReference();
}
