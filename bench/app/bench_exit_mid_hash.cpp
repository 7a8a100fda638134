// exit_mid_hash: the time from SIGTERM to the program's end while it hashes a 6 GB file (sparse:
// the disk is not what is measured), as a ratio to two seconds.
#include "BenchUtil.h"
#include "ProgramLaunch.h"
#include "platform/Settings.h"
#include "support/FakeServer.h"
#include "vault/SupabaseRecords.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    FakeServer vault; // never reached while the file is being hashed
    QTemporaryDir scratch(Bench::scratchRoot() + QStringLiteral("/orlavant-exit-XXXXXX"));
    const QString folder = scratch.path() + QStringLiteral("/Family Videos");
    QDir().mkpath(folder);
    QFile video(folder + QStringLiteral("/holiday.mov"));
    if (!video.open(QIODevice::WriteOnly) || !video.resize(6LL << 30)) {
        std::printf("cannot make the 6 GB file in %s\n", qPrintable(scratch.path()));
        return Bench::verdict("exit_mid_hash", 1e9, "<=", 1);
    }
    video.close();

    const int runs = 5;
    QList<double> ms;
    bool allClean = true;
    for (int i = 0; i < runs; ++i) {
        // A fresh profile each time: signed in, syncing the folder, so the start picks sync up.
        const QString root = scratch.path() + QStringLiteral("/profile-%1").arg(i);
        const QProcessEnvironment environment = ProgramLaunch::profile(root);
        {
            Settings settings(environment.value(QStringLiteral("XDG_CONFIG_HOME")) +
                              QStringLiteral("/orlavant/orlavant.conf"));
            for (const char* key : {"orlavant_supabase_url", "orlavant_backend_base_url"})
                settings.setString(QString::fromLatin1(key), vault.baseUrl());
            settings.setString(QStringLiteral("orlavant_supabase_key"), QStringLiteral("bench-anon-key"));
            settings.setData(QStringLiteral("orlavant_supabase_session"),
                             SupabaseSession{QStringLiteral("token"), std::nullopt, QStringLiteral("user-1"),
                                             QStringLiteral("anna@example.org")}
                                 .toJson());
            settings.setString(QStringLiteral("orlavant_watched_folder_path"), folder);
            settings.setBool(QStringLiteral("orlavant_sync_stopped"), false);
        }
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(ProgramLaunch::binary(), {QStringLiteral("--background")});
        QByteArray output;
        if (!ProgramLaunch::waitForLine(program, "[Orlavant] Running in the background.", output)) {
            std::printf("the program did not come up:\n%s\n", output.constData());
            return Bench::verdict("exit_mid_hash", 1e9, "<=", 1);
        }
        // Well into the file, far from its end.
        const qint64 start = ProgramLaunch::bytesRead(program.processId());
        QElapsedTimer waited;
        waited.start();
        while (ProgramLaunch::bytesRead(program.processId()) - start < (512LL << 20) &&
               waited.elapsed() < 60000)
            QThread::msleep(5);
        const qint64 readAtSignal = ProgramLaunch::bytesRead(program.processId()) - start;
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(program.processId()), SIGTERM);
        const bool ended = program.waitForFinished(60000);
        ms.append(double(timer.nsecsElapsed()) / 1e6);
        allClean = allClean && ended && program.exitStatus() == QProcess::NormalExit &&
                   program.exitCode() == 0 && readAtSignal < (6LL << 30);
        std::printf("run %d: %.0f MB hashed when signalled, ended after %.0f ms\n", i + 1,
                    double(readAtSignal) / 1e6, ms.last());
    }
    const double median = ProgramLaunch::median(ms);
    std::printf("SIGTERM to the end while hashing 6 GB: %.0f ms (median of %d), every end clean: %s\n",
                median, runs, allClean ? "yes" : "no");
    return Bench::verdict("exit_mid_hash", allClean ? median / 2000.0 : 1e9, "<=", 1);
}
