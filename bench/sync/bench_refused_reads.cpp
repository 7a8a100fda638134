// A 300 MB file that the vault refuses on both paths (larger than it takes): the bytes the
// client reads across the three timer passes after the first, as a share of the file's size.
// Before, every pass hashed the file again and offered it again.
#include "SyncBench.h"

#include <QTemporaryDir>

namespace {

// Wall-clock time with the waits between timer ticks skipped: a pass takes the time it takes,
// and the next one starts where the 30-second timer would start it (counted from the start of
// sync, as the timer counts).
class TimerPaceClock final : public Clock {
public:
    TimerPaceClock() { m_running.start(); }
    QDateTime now() const override { return m_start.addMSecs(m_running.elapsed() + m_skipped); }
    qint64 monotonicMs() const override { return m_running.elapsed() + m_skipped; }
    void skipTo(const QDateTime& moment) { m_skipped += std::max<qint64>(0, now().msecsTo(moment)); }

private:
    QDateTime m_start = QDateTime::currentDateTimeUtc();
    QElapsedTimer m_running;
    qint64 m_skipped = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr qint64 Size = 300LL << 20;
    QTemporaryDir scratch(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-refused-XXXXXX"));
    VaultProcess vault(scratch.filePath(QStringLiteral("vault")),
                       {QStringLiteral("--max-upload"), QStringLiteral("100M")});
    const QString vaultUrl = SyncBench::startVault(vault);
    const QString folder = scratch.filePath(QStringLiteral("Videos"));
    QDir().mkpath(folder);
    QFile video(folder + QStringLiteral("/holiday.mov"));
    // Sparse: reading it costs what reading any file costs, without filling the disk.
    if (vaultUrl.isEmpty() || !video.open(QIODevice::WriteOnly) || !video.resize(Size))
        return Bench::verdict("refused_file_reads", 1e9, "<=", 0.01);
    video.close();

    TimerPaceClock clock;
    SyncBench::Device device(scratch.filePath(QStringLiteral("client")), vaultUrl,
                             FolderSyncManager::DefaultParallelTransfers, &clock);
    if (!device.signIn())
        return Bench::verdict("refused_file_reads", 1e9, "<=", 0.01);
    const qint64 beforeFirst = SyncBench::bytesRead();
    const QDateTime syncStarted = clock.now();
    device.pass(folder);
    const qint64 firstPass = SyncBench::bytesRead() - beforeFirst;
    const QString afterFirst = device.status();

    const qint64 before = SyncBench::bytesRead();
    for (int tick = 1; tick <= 3; ++tick) {
        clock.skipTo(syncStarted.addSecs(30 * tick));
        device.pass(folder);
    }
    const qint64 read = SyncBench::bytesRead() - before;
    device.core->folderSync.stopSync();
    std::printf("first pass read %lld bytes (\"%s\"); the next three timer passes read %lld bytes (\"%s\")\n",
                static_cast<long long>(firstPass), qPrintable(afterFirst), static_cast<long long>(read),
                qPrintable(device.status()));
    const bool refused = device.core->ledger.totalSyncedCount() == 0 && firstPass >= Size;
    return Bench::verdict("refused_file_reads", refused ? double(read) / double(Size) : 1e9, "<=", 0.01);
}
