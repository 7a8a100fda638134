#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

// Writes `bytes` to `path`, making its folders first; fails the test when it cannot.
inline void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(),
             qPrintable(path));
}

// Bytes a process has read through read() and friends, from the kernel's own count (the first
// line of /proc/<pid>/io is "rchar: <bytes>"); -1 when it cannot be read.
inline qint64 bytesReadBy(const QString& pid = QStringLiteral("self")) {
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    return io.open(QIODevice::ReadOnly) ? io.readLine().mid(7).trimmed().toLongLong() : -1;
}
