// handover: how long a second start of the program takes to end once the first one's window is
// shown (it asks the first to show the window and ends), as a ratio to one second.
#include "BenchUtil.h"
#include "ProgramLaunch.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QTemporaryDir root;
    const QProcessEnvironment environment = ProgramLaunch::profile(root.path());

    QProcess first;
    first.setProcessEnvironment(environment);
    first.setProcessChannelMode(QProcess::MergedChannels);
    first.start(ProgramLaunch::binary(), {});
    QByteArray output;
    if (!ProgramLaunch::waitForLine(first, "[Orlavant] Running; the window is shown.", output)) {
        std::printf("the first start did not come up:\n%s\n", output.constData());
        return Bench::verdict("handover", 1e9, "<=", 1);
    }

    const int runs = 9;
    QList<double> ms;
    bool allClean = true;
    for (int i = 0; i < runs + 1; ++i) {
        QProcess second;
        second.setProcessEnvironment(environment);
        QElapsedTimer timer;
        timer.start();
        second.start(ProgramLaunch::binary(), {});
        const bool ended = second.waitForFinished(30000);
        const double elapsed = double(timer.nsecsElapsed()) / 1e6;
        allClean = allClean && ended && second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0;
        if (i > 0) // the first one warms the caches
            ms.append(elapsed);
    }
    first.terminate();
    first.waitForFinished(30000);
    output += first.readAll();
    const int shown = int(output.count("[Orlavant] Started again: showing the window."));

    const double median = ProgramLaunch::median(ms);
    std::printf("second start until it ended: %.0f ms (median of %d), every one with status 0: %s\n", median,
                runs, allClean ? "yes" : "no");
    std::printf("the first instance showed its window %d times for %d starts\n", shown, runs + 1);
    const bool sound = allClean && shown == runs + 1;
    return Bench::verdict("handover", sound ? median / 1000.0 : 1e9, "<=", 1);
}
