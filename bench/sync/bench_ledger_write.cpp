// Recording 100,000 files: bytes written to the ledger against the final ledger's size.
#include "BenchUtil.h"
#include "sync/SyncLedger.h"

#include <QCoreApplication>
#include <QFileInfo>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int Files = 100'000;
    QTemporaryDir dir(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-ledger-XXXXXX"));
    const QDateTime modified = QDateTime::currentDateTimeUtc();
    qint64 bytesWritten = 0;
    const double seconds = Bench::bestSeconds(1, [&] {
        SyncLedger ledger(dir.path());
        for (int i = 0; i < Files; ++i) {
            const QString digest = QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0'));
            ledger.recordSync(QStringLiteral("Photos/%1/IMG_%2.jpg").arg(i / 1000).arg(i), 1000 + i, modified,
                              digest);
        }
        ledger.flush();
        bytesWritten = ledger.bytesWritten();
    });
    const qint64 finalSize = QFileInfo(dir.path() + QStringLiteral("/sync_ledger.json")).size();
    std::printf("recorded %d files in %.3f s; %lld bytes written for a %lld-byte ledger\n", Files, seconds,
                static_cast<long long>(bytesWritten), static_cast<long long>(finalSize));
    return Bench::verdict("ledger_record_100k",
                          finalSize > 0 ? double(bytesWritten) / double(finalSize) : 1e9, "<=", 10);
}
