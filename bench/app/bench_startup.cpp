// Start-up to first window, offscreen: the real application (settings, vault client, ledger,
// sync engine, application state, main window) against a bare Qt window measured in the same
// run, each in a fresh process. Also checks that no web engine process was started.
#include "app/gui/AppWindow.h"
#include "app/gui/OrlavantApp.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

namespace {

bool webEngineProcessRunning() {
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString& pid : entries) {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = status.readAll();
        if (text.contains("QtWebEngineProc") && text.contains("PPid:\t" + self.toLatin1()))
            return true;
    }
    return false;
}

// Runs in the child: prints, once the first window is exposed and painted, the milliseconds
// since QApplication creation and whether a web engine process exists then.
int child(int argc, char** argv, bool app) {
    QElapsedTimer timer;
    timer.start();
    QApplication application(argc, argv);
    std::unique_ptr<OrlavantApp> orlavant;
    std::unique_ptr<QMainWindow> bare;
    QWidget* window = nullptr;
    if (app) {
        orlavant = std::make_unique<OrlavantApp>();
        window = &orlavant->window();
    } else {
        bare = std::make_unique<QMainWindow>();
        bare->setCentralWidget(new QLabel(QStringLiteral("Orlavant")));
        bare->resize(1180, 760);
        window = bare.get();
    }
    window->show();
    if (!QTest::qWaitForWindowExposed(window, 5000))
        return 2;
    window->grab(); // the first frame is painted
    const qint64 ms = timer.elapsed();
    std::printf("%lld %d\n", static_cast<long long>(ms), webEngineProcessRunning() ? 1 : 0);
    return 0;
}

struct Sample {
    QList<double> ms;
    bool webEngine = false;

    double median() const {
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted.isEmpty() ? 1e9 : sorted[sorted.size() / 2];
    }
};

// One start of this program in `mode`, timed from outside so that loading the program and its
// libraries counts too. False when the child failed.
bool runOnce(const QString& program, const QString& mode, const QProcessEnvironment& env, Sample& sample) {
    QProcess process;
    process.setProcessEnvironment(env);
    QElapsedTimer wall;
    wall.start();
    process.start(program, {mode});
    process.waitForReadyRead(30000);
    const double wallMs = double(wall.elapsed());
    process.waitForFinished(30000);
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split('\n').last().split(' ');
    if (fields.size() != 2) {
        std::fprintf(stderr, "child failed: %s\n", process.readAllStandardError().constData());
        return false;
    }
    sample.ms.append(wallMs);
    sample.webEngine = sample.webEngine || fields[1] == "1";
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && QByteArray(argv[1]) == "--child-app")
        return child(argc, argv, true);
    if (argc > 1 && QByteArray(argv[1]) == "--child-bare")
        return child(argc, argv, false);

    QCoreApplication application(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();
    const int runs = 7;
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/.local/share"));
    // One warm-up start of each, then the two alternate, so neither profits from a cache the
    // other filled.
    Sample bare;
    Sample app;
    Sample warmUp;
    bool ok = runOnce(self, QStringLiteral("--child-bare"), env, warmUp) &&
              runOnce(self, QStringLiteral("--child-app"), env, warmUp);
    for (int i = 0; ok && i < runs; ++i) {
        ok = runOnce(self, QStringLiteral("--child-bare"), env, bare) &&
             runOnce(self, QStringLiteral("--child-app"), env, app);
    }
    const double ratio = app.median() / std::max(bare.median(), 1.0);
    const bool pass = ok && app.median() < 1000 && !app.webEngine;
    std::printf("bare Qt window: %.0f ms (median of %d)\n", bare.median(), runs);
    std::printf("Orlavant window: %.0f ms (median of %d), web engine process started: %s\n", app.median(),
                runs, app.webEngine ? "yes" : "no");
    std::printf("startup: ratio %.2f (target: Orlavant < 1000 ms, no web engine) %s\n", ratio,
                pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
