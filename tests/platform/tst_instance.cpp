// The pieces that let the program outlive its window: one instance per profile (lock and
// hand-over), start at login through the autostart folder, and signals turned into an orderly end.
#include "platform/Autostart.h"
#include "platform/ShutdownSignals.h"
#include "platform/SingleInstance.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <csignal>
#include <future>

namespace {

using namespace std::chrono_literals;

// Runs a hand-over on a thread of its own (it blocks) while this thread answers it.
std::future<SingleInstance::HandOver> handOverInBackground(SingleInstance& instance, bool showWindow) {
    return std::async(std::launch::async,
                      [&instance, showWindow] { return instance.handOver(showWindow, 60s); });
}

bool finished(const std::future<SingleInstance::HandOver>& future) {
    return future.wait_for(0ms) == std::future_status::ready;
}

} // namespace

class TestInstance : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lockDirectoryIsTheRuntimeDirectoryOnlyWhenItIsUsable_data();
    void lockDirectoryIsTheRuntimeDirectoryOnlyWhenItIsUsable();
    void handOver_data();
    void handOver();
    void autostartExecLine_data();
    void autostartExecLine();
    void autostartWrittenAndRemoved();
    void signalsArriveOnTheMainThread();
};

void TestInstance::lockDirectoryIsTheRuntimeDirectoryOnlyWhenItIsUsable_data() {
    QTest::addColumn<QByteArray>("runtime");
    QTest::addColumn<bool>("usable");
    const QString root = makeTempDir(QStringLiteral("runtime"));
    writeFile(root + QStringLiteral("/a-file"), "not a directory");
    QTest::newRow("unset") << QByteArray() << false;
    // Made, so that a start after the first (which made it) chooses the same place.
    QTest::newRow("missing") << QFile::encodeName(root + QStringLiteral("/not-yet")) << true;
    QTest::newRow("a file") << QFile::encodeName(root + QStringLiteral("/a-file")) << false;
    QTest::newRow("own directory, trailing slash") << QFile::encodeName(root + QLatin1Char('/')) << true;
}

void TestInstance::lockDirectoryIsTheRuntimeDirectoryOnlyWhenItIsUsable() {
    QFETCH(QByteArray, runtime);
    QFETCH(bool, usable);
    const QString fallback = QStringLiteral("/fallback/data");
    const QString chosen = SingleInstance::lockDirectory(runtime, fallback);
    QCOMPARE(chosen, usable ? QDir::cleanPath(QFile::decodeName(runtime)) : fallback);
}

void TestInstance::handOver_data() {
    // holder: "listening", "starting" (holds the lock, listens only once the later start waits),
    //   "ends" (holds the lock and dies before it answers) or "stale" (listening where a killed
    //   instance left its socket file)
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("showWindow");
    // The socket's path in bytes, 0 for wherever the temporary folder is: one byte short of a
    // socket address's room (108), and longer than it.
    QTest::addColumn<int>("pathBytes");
    QTest::newRow("a socket path just short of an address") << "listening" << true << 107;
    QTest::newRow("a folder deep down") << "listening" << true << 160;
    QTest::newRow("an instance still starting is waited for") << "starting" << true << 0;
    QTest::newRow("a holder that ends hands over the lock") << "ends" << true << 0;
    QTest::newRow("a socket left by a killed instance is replaced") << "stale" << false << 0;
}

void TestInstance::handOver() {
    QFETCH(QString, holder);
    QFETCH(bool, showWindow);
    QFETCH(int, pathBytes);
    const QString dir = makeTempDir(QStringLiteral("handover"));
    // The socket goes in the runtime directory: one whose path makes the socket's that long.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const auto restore = qScopeGuard([&] { qputenv("XDG_RUNTIME_DIR", runtime); });
    if (pathBytes > 0) {
        const int pad =
            pathBytes -
            int(QFile::encodeName(SingleInstance(QStringLiteral("orlavant-test"), dir).socketPath()).size());
        QVERIFY(pad > 1);
        const QString deep = QFile::decodeName(runtime) + u'/' + QString(pad - 1, u'd');
        QVERIFY(QDir().mkpath(deep));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(deep));
    }
    auto running = std::make_unique<SingleInstance>(QStringLiteral("orlavant-test"), dir);
    if (pathBytes > 0)
        QCOMPARE(QFile::encodeName(running->socketPath()).size(), pathBytes);
    if (holder == QLatin1String("stale"))
        writeFile(running->socketPath(), "left behind");
    QVERIFY(running->tryLock());
    QSignalSpy shown(running.get(), &SingleInstance::showRequested);
    if (holder == QLatin1String("listening") || holder == QLatin1String("stale"))
        QVERIFY(running->listen());
    SingleInstance later(QStringLiteral("orlavant-test"), dir);
    QVERIFY(!later.tryLock());
    auto outcome = handOverInBackground(later, showWindow);
    if (holder == QLatin1String("starting"))
        QVERIFY(running->listen());
    if (holder == QLatin1String("ends"))
        running.reset();
    QTRY_VERIFY_WITH_TIMEOUT(finished(outcome), 60000);
    if (holder == QLatin1String("ends")) {
        QCOMPARE(outcome.get(), SingleInstance::HandOver::BecamePrimary);
        QVERIFY(later.isPrimary());
        QVERIFY(later.listen());
        return;
    }
    QCOMPARE(outcome.get(), SingleInstance::HandOver::Delivered);
    // Answered after the request was carried out.
    QCOMPARE(shown.size(), showWindow ? 1 : 0);
    QVERIFY(!later.isPrimary());
    QVERIFY(QFileInfo(running->socketPath()).exists());
}

void TestInstance::autostartExecLine_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("exec"); // as it stands in the file
    QTest::newRow("space") << "/opt/My Apps/orlavant"
                           << "\"/opt/My Apps/orlavant\" --background";
    QTest::newRow("dollar, quote, backquote") << "/opt/$x\"`/orlavant"
                                              << "\"/opt/\\\\$x\\\\\"\\\\`/orlavant\" --background";
    QTest::newRow("backslash") << "/opt/a\\b/orlavant"
                               << "\"/opt/a\\\\\\\\b/orlavant\" --background";
    QTest::newRow("percent is not a field code") << "/opt/100%/orlavant"
                                                 << "\"/opt/100%%/orlavant\" --background";
}

void TestInstance::autostartExecLine() {
    QFETCH(QString, program);
    QFETCH(QString, exec);
    QCOMPARE(Autostart::execValue(program), exec);
    QVERIFY(Autostart::entryText(program).contains("\nExec=" + exec.toUtf8() + '\n'));
}

void TestInstance::autostartWrittenAndRemoved() {
    // The folder does not exist yet on a fresh account.
    const QString folder = makeTempDir(QStringLiteral("config")) + QStringLiteral("/autostart");
    Autostart autostart(folder, QStringLiteral("/opt/Orlavant Beta/orlavant"));
    QCOMPARE(autostart.entryPath(), folder + QStringLiteral("/orlavant.desktop"));
    QString error;
    QVERIFY2(autostart.setEnabled(true, &error), qPrintable(error));
    QVERIFY(Autostart(folder, QStringLiteral("/elsewhere")).isEnabled()); // read back from the file
    QFile file(autostart.entryPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), Autostart::entryText(QStringLiteral("/opt/Orlavant Beta/orlavant")));
    QVERIFY(autostart.setEnabled(false, &error));
    QVERIFY(!QFile::exists(autostart.entryPath()));
    QVERIFY(!autostart.isEnabled());
    QVERIFY(autostart.setEnabled(false, &error)); // already off
}

void TestInstance::signalsArriveOnTheMainThread() {
    const int signalNumber = SIGTERM; // what a logout sends
    {
        ShutdownSignals shutdown;
        QThread* deliveredOn = nullptr;
        connect(&shutdown, &ShutdownSignals::requested, this,
                [&deliveredOn] { deliveredOn = QThread::currentThread(); });
        QSignalSpy requested(&shutdown, &ShutdownSignals::requested);
        // From another thread, as the kernel may pick any thread to run the handler on.
        std::thread([signalNumber] { ::kill(::getpid(), signalNumber); }).join();
        // The handler may already have handed the signal over: count it, do not wait for a new one.
        QTRY_VERIFY_WITH_TIMEOUT(!requested.isEmpty(), 60000);
        QCOMPARE(requested.first().first().toInt(), signalNumber);
        QCOMPARE(deliveredOn, thread());
    }
    // Its end gives the signal back to the default handling.
    struct sigaction current {};
    QCOMPARE(::sigaction(signalNumber, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_DFL);
}

ORLAVANT_TEST_GUILESS_MAIN(TestInstance)
#include "tst_instance.moc"
