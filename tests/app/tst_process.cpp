// The real program as a child process: one instance per profile (a later start hands over and
// ends, a killed instance's lock never blocks, two starts at once leave one), and an orderly
// end on SIGTERM or SIGINT in every state, with the ledger and settings intact. Each child gets
// a home, XDG folders and runtime directory of its own and no session bus; the vault is scripted.
#include "support/FakeServer.h"
#include "support/RequestGate.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"
#include "support/TestServices.h"
#include "sync/SyncLedger.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <csignal>

namespace {

constexpr int Patience = 60000;
const QString Running = QStringLiteral("[Orlavant] Running in the background.");
const QString Shown = QStringLiteral("[Orlavant] Started again: showing the window.");

// A fresh profile: the child's home, XDG folders and runtime directory.
QProcessEnvironment profile(const QString& name) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    isolateHome(environment, makeTempDir(name));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

QString dataDirectory(const QProcessEnvironment& environment) {
    return environment.value(QStringLiteral("XDG_DATA_HOME")) + QStringLiteral("/store.orlavant.mac");
}

// One start of the program.
class Launch {
public:
    Launch(const QProcessEnvironment& environment, const QStringList& arguments = {}) {
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(qEnvironmentVariable("ORLAVANT_BINARY"), arguments);
    }
    ~Launch() {
        if (!finished())
            killHard();
    }
    // Everything the program has written so far (also what is still in the pipe).
    QString output() {
        while (m_process.waitForReadyRead(0)) {
        }
        m_output += QString::fromUtf8(m_process.readAll());
        return m_output;
    }
    bool says(const QString& line) { return output().contains(line); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    bool finished() const { return m_process.state() == QProcess::NotRunning; }
    // Ended by itself, with status 0 (not killed by a signal).
    bool endedCleanly() {
        return (finished() || m_process.waitForFinished(Patience)) &&
               m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    void send(int signalNumber) { ::kill(pid_t(m_process.processId()), signalNumber); }
    void killHard() {
        m_process.kill();
        m_process.waitForFinished(Patience);
    }
    qint64 bytesRead() const { return bytesReadBy(QString::number(m_process.processId())); }

private:
    QProcess m_process;
    QString m_output;
};

} // namespace

class TestProcess : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void laterStartHandsOver_data();
    void laterStartHandsOver();
    void twoStartsAtTheSameInstant();
    void endsInOrderInEveryState_data();
    void endsInOrderInEveryState();
};

void TestProcess::laterStartHandsOver_data() {
    QTest::addColumn<bool>("afterAKill");
    QTest::newRow("to a running instance") << false;
    QTest::newRow("stale lock of a killed instance") << true;
}

// Where the lock goes when the runtime folder is missing or unusable is the instance test's.
void TestProcess::laterStartHandsOver() {
    QFETCH(bool, afterAKill);
    const QProcessEnvironment environment = profile(QStringLiteral("handover"));
    if (afterAKill) {
        Launch killed(environment, {QStringLiteral("--background")});
        QTRY_VERIFY_WITH_TIMEOUT(killed.says(Running), Patience);
        killed.killHard();
        // Its lock file and socket are still there.
        const QDir runtime(environment.value(QStringLiteral("XDG_RUNTIME_DIR")));
        QCOMPARE(runtime.entryList({QStringLiteral("orlavant-*")}, QDir::System | QDir::Files).size(), 2);
    }
    Launch first(environment, {QStringLiteral("--background")});
    QTRY_VERIFY_WITH_TIMEOUT(first.says(Running), Patience);
    Launch later(environment);
    QVERIFY2(later.endedCleanly(), qPrintable(later.output()));
    QVERIFY(first.isRunning());
    QVERIFY(first.says(Shown)); // the later start ends once the first has done what it asked
}

void TestProcess::twoStartsAtTheSameInstant() {
    const QProcessEnvironment environment = profile(QStringLiteral("together"));
    Launch a(environment, {QStringLiteral("--background")});
    Launch b(environment, {QStringLiteral("--background")});
    QTRY_VERIFY_WITH_TIMEOUT(a.finished() || b.finished(), Patience);
    Launch& ended = a.finished() ? a : b;
    Launch& survivor = a.finished() ? b : a;
    QVERIFY2(ended.endedCleanly(), qPrintable(ended.output()));
    QVERIFY(!ended.says(Running)); // it never built an engine
    QTRY_VERIFY_WITH_TIMEOUT(survivor.says(Running), Patience);
    QVERIFY(survivor.isRunning());
}

void TestProcess::endsInOrderInEveryState_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("hashing a large file, SIGTERM") << "hashing" << int(SIGTERM);
    QTest::newRow("an upload in flight, SIGINT") << "uploading" << int(SIGINT);
    QTest::newRow("a vault that never answers, SIGTERM") << "silent" << int(SIGTERM);
}

void TestProcess::endsInOrderInEveryState() {
    QFETCH(QString, state);
    QFETCH(int, signalNumber);
    FakeServer server;
    RequestGate uploads;
    uploads.close();
    // first.txt is in the vault already (recorded at once); the second file is where the
    // program is when the signal comes.
    server.on("POST", "/api/files/pre-upload", [&server](const FakeServer::Request& request) {
        const QString name = QJsonDocument::fromJson(request.body).object().value(u"filename").toString();
        if (name == QLatin1String("first.txt"))
            return FakeServer::Reply::json(200, R"({"deduplicated":true})");
        FakeServer::Reply reply =
            FakeServer::Reply::json(200, R"({"deduplicated":false,"storage_key":"k","upload_url":")" +
                                             server.baseUrl().toUtf8() + "/upload\"}");
        reply.hang = name == QLatin1String("silent.bin");
        return reply;
    });
    server.on("PUT", "/upload", [&uploads](const FakeServer::Request&) {
        uploads.pass();
        return FakeServer::Reply::json(200, "{}");
    });

    const QProcessEnvironment environment = profile(QStringLiteral("ending"));
    const QString folder = makeTempDir(QStringLiteral("Family"));
    const QString first = folder + QStringLiteral("/first.txt");
    writeFile(first, "already in the vault");
    const QString settingsPath =
        environment.value(QStringLiteral("XDG_CONFIG_HOME")) + "/orlavant/orlavant.conf";
    {
        Settings settings(settingsPath);
        TestServices::pointAt(settings, server.baseUrl(), TestServices::session());
        settings.setString(QStringLiteral("orlavant_watched_folder_path"), folder);
        settings.setBool(QStringLiteral("orlavant_sync_stopped"), false);
    }

    Launch program(environment, {QStringLiteral("--background")});
    const QString ledgerPath = dataDirectory(environment) + QStringLiteral("/sync_ledger.json");
    const auto ledgerHasFirst = [&ledgerPath] {
        QFile ledger(ledgerPath);
        return ledger.open(QIODevice::ReadOnly) && ledger.readAll().contains("first.txt");
    };
    QTRY_VERIFY2_WITH_TIMEOUT(ledgerHasFirst(), qPrintable(program.output()), Patience);
    const qint64 readBefore = program.bytesRead();
    QFile second(folder + u'/' + state + QStringLiteral(".bin"));
    QVERIFY(second.open(QIODevice::WriteOnly));
    // Sparse, and far too large to finish hashing while the test waits: only a hash that stops
    // when asked lets the program end in time. Made once the first file is recorded, so the
    // pass its event starts has only this one to work on.
    QVERIFY(second.resize(state == QLatin1String("hashing") ? 200LL << 30 : 4 << 20));
    second.close();

    if (state == QLatin1String("hashing"))
        QTRY_VERIFY_WITH_TIMEOUT(program.bytesRead() - readBefore > (256 << 20), Patience);
    else if (state == QLatin1String("uploading"))
        QTRY_COMPARE_WITH_TIMEOUT(uploads.waiting(), 1, Patience);
    else
        QTRY_COMPARE_WITH_TIMEOUT(server.requests("POST", "/api/files/pre-upload").size(), 2, Patience);

    program.send(signalNumber);
    QVERIFY2(program.endedCleanly(), qPrintable(program.output()));
    QVERIFY(program.says(QStringLiteral("[Orlavant] Ending on signal %1.").arg(signalNumber)));
    uploads.open();

    // What the vault confirmed is recorded, nothing else; the settings are as they were.
    SyncLedger ledger(dataDirectory(environment));
    QCOMPARE(ledger.totalSyncedCount(), 1);
    const QFileInfo info(first);
    QVERIFY(ledger.isSynced(QStringLiteral("first.txt"), info.size(), info.lastModified()));
    Settings settings(settingsPath);
    QCOMPARE(settings.boolean(QStringLiteral("orlavant_sync_stopped")), std::optional<bool>(false));
    QVERIFY(settings.data(QStringLiteral("orlavant_supabase_session")));
}

ORLAVANT_TEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
