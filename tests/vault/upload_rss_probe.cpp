// Uploads one large file through SupabaseClient::uploadToStorage to a loopback sink that
// discards what it receives, then prints the process's peak resident memory. Not a test: run by
// hand (it writes a sparse file of the given size, 1 GiB by default).
//   upload_rss_probe [size-in-MiB]
#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "support/TestMain.h"
#include "vault/SupabaseClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Accepts one connection, reads the headers, discards Content-Length bytes, answers 200.
int startSink(std::thread& thread) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    thread = std::thread([listener] {
        const int connection = ::accept(listener, nullptr, nullptr);
        std::string headers;
        char buffer[1 << 16];
        long long remaining = -1;
        while (true) {
            const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            if (remaining < 0) {
                headers.append(buffer, size_t(n));
                const size_t end = headers.find("\r\n\r\n");
                if (end == std::string::npos)
                    continue;
                std::string lower = headers.substr(0, end);
                for (char& c : lower)
                    c = char(std::tolower(static_cast<unsigned char>(c)));
                const size_t at = lower.find("content-length:");
                remaining = at == std::string::npos ? 0 : std::stoll(lower.substr(at + 15));
                remaining -= (long long)(headers.size() - end - 4);
            } else {
                remaining -= n;
            }
            if (remaining <= 0)
                break;
        }
        const char reply[] =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
        ::send(connection, reply, sizeof reply - 1, 0);
        ::close(connection);
        ::close(listener);
    });
    return ntohs(address.sin_port);
}

long peakRssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    isolateHomeForTests();
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const QString path = makeTempDir(QStringLiteral("probe")) + QStringLiteral("/big.mov");
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.resize(mib * 1024 * 1024);
    }
    std::thread sinkThread;
    const int port = startSink(sinkThread);

    Settings settings(makeTempDir(QStringLiteral("probe-settings")) + QStringLiteral("/o.conf"));
    settings.setData(
        QStringLiteral("orlavant_supabase_session"),
        SupabaseSession{QStringLiteral("t"), std::nullopt, QStringLiteral("u"), std::nullopt}.toJson());
    HttpClient http;
    SupabaseClient client(settings, http);
    client.configure(QStringLiteral("http://127.0.0.1:%1").arg(port), QStringLiteral("k"));

    const long before = peakRssKiB();
    QElapsedTimer timer;
    timer.start();
    const bool stored =
        client.uploadToStorage(path, QStringLiteral("u/big.mov"), QStringLiteral("video/quicktime")).result();
    const double seconds = double(timer.elapsed()) / 1000.0;
    sinkThread.join();
    std::printf("uploaded %lld MiB: %s in %.2f s (%.0f MiB/s); peak RSS before %ld KiB, after %ld KiB\n", mib,
                stored ? "stored" : "refused", seconds, double(mib) / seconds, before, peakRssKiB());
    QFile::remove(path);
    return stored ? 0 : 1;
}
