#pragma once

#include "support/TestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QThread>

// The built program as a child of a benchmark, in a profile of its own (home, XDG folders,
// runtime directory, no session bus), offscreen.
namespace ProgramLaunch {

inline QString binary() {
    return QStringLiteral(ORLAVANT_BINARY);
}

inline QProcessEnvironment profile(const QString& root) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    isolateHome(environment, root);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

// Waits (without an event loop) until the child has written `line`; false when it ended first
// or took longer than `timeoutMs`.
inline bool waitForLine(QProcess& process, const QByteArray& line, QByteArray& output,
                        int timeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!output.contains(line)) {
        if (process.state() == QProcess::NotRunning || timer.elapsed() > timeoutMs)
            return false;
        process.waitForReadyRead(100);
        output += process.readAll();
    }
    return true;
}

// The kernel's count of bytes the process has read.
inline qint64 bytesRead(qint64 pid) {
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    return io.open(QIODevice::ReadOnly) ? io.readLine().mid(7).trimmed().toLongLong() : -1;
}

inline double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 1e9 : values[values.size() / 2];
}

} // namespace ProgramLaunch
