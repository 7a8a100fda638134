// Uploads a 1 GiB file (ORLAVANT_BENCH_MIB overrides the size) to the real orlavant-vault on
// loopback twice each way: with curl -T and with SupabaseClient::uploadToStorage. Targets:
// the client's resident memory grows by less than 64 MiB, and its throughput is at least
// half of curl's. Scratch data goes under ORLAVANT_BENCH_DIR (default: the temporary dir).

#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "vault/SupabaseClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <unistd.h>

namespace {

const QString AnonKey = QStringLiteral("bench-anon-key");

long statusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
    return -1;
}

// CPU seconds (user + system) a process has used so far, from /proc.
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12
               ? double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK))
               : 0;
}

template <typename T> T await(const QFuture<T>& future) {
    while (!future.isFinished())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return future.result();
}

bool writeScratchFile(const QString& path, qint64 bytes) {
    // Incompressible content, written in 1 MiB blocks so the generator costs little.
    QByteArray block(1 << 20, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (qint64 written = 0; written < bytes; written += block.size()) {
        block[0] = char(written >> 20); // no two blocks alike
        if (file.write(block.constData(), qMin<qint64>(block.size(), bytes - written)) < 0)
            return false;
    }
    // On disk before anything is timed, so write-back does not land inside a measurement.
    return file.flush() && ::fsync(file.handle()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 mib = qEnvironmentVariableIsSet("ORLAVANT_BENCH_MIB")
                           ? qEnvironmentVariableIntValue("ORLAVANT_BENCH_MIB")
                           : 1024;
    const QByteArray root = qgetenv("ORLAVANT_BENCH_DIR");
    QTemporaryDir scratch((root.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(root)) +
                          QStringLiteral("/orlavant-bench-vault-XXXXXX"));
    if (!scratch.isValid()) {
        std::printf("cannot create a scratch directory\n");
        return 2;
    }
    const QString file = scratch.filePath(QStringLiteral("big.mov"));
    if (!writeScratchFile(file, mib << 20)) {
        std::printf("cannot write %lld MiB scratch file\n", mib);
        return 2;
    }

    QProcess vault;
    vault.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    vault.start(QStringLiteral(ORLAVANT_VAULT_BINARY),
                {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--data"),
                 scratch.filePath(QStringLiteral("vault")), QStringLiteral("--anon-key"), AnonKey,
                 QStringLiteral("--max-upload"), QStringLiteral("%1M").arg(mib + 1)});
    QString baseUrl;
    static const QRegularExpression listening(QStringLiteral("listening on (http://[0-9.:]+)"));
    QByteArray vaultOutput;
    while (baseUrl.isEmpty() && vault.waitForReadyRead(10000)) {
        vaultOutput += vault.readAllStandardOutput();
        const auto match = listening.match(QString::fromUtf8(vaultOutput));
        if (match.hasMatch())
            baseUrl = match.captured(1);
    }
    if (baseUrl.isEmpty()) {
        std::printf("the vault did not start\n");
        return 2;
    }
    // The vault logs a line per request; nobody needs them here.
    QObject::connect(&vault, &QProcess::readyReadStandardOutput, &vault,
                     [&] { vault.readAllStandardOutput(); });

    Settings settings(scratch.filePath(QStringLiteral("orlavant.conf")));
    HttpClient http;
    SupabaseClient client(settings, http);
    client.configure(baseUrl, AnonKey);
    client.setBackendUrl(baseUrl);
    const SupabaseSession session = await(client.signInDemo());
    if (session.accessToken.startsWith(QStringLiteral("sample_fallback"))) {
        std::printf("demo sign-in did not reach the vault\n");
        return 2;
    }

    auto curlSeconds = [&](int run) {
        QProcess curl;
        curl.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer timer;
        timer.start();
        curl.start(QStringLiteral("curl"),
                   {QStringLiteral("-sS"),
                    QStringLiteral("-o"),
                    QStringLiteral("/dev/null"),
                    QStringLiteral("-w"),
                    QStringLiteral("%{http_code}"),
                    QStringLiteral("-X"),
                    QStringLiteral("POST"),
                    QStringLiteral("-H"),
                    QStringLiteral("Expect:"),
                    QStringLiteral("-H"),
                    QStringLiteral("apikey: ") + AnonKey,
                    QStringLiteral("-H"),
                    QStringLiteral("Authorization: Bearer ") + session.accessToken,
                    QStringLiteral("-H"),
                    QStringLiteral("Content-Type: video/quicktime"),
                    QStringLiteral("-H"),
                    QStringLiteral("x-upsert: false"),
                    QStringLiteral("-T"),
                    file,
                    baseUrl + QStringLiteral("/storage/v1/object/orlavant-files/") + session.userId +
                        QStringLiteral("/bench/curl-%1.mov").arg(run)});
        curl.waitForFinished(-1);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const QByteArray status = curl.readAll().trimmed();
        return status == "200" ? seconds : -1.0;
    };
    auto clientSeconds = [&](int run) {
        QElapsedTimer timer;
        timer.start();
        const bool stored = await(
            client.uploadToStorage(file, session.userId + QStringLiteral("/bench/client-%1.mov").arg(run),
                                   QStringLiteral("video/quicktime")));
        return stored ? double(timer.nsecsElapsed()) / 1e9 : -1.0;
    };

    // The first copy of the content pays for the vault's fsync; every timed upload after it
    // costs the vault the same, whoever sends it.
    if (curlSeconds(-1) < 0) {
        std::printf("the warm-up upload was refused\n");
        return 2;
    }
    const long rssBefore = statusKiB("VmRSS:");
    double curlBest = 1e300, clientBest = 1e300;
    for (int run = 0; run < 3; ++run) {
        const double vaultCpu0 = cpuSeconds(vault.processId());
        const double c = curlSeconds(run);
        const double vaultCpu1 = cpuSeconds(vault.processId()),
                     selfCpu1 = cpuSeconds(QCoreApplication::applicationPid());
        const double o = clientSeconds(run);
        const double vaultCpu2 = cpuSeconds(vault.processId()),
                     selfCpu2 = cpuSeconds(QCoreApplication::applicationPid());
        std::printf(
            "  cpu: vault %.2f s while curl sent, vault %.2f s and client %.2f s while the client sent\n",
            vaultCpu1 - vaultCpu0, vaultCpu2 - vaultCpu1, selfCpu2 - selfCpu1);
        if (c < 0 || o < 0) {
            std::printf("an upload was refused (curl %.2f s, client %.2f s)\n", c, o);
            return 2;
        }
        std::printf("run %d: curl -T %.2f s (%.0f MiB/s), client %.2f s (%.0f MiB/s)\n", run + 1, c,
                    double(mib) / c, o, double(mib) / o);
        curlBest = std::min(curlBest, c);
        clientBest = std::min(clientBest, o);
    }
    const long peak = statusKiB("VmHWM:");
    const double growthMiB = double(peak - rssBefore) / 1024.0;
    const bool memoryOk = growthMiB < 64.0;
    std::printf("client memory: RSS before %ld KiB, peak %ld KiB, growth %.1f MiB (target < 64) %s\n",
                rssBefore, peak, growthMiB, memoryOk ? "PASS" : "FAIL");
    vault.terminate();
    vault.waitForFinished(10000);

    // Throughput ratio = curl's time / the client's time for the same bytes.
    const double ratio = curlBest / clientBest;
    const bool pass = memoryOk && ratio >= 0.5;
    std::printf("vault_upload: ratio %.3f (target >= 0.5) %s\n", ratio, pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
