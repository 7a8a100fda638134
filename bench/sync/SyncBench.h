#pragma once

#include "BenchUtil.h"
#include "VaultProcess.h"
#include "app/CoreServices.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <httplib.h>
#include <memory>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

// Shared by the benchmarks that run whole sync passes against the real local vault: the vault
// process, a signed-in client, and the process's own counts of time and bytes read.
namespace SyncBench {

inline QString vaultBinary() {
    return QStringLiteral(ORLAVANT_VAULT_BINARY);
}

// The vault on an ephemeral loopback port over `dataDir`; empty URL when it did not start.
inline QString startVault(VaultProcess& vault) {
    qputenv("ORLAVANT_VAULT_BINARY", vaultBinary().toLocal8Bit());
    return vault.start() ? vault.baseUrl() : QString();
}

// CPU seconds (user + system) of this process, or of the calling thread only.
inline double cpuSeconds(bool thisThreadOnly = false) {
    rusage usage{};
    getrusage(thisThreadOnly ? RUSAGE_THREAD : RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of this process's threads, by thread name.
inline QMap<QString, double> cpuSecondsByThread() {
    QMap<QString, double> byName;
    const double tick = double(sysconf(_SC_CLK_TCK));
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype open = line.indexOf('('), close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (open < 0 || fields.size() < 13)
            continue;
        byName[QString::fromUtf8(line.mid(open + 1, close - open - 1))] +=
            double(fields[11].toLongLong() + fields[12].toLongLong()) / tick;
    }
    return byName;
}

// The kernel's count of bytes this process has read (files and sockets).
inline qint64 bytesRead() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (io.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : io.readAll().split('\n')) {
            if (line.startsWith("rchar: "))
                return line.mid(7).trimmed().toLongLong();
        }
    }
    return -1;
}

// `count` files of `size` bytes in `folder`, a hundred to a directory; every one unlike any
// other written with another `tag`, so nothing deduplicates by accident.
inline bool writeFiles(const QString& folder, int count, int size, const QByteArray& tag) {
    for (int i = 0; i < count; ++i) {
        const QByteArray dir = QFile::encodeName(folder + QStringLiteral("/album-%1").arg(i / 100));
        if (i % 100 == 0 && !QDir().mkpath(QFile::decodeName(dir)))
            return false;
        QByteArray content = tag + ' ' + QByteArray::number(i) + ' ';
        content = content.leftJustified(size, '.', true);
        const QByteArray path = dir + "/photo-" + QByteArray::number(i) + ".jpg";
        const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        if (fd < 0 || ::write(fd, content.constData(), size_t(content.size())) != content.size())
            return false;
        ::close(fd);
    }
    return true;
}

// One computer of the household: the whole core of the client, signed in to the vault's demo
// household, syncing `folder`.
class Device {
public:
    Device(const QString& root, const QString& vaultUrl, int parallelTransfers,
           const Clock* clock = nullptr) {
        CoreServices::Options options;
        options.settingsPath = root + QStringLiteral("/orlavant.conf");
        options.ledgerDirectory = root + QStringLiteral("/ledger");
        options.dialogs = &m_dialogs;
        options.notificationSink = &m_sink;
        options.clock = clock;
        Settings(options.settingsPath)
            .setInteger(QStringLiteral("orlavant_parallel_transfers"), parallelTransfers);
        core = std::make_unique<CoreServices>(options);
        core->client.configure(vaultUrl, VaultProcess::anonKey());
        core->client.setBackendUrl(vaultUrl);
        core->folderSync.setDeviceName(QStringLiteral("Bench Laptop"));
    }

    bool signIn() {
        const QFuture<SupabaseSession> session = core->client.signInDemo();
        while (!session.isFinished())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return core->client.isAuthenticated() &&
               !core->client.currentSession()->accessToken.startsWith(QStringLiteral("sample_fallback"));
    }

    // Runs one pass over `folder` (starting sync the first time) and gives its wall-clock seconds.
    double pass(const QString& folder) {
        QEventLoop loop;
        QObject::connect(&core->folderSync, &FolderSyncManager::passFinished, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        if (core->folderSync.isSyncStopped()) {
            core->folderSync.changeFolder(folder);
            core->folderSync.startSync();
        } else {
            core->folderSync.triggerFolderScan();
        }
        loop.exec();
        return double(timer.nsecsElapsed()) / 1e9;
    }

    QString status() const { return core->folderSync.syncStatusMessage(); }

    std::unique_ptr<CoreServices> core;

private:
    TestDialogs m_dialogs;
    RecordingNotificationSink m_sink;
};

// Forwards every request to the vault after `delay`, each on a connection of its own, and points
// the vault's own address in its answers (the pre-signed upload locations) at itself, so the
// uploads pass it too.
class ForwardingProxy {
public:
    ForwardingProxy(const QUrl& vault, std::chrono::milliseconds delay)
        : m_vaultHost(vault.host().toStdString())
        , m_vaultPort(vault.port()) {
        const auto forward = [this, delay](const httplib::Request& request, httplib::Response& response) {
            std::this_thread::sleep_for(delay);
            ++m_requests;
            httplib::Client client(m_vaultHost, m_vaultPort);
            client.set_read_timeout(120, 0);
            httplib::Request outgoing;
            outgoing.method = request.method;
            outgoing.path = request.target;
            outgoing.body = request.body;
            for (const auto& [name, value] : request.headers) {
                const QByteArray lower = QByteArray::fromStdString(name).toLower();
                if (lower != "host" && lower != "content-length" && lower != "connection" &&
                    !lower.startsWith("remote_") && !lower.startsWith("local_"))
                    outgoing.headers.emplace(name, value);
            }
            const httplib::Result answer = client.send(outgoing);
            if (!answer) {
                response.status = 502;
                return;
            }
            response.status = answer->status;
            std::string body = answer->body;
            for (size_t at = body.find(m_vaultBase); at != std::string::npos; at = body.find(m_vaultBase, at))
                body.replace(at, m_vaultBase.size(), m_ownBase);
            response.set_content(body, answer->get_header_value("Content-Type"));
        };
        m_server.Get(".*", forward).Post(".*", forward).Put(".*", forward).Patch(".*", forward);
        // Its answers go out at once: without TCP_NODELAY, a body written after its headers on a
        // kept-alive connection waits for the client's delayed acknowledgement (tens of ms).
        m_server.set_socket_options([](int socket) {
            const int yes = 1;
            ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_vaultBase = "http://" + m_vaultHost + ":" + std::to_string(m_vaultPort);
        m_ownBase = "http://127.0.0.1:" + std::to_string(m_port);
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ForwardingProxy() {
        m_server.stop();
        m_thread.join();
    }
    QString baseUrl() const { return QString::fromStdString(m_ownBase); }
    int requests() const { return m_requests; }

private:
    std::string m_vaultHost;
    int m_vaultPort;
    std::string m_vaultBase, m_ownBase;
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<int> m_requests{0};
};

} // namespace SyncBench
