// Loading a ledger of 100,000 records; the ratio is the load time in seconds.
#include "BenchUtil.h"
#include "sync/SyncLedger.h"

#include <QCoreApplication>
#include <QFile>
#include <memory>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int Files = 100'000;
    QTemporaryDir dir(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-load-XXXXXX"));
    QHash<QString, SyncRecord> records;
    const QDateTime modified = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < Files; ++i) {
        const QString path = QStringLiteral("Photos/%1/IMG_%2.jpg").arg(i / 1000).arg(i);
        records.insert(path, SyncRecord{path, 1000 + i, modified,
                                        QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0')), modified});
    }
    QFile file(dir.path() + QStringLiteral("/sync_ledger.json"));
    if (!file.open(QIODevice::WriteOnly))
        return Bench::verdict("ledger_load_100k", 1e9, "<", 0.5);
    const QByteArray bytes = SyncLedger::encode(records);
    file.write(bytes);
    file.close();
    int loaded = 0;
    std::unique_ptr<SyncLedger> ledger;
    double seconds = 1e300;
    for (int run = 0; run < 3; ++run) {
        ledger.reset(); // tearing down the previous one is not part of loading
        seconds = std::min(seconds,
                           Bench::bestSeconds(1, [&] { ledger = std::make_unique<SyncLedger>(dir.path()); }));
        loaded = ledger->totalSyncedCount();
    }
    std::printf("loaded %d records (%lld bytes) in %.3f s\n", loaded, static_cast<long long>(bytes.size()),
                seconds);
    return Bench::verdict("ledger_load_100k", loaded == Files ? seconds : 1e9, "<", 0.5);
}
