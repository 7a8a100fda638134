// SHA-256 of a 1 GB file: the engine's streamed digest against `openssl dgst -sha256` on the
// same file, both with the file in the page cache.
#include "BenchUtil.h"
#include "sync/FileScanner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 size = qgetenv("ORLAVANT_BENCH_SHA_BYTES").isEmpty()
                            ? 1024LL * 1024 * 1024
                            : qgetenv("ORLAVANT_BENCH_SHA_BYTES").toLongLong();
    QTemporaryDir dir(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-sha-XXXXXX"));
    const QString path = dir.path() + QStringLiteral("/one.bin");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return Bench::verdict("sha256_1gb", 0, ">=", 0.9);
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < block.size(); ++i)
            block[i] = char((i * 2654435761u) >> 24);
        for (qint64 written = 0; written < size; written += block.size())
            file.write(block.constData(), std::min<qint64>(block.size(), size - written));
    }
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty()) {
        std::printf("openssl not found\n");
        return Bench::verdict("sha256_1gb", 0, ">=", 0.9);
    }
    QString digest;
    FileScanner::sha256(path); // warm the page cache
    const double ours = Bench::bestSeconds(3, [&] { digest = FileScanner::sha256(path)->hex; });
    bool toolOk = true;
    const double reference = Bench::bestSeconds(3, [&] {
        toolOk = Bench::runTool(openssl, {QStringLiteral("dgst"), QStringLiteral("-sha256"), path}) && toolOk;
    });
    const double mb = double(size) / (1024 * 1024);
    std::printf("engine:  %.3f s (%.0f MB/s) digest %s\n", ours, mb / ours, qPrintable(digest));
    std::printf("openssl: %.3f s (%.0f MB/s)%s\n", reference, mb / reference, toolOk ? "" : " (failed)");
    return Bench::verdict("sha256_1gb", toolOk ? reference / ours : 0, ">=", 0.9);
}
