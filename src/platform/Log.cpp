#include "platform/Log.h"

#include <QMutex>
#include <cstdio>

namespace {
QMutex g_mutex;
LogSink g_sink;
} // namespace

void logLine(const QString& line) {
    QMutexLocker lock(&g_mutex);
    if (g_sink) {
        g_sink(line);
        return;
    }
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

LogSink setLogSink(LogSink sink) {
    QMutexLocker lock(&g_mutex);
    std::swap(g_sink, sink);
    return sink;
}
