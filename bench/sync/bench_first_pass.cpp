// A household's first pass: 100,000 small files into the local vault. Files per second with
// the default number of transfers at once, against one transfer at a time (the serial pass)
// measured in the same run on a folder of the same shape.
// ORLAVANT_BENCH_FILES sets another number of files. At this scale a cost that grows with the
// files already stored (the vault's usage check, the ledger's writes) shows as a rate that
// falls as the pass goes on; on loopback the serial pass spends most of its time waiting for
// the vault, not computing.
#include "SyncBench.h"

#include <QTemporaryDir>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int files = qEnvironmentVariableIsSet("ORLAVANT_BENCH_FILES")
                          ? qEnvironmentVariableIntValue("ORLAVANT_BENCH_FILES")
                          : 100'000;
    QTemporaryDir scratch(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-first-XXXXXX"));
    VaultProcess vault(scratch.filePath(QStringLiteral("vault")));
    const QString vaultUrl = SyncBench::startVault(vault);
    if (vaultUrl.isEmpty())
        return Bench::verdict("first_pass_100k", 0, ">=", 1);

    const auto filesPerSecond = [&](int transfers, const QByteArray& tag, QString* status) {
        const QString root = scratch.filePath(QString::fromLatin1(tag));
        if (!SyncBench::writeFiles(root + QStringLiteral("/Family"), files, 200, tag))
            return 0.0;
        SyncBench::Device device(root, vaultUrl, transfers);
        if (!device.signIn())
            return 0.0;
        const double seconds = device.pass(root + QStringLiteral("/Family"));
        *status = device.status();
        device.core->folderSync.stopSync();
        return files / seconds;
    };
    QString serialStatus, defaultStatus;
    const double serial = filesPerSecond(1, "serial", &serialStatus);
    const double overlapped =
        filesPerSecond(FolderSyncManager::DefaultParallelTransfers, "overlapped", &defaultStatus);
    std::printf("%d files: one transfer at a time %.0f files/s (\"%s\"); %d at once %.0f files/s (\"%s\")\n",
                files, serial, qPrintable(serialStatus), FolderSyncManager::DefaultParallelTransfers,
                overlapped, qPrintable(defaultStatus));
    const QString expected = QStringLiteral("Sync complete: %1 uploaded, 0 deduplicated").arg(files);
    const bool complete = serialStatus == expected && defaultStatus == expected && serial > 0;
    return Bench::verdict("first_pass_100k", complete ? overlapped / serial : 0, ">=", 1);
}
