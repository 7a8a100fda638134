#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>

// Shared by the sync benchmarks: timing, reference tools and the verdict line.
namespace Bench {

// Seconds of the fastest of `runs` calls: the others carry scheduling noise.
inline double bestSeconds(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e9);
    }
    return best;
}

// Runs a reference tool, its output discarded; false when it could not run or failed.
inline bool runTool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// Large scratch data goes under ORLAVANT_BENCH_DIR when set, else the system's temporary dir.
inline QString scratchRoot() {
    const QByteArray dir = qgetenv("ORLAVANT_BENCH_DIR");
    return dir.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(dir);
}

// The last line every benchmark prints.
inline int verdict(const char* name, double ratio, const char* op, double target) {
    const bool pass = QString::fromLatin1(op) == QLatin1String(">=")   ? ratio >= target
                      : QString::fromLatin1(op) == QLatin1String("<=") ? ratio <= target
                                                                       : ratio < target;
    std::printf("%s: ratio %.3f (target %s %g) %s\n", name, ratio, op, target, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
    return pass ? 0 : 1;
}

} // namespace Bench
