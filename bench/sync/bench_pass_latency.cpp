// A first pass of 300 files of 4 KiB against the local vault behind a proxy that adds 50 ms
// to every request (a vault across town, or a hosted project in another country): the default
// number of transfers at once, against the same pass with one transfer at a time.
#include "SyncBench.h"

#include <QTemporaryDir>

namespace {

constexpr int Files = 300;
constexpr auto Delay = std::chrono::milliseconds(50);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-latency-XXXXXX"));
    VaultProcess vault(scratch.filePath(QStringLiteral("vault")));
    const QString vaultUrl = SyncBench::startVault(vault);
    if (vaultUrl.isEmpty())
        return Bench::verdict("pass_latency_300", 1e9, "<=", 0.33);
    SyncBench::ForwardingProxy proxy(QUrl(vaultUrl), Delay);

    // Each run syncs its own folder of new content from a device of its own.
    const auto run = [&](int transfers, const QByteArray& tag, QString* status) {
        const QString root = scratch.filePath(QString::fromLatin1(tag));
        if (!SyncBench::writeFiles(root + QStringLiteral("/Photos"), Files, 4096, tag))
            return 1e9;
        SyncBench::Device device(root, proxy.baseUrl(), transfers);
        if (!device.signIn())
            return 1e9;
        const double seconds = device.pass(root + QStringLiteral("/Photos"));
        *status = device.status();
        device.core->folderSync.stopSync(); // a timer pass may have been remembered meanwhile
        return seconds;
    };
    QString serialStatus, defaultStatus;
    const double serial = run(1, "serial", &serialStatus);
    const double overlapped = run(FolderSyncManager::DefaultParallelTransfers, "overlapped", &defaultStatus);
    const QString expected = QStringLiteral("Sync complete: %1 uploaded, 0 deduplicated").arg(Files);
    std::printf("one transfer at a time: %.2f s (%.1f files/s), \"%s\"\n", serial, Files / serial,
                qPrintable(serialStatus));
    std::printf("%d at once (the default): %.2f s (%.1f files/s), \"%s\"\n",
                FolderSyncManager::DefaultParallelTransfers, overlapped, Files / overlapped,
                qPrintable(defaultStatus));
    std::printf("requests through the proxy: %d, each delayed %lld ms\n", proxy.requests(),
                static_cast<long long>(Delay.count()));
    const bool complete = serialStatus == expected && defaultStatus == expected;
    return Bench::verdict("pass_latency_300", complete ? overlapped / serial : 1e9, "<=", 0.33);
}
