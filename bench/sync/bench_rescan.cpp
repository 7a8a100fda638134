// A pass over an unchanged folder of 100,000 small files that the ledger already knows: no
// digest, no request, against `find DIR -type f -printf '%s %T@\n'` over the same tree.
#include "BenchUtil.h"
#include "platform/Clock.h"
#include "platform/HttpClient.h"
#include "platform/Settings.h"
#include "support/FakeServer.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestDialogs.h"
#include "sync/FileScanner.h"
#include "sync/FolderSyncManager.h"
#include "sync/MacNotificationHelper.h"
#include "sync/SyncLedger.h"
#include "vault/SupabaseClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QStandardPaths>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    constexpr int Files = 100'000;
    QTemporaryDir scratch(Bench::scratchRoot() + QStringLiteral("/orlavant-bench-rescan-XXXXXX"));
    const QString folder = scratch.path() + QStringLiteral("/Family");
    const QString ledgerDir = scratch.path() + QStringLiteral("/ledger");
    qint64 contentBytes = 0;
    for (int d = 0; d < 100; ++d) {
        const QByteArray dir = QFile::encodeName(folder + QStringLiteral("/album-%1").arg(d));
        QDir().mkpath(QFile::decodeName(dir));
        for (int f = 0; f < Files / 100; ++f) {
            const QByteArray path = dir + "/photo-" + QByteArray::number(f) + ".jpg";
            const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
            const QByteArray content = "photo " + path;
            if (fd < 0 || ::write(fd, content.constData(), size_t(content.size())) != content.size())
                return Bench::verdict("rescan_100k", 1e9, "<=", 3);
            ::close(fd);
            contentBytes += content.size();
        }
    }
    {
        SyncLedger ledger(ledgerDir);
        for (const QString& path : FileScanner::collectCandidates(folder, {}).candidates) {
            const FileScanner::Facts facts = *FileScanner::readFacts(path);
            ledger.recordSync(FileScanner::relativePath(path, folder), facts.size, facts.modified,
                              QString(64, u'0'));
        }
    }

    FakeServer server;
    Settings settings(scratch.path() + QStringLiteral("/orlavant.conf"));
    settings.setString(QStringLiteral("orlavant_supabase_url"), server.baseUrl());
    settings.setString(QStringLiteral("orlavant_backend_base_url"), server.baseUrl());
    settings.setData(
        QStringLiteral("orlavant_supabase_session"),
        SupabaseSession{QStringLiteral("t"), std::nullopt, QStringLiteral("u"), std::nullopt}.toJson());
    settings.setString(QStringLiteral("orlavant_watched_folder_path"), folder);
    settings.setBool(QStringLiteral("orlavant_sync_stopped"), false);
    HttpClient http;
    SupabaseClient client(settings, http);
    SyncLedger ledger(ledgerDir);
    RecordingNotificationSink sink;
    MacNotificationHelper notifications(sink);
    TestDialogs dialogs;
    SystemClock clock;
    FolderSyncManager engine(settings, client, ledger, notifications, dialogs, clock, http);

    const auto pass = [&](bool start) {
        QEventLoop loop;
        QObject::connect(&engine, &FolderSyncManager::passFinished, &loop, &QEventLoop::quit);
        if (start)
            engine.startSync();
        else
            engine.triggerFolderScan();
        loop.exec();
    };
    // The kernel's count of bytes this process read: a pass that hashed would read every file.
    const auto bytesRead = [] {
        QFile io(QStringLiteral("/proc/self/io"));
        if (io.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : io.readAll().split('\n')) {
                if (line.startsWith("rchar: "))
                    return line.mid(7).trimmed().toLongLong();
            }
        }
        return -1LL;
    };
    bool first = true;
    const qint64 readBefore = bytesRead();
    const double ours = Bench::bestSeconds(3, [&] {
        pass(first);
        first = false;
    });
    const qint64 readByPasses = bytesRead() - readBefore;
    const QString find = QStandardPaths::findExecutable(QStringLiteral("find"));
    bool toolOk = true;
    const double reference = Bench::bestSeconds(3, [&] {
        toolOk = Bench::runTool(find, {folder, QStringLiteral("-type"), QStringLiteral("f"),
                                       QStringLiteral("-printf"), QStringLiteral("%s %T@\\n")}) &&
                 toolOk;
    });
    std::printf("pass: %.3f s, find: %.3f s; status \"%s\"; requests %d; notifications %d; "
                "bytes read by three passes %lld (the files hold %lld)\n",
                ours, reference, qPrintable(engine.syncStatusMessage()), server.requestCount(),
                int(sink.posted().size()), static_cast<long long>(readByPasses),
                static_cast<long long>(contentBytes));
    const bool clean =
        server.requestCount() == 0 && ledger.totalSyncedCount() == Files && readByPasses < contentBytes / 2 &&
        engine.syncStatusMessage() == QStringLiteral("Up to date (100000 files in cloud vault)");
    return Bench::verdict("rescan_100k", clean && toolOk ? ours / reference : 1e9, "<=", 3);
}
