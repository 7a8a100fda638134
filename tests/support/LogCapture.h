#pragma once

#include "platform/Log.h"

#include <QMutex>
#include <QStringList>

// Collects log lines while it lives (and still prints nothing), for assertions on log texts.
class LogCapture {
public:
    LogCapture() {
        m_previous = setLogSink([this](const QString& line) {
            QMutexLocker lock(&m_mutex);
            m_lines.append(line);
        });
    }
    ~LogCapture() { setLogSink(m_previous); }

    QStringList lines() const {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    QStringList linesStartingWith(const QString& prefix) const {
        QStringList matching;
        for (const QString& line : lines()) {
            if (line.startsWith(prefix))
                matching.append(line);
        }
        return matching;
    }

private:
    mutable QMutex m_mutex;
    QStringList m_lines;
    LogSink m_previous;
};
