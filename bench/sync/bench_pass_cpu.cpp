// A first pass of 2,000 files of 512 bytes against the local vault with the sync screen shown
// (offscreen): the client's CPU time per file, against a budget of 2 ms.
#include "SyncBench.h"
#include "ui/FolderSyncView.h"

#include <QApplication>
#include <QTemporaryDir>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    constexpr int Files = 2000;
    constexpr double BudgetMs = 2.0;
    QTemporaryDir scratch(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-cpu-XXXXXX"));
    VaultProcess vault(scratch.filePath(QStringLiteral("vault")));
    const QString vaultUrl = SyncBench::startVault(vault);
    const QString folder = scratch.filePath(QStringLiteral("Photos"));
    if (vaultUrl.isEmpty() || !SyncBench::writeFiles(folder, Files, 512, "cpu"))
        return Bench::verdict("pass_cpu_small_files", 1e9, "<=", 1);

    SyncBench::Device device(scratch.filePath(QStringLiteral("client")), vaultUrl,
                             FolderSyncManager::DefaultParallelTransfers);
    if (!device.signIn())
        return Bench::verdict("pass_cpu_small_files", 1e9, "<=", 1);
    FolderSyncView screen(device.core->folderSync, device.core->client);
    screen.resize(1020, 680);
    screen.show();
    QCoreApplication::processEvents();

    const QMap<QString, double> threadsBefore = SyncBench::cpuSecondsByThread();
    const double cpuBefore = SyncBench::cpuSeconds();
    const double mainBefore = SyncBench::cpuSeconds(true);
    const double seconds = device.pass(folder);
    const double cpu = SyncBench::cpuSeconds() - cpuBefore;
    const double mainThread = SyncBench::cpuSeconds(true) - mainBefore;
    const QString status = device.status();
    device.core->folderSync.stopSync();
    // Where it went (threads that ended during the pass are not listed).
    const QMap<QString, double> threadsAfter = SyncBench::cpuSecondsByThread();
    for (auto it = threadsAfter.cbegin(); it != threadsAfter.cend(); ++it) {
        const double used = it.value() - threadsBefore.value(it.key());
        if (used >= 0.01)
            std::printf("  %-16s %.2f s (%.3f ms per file)\n", qPrintable(it.key()), used,
                        used * 1000 / Files);
    }
    const double msPerFile = cpu * 1000 / Files;
    std::printf("%d files in %.2f s (%.0f files/s); client CPU %.2f s (%.3f ms per file), of it the main "
                "thread %.2f s; \"%s\"\n",
                Files, seconds, Files / seconds, cpu, msPerFile, mainThread, qPrintable(status));
    const bool complete = status == QStringLiteral("Sync complete: %1 uploaded, 0 deduplicated").arg(Files);
    return Bench::verdict("pass_cpu_small_files", complete ? msPerFile / BudgetMs : 1e9, "<=", 1);
}
