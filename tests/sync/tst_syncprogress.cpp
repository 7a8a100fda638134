// What the screens show of a running pass: its progress (files and bytes, the speed) and the
// activity of this run (bounded, newest first, problems kept until the file syncs).
#include "FakeVault.h"

#include "support/FakeClock.h"
#include "support/TestMain.h"
#include "support/TestServices.h"
#include "sync/SyncActivityModel.h"
#include "sync/SyncProgressModel.h"
#include "sync/SyncReporter.h"

#include <QFuture>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

using namespace std::chrono_literals;

namespace {

SyncReportBatch batch(quint64 passId, QList<SyncEvent::Type> types, SyncProgress progress = {}) {
    SyncReportBatch result;
    for (const SyncEvent::Type type : types) {
        SyncEvent event;
        event.type = type;
        event.passId = passId;
        result.events.append(event);
    }
    progress.passId = passId;
    result.progress = progress;
    return result;
}

// passId, filesTotal, filesDone, bytesTotal, bytesHashed, bytesSent (the pass's id is set by batch()).
SyncProgress progress(int filesTotal, int filesDone, qint64 bytesTotal, qint64 hashed, qint64 sent) {
    return {0, filesTotal, filesDone, bytesTotal, hashed, sent};
}

// Activity scripts: batches separated by " | ", events by spaces, each "K:path" with K one of
// U (uploaded), D (already in the vault), F (failed), R (unreadable), N (name not UTF-8);
// "K:path*n" stands for n events on path0 .. path(n-1).
QList<SyncReportBatch> activityScript(const QString& script) {
    static const QHash<QChar, FileOutcome::Kind> kinds = {{u'U', FileOutcome::Kind::Uploaded},
                                                          {u'D', FileOutcome::Kind::Deduplicated},
                                                          {u'F', FileOutcome::Kind::Failed},
                                                          {u'R', FileOutcome::Kind::SkippedUnreadable},
                                                          {u'N', FileOutcome::Kind::SkippedInvalidName}};
    QList<SyncReportBatch> batches;
    for (const QString& part : script.split(QStringLiteral(" | "))) {
        SyncReportBatch next;
        for (const QString& token : part.split(u' ', Qt::SkipEmptyParts)) {
            const QStringList countSplit = token.mid(2).split(u'*');
            const int count = countSplit.size() > 1 ? countSplit[1].toInt() : 1;
            for (int i = 0; i < count; ++i) {
                SyncEvent event;
                event.type = SyncEvent::Type::FileFinished;
                event.outcome.kind = kinds.value(token.at(0));
                event.outcome.relativePath = countSplit[0] + (count > 1 ? QString::number(i) : QString());
                event.outcome.fileName = event.outcome.relativePath;
                event.outcome.reason = QStringLiteral("The vault said no.");
                next.events.append(event);
            }
        }
        batches.append(next);
    }
    return batches;
}

QString row(const SyncActivityModel& model, int index) {
    static const char letters[] = {'U', 'D', 'F', 'N', 'R'};
    const FileOutcome& entry = model.entry(index);
    return QString(QLatin1Char(letters[int(entry.kind)])) + u':' + entry.relativePath;
}

// A server that takes a request's head and the first `allowance` bytes of its body, then
// stops reading until told to go on; it answers 200 once the whole body is in.
class StallingServer : public QObject {
public:
    explicit StallingServer(qint64 allowance) {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this, allowance] {
            m_socket = m_server.nextPendingConnection();
            m_socket->setReadBufferSize(allowance);
            connect(m_socket, &QTcpSocket::readyRead, this, &StallingServer::take);
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/upload").arg(m_server.serverPort())); }
    qint64 bodyBytes() const { return m_body; }
    void goOn(qint64 expectedBody) {
        m_expected = expectedBody;
        m_socket->setReadBufferSize(0);
        take();
    }

private:
    void take() {
        const QByteArray bytes =
            m_socket->read(m_socket->readBufferSize() ? m_socket->readBufferSize() : 1 << 20);
        if (m_head.isEmpty() || !m_head.contains("\r\n\r\n")) {
            m_head += bytes;
            const qsizetype end = m_head.indexOf("\r\n\r\n");
            if (end >= 0)
                m_body += m_head.size() - end - 4;
        } else {
            m_body += bytes.size();
        }
        if (m_expected > 0 && m_body >= m_expected)
            m_socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
        else if (m_socket->bytesAvailable() > 0 && m_socket->readBufferSize() == 0)
            QMetaObject::invokeMethod(this, &StallingServer::take, Qt::QueuedConnection);
    }

    QTcpServer m_server;
    QTcpSocket* m_socket = nullptr;
    QByteArray m_head;
    qint64 m_body = 0;
    qint64 m_expected = 0;
};

} // namespace

class TestSyncProgress : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void progressFigures_data();
    void progressFigures();
    void speedOverTheRecentPast();
    void onlyTheRunningPassCounts();
    void progressOfAPassWithASlowVault();
    void bytesSentMoveDuringOneLargeUpload();
    void activity_data();
    void activity();
    void thousandsOfEventsChangeTheListInOneStep();
};

void TestSyncProgress::progressFigures_data() {
    QTest::addColumn<SyncProgress>("figures");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<qint64>("left");
    const qint64 GB = 1'000'000'000;
    QTest::newRow("nothing done") << progress(3, 0, 600, 0, 0) << 0.0 << qint64(600);
    QTest::newRow("a large file half hashed") << progress(1, 0, 6 * GB, 3 * GB, 0) << 0.25 << 9 * GB / 2;
    QTest::newRow("hashed, half sent") << progress(1, 0, 6 * GB, 6 * GB, 3 * GB) << 0.75 << 3 * GB / 2;
    QTest::newRow("duplicates: files ahead of bytes") << progress(10, 5, 1000, 200, 0) << 0.5 << qint64(500);
    QTest::newRow("sent twice (backend, then storage)") << progress(1, 0, 100, 100, 200) << 1.0 << qint64(0);
    QTest::newRow("all files done") << progress(2, 2, 100, 100, 0) << 1.0 << qint64(0);
}

void TestSyncProgress::progressFigures() {
    QFETCH(SyncProgress, figures);
    QFETCH(double, fraction);
    QFETCH(qint64, left);
    SyncReporter reporter;
    FakeClock clock;
    SyncProgressModel model(reporter, clock);
    QVERIFY(!model.isActive());
    model.apply(batch(1, {SyncEvent::Type::PassStarted}, figures));
    QVERIFY(model.isActive());
    QCOMPARE(model.filesTotal(), figures.filesTotal);
    QCOMPARE(model.filesDone(), figures.filesDone);
    QCOMPARE(model.fraction(), fraction);
    QCOMPARE(model.bytesLeft(), left);
}

void TestSyncProgress::speedOverTheRecentPast() {
    SyncReporter reporter;
    FakeClock clock;
    SyncProgressModel model(reporter, clock);
    const qint64 MB = 1'000'000;
    model.apply(batch(1, {SyncEvent::Type::PassStarted}, progress(1, 0, 1000 * MB, 0, 0)));
    QVERIFY(!model.bytesPerSecond()); // not yet measured
    clock.advanceMs(500);
    model.apply(batch(1, {}, progress(1, 0, 1000 * MB, 100 * MB, 0)));
    QVERIFY(!model.bytesPerSecond()); // half a second says too little
    clock.advanceMs(1500);
    model.apply(batch(1, {}, progress(1, 0, 1000 * MB, 400 * MB, 0)));
    QCOMPARE(*model.bytesPerSecond(), 100.0 * MB); // 200 MB synced (400 read) in 2 s
    // A stall: the figures stop moving, the speed falls as the window moves on.
    clock.advanceMs(10'000);
    model.apply(batch(1, {}, progress(1, 0, 1000 * MB, 400 * MB, 0)));
    QCOMPARE(*model.bytesPerSecond(), 0.0);
}

void TestSyncProgress::onlyTheRunningPassCounts() {
    SyncReporter reporter;
    FakeClock clock;
    SyncProgressModel model(reporter, clock);
    QSignalSpy changed(&model, &SyncProgressModel::changed);
    model.apply(batch(1, {SyncEvent::Type::PassStarted}, progress(0, 0, 0, 0, 0)));
    QVERIFY(!model.isActive()); // still reading the folder: nothing to show yet
    model.apply(batch(1, {}, progress(4, 1, 40, 10, 0)));
    QVERIFY(model.isActive());
    // A folder change: the next pass starts while reports of the old one are still on their way.
    SyncReportBatch restarted = batch(2, {SyncEvent::Type::PassStarted});
    restarted.progress = progress(4, 3, 40, 40, 40);
    restarted.progress.passId = 1;
    model.apply(restarted);
    QCOMPARE(model.filesDone(), 0);
    model.apply(batch(1, {SyncEvent::Type::PassEnded}, progress(4, 4, 40, 40, 40)));
    QCOMPARE(model.filesDone(), 0);
    model.apply(batch(2, {}, progress(2, 1, 20, 20, 0)));
    QVERIFY(model.isActive());
    model.apply(batch(2, {SyncEvent::Type::PassEnded}, progress(2, 2, 20, 20, 20)));
    QVERIFY(!model.isActive());
    QCOMPARE(model.filesDone(), 2); // how it ended
    QVERIFY(!changed.isEmpty());
}

void TestSyncProgress::progressOfAPassWithASlowVault() {
    FakeVault vault;
    TestServices test(TestServices::session());
    CoreServices& core = *test.services;
    core.client.configure(vault.server.baseUrl(), QStringLiteral("test-anon-key"));
    core.client.setBackendUrl(vault.server.baseUrl());
    const QString folder = makeTempDir(QStringLiteral("slow"));
    writeFile(folder + QStringLiteral("/a.jpg"), QByteArray(1000, 'a'));
    writeFile(folder + QStringLiteral("/b.jpg"), QByteArray(2000, 'b'));
    writeFile(folder + QStringLiteral("/c.jpg"), QByteArray(3000, 'c'));
    vault.hold(QByteArray(2000, 'b')); // b is in the vault already: never sent
    vault.gate.close();

    FolderSyncManager& engine = core.folderSync;
    const SyncProgressModel& model = engine.progress();
    QSignalSpy finished(&engine, &FolderSyncManager::passFinished);
    engine.changeFolder(folder);
    engine.startSync();
    // Every file hashed, none answered yet.
    QTRY_COMPARE_WITH_TIMEOUT(vault.gate.waiting(), 3, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(model.bytesLeft(), qint64(3000), 60000);
    QVERIFY(model.isActive());
    QCOMPARE(model.filesTotal(), 3);
    QCOMPARE(model.filesDone(), 0);
    QCOMPARE(model.bytesTotal(), qint64(6000));
    vault.gate.open();
    QVERIFY(finished.wait(60000));
    QTRY_VERIFY_WITH_TIMEOUT(!model.isActive(), 60000);
    QCOMPARE(model.filesDone(), 3);
    QCOMPARE(model.fraction(), 1.0);
    QCOMPARE(model.bytesLeft(), qint64(0));
}

void TestSyncProgress::bytesSentMoveDuringOneLargeUpload() {
    const qint64 size = 64 * 1024 * 1024;
    const QString path = makeTempDir(QStringLiteral("large")) + QStringLiteral("/video.mov");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size)); // sparse: no disk
    }
    StallingServer server(1024 * 1024);
    HttpClient http;
    HttpRequest request;
    request.method = "PUT";
    request.url = server.url();
    request.bodyFile = path;
    const qint64 before = http.fileBodyBytesSent();
    QFuture<HttpResponse> upload = http.send(request);
    // The server has taken a megabyte and reads no more: the count has moved, the upload is far
    // from done.
    QTRY_VERIFY_WITH_TIMEOUT(http.fileBodyBytesSent() - before >= 1024 * 1024, 60000);
    QVERIFY(!upload.isFinished());
    QVERIFY(http.fileBodyBytesSent() - before < size);
    server.goOn(size);
    QTRY_VERIFY_WITH_TIMEOUT(upload.isFinished(), 60000);
    QCOMPARE(upload.result().status, 200);
    QCOMPARE(http.fileBodyBytesSent() - before, size);
    QCOMPARE(server.bodyBytes(), size);
}

void TestSyncProgress::activity_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("top");
    QTest::addColumn<QString>("bottom");
    const auto row = [](const char* tag, const char* script, int rows, const char* top, const char* bottom) {
        QTest::newRow(tag) << QString::fromUtf8(script) << rows << QString::fromUtf8(top)
                           << QString::fromUtf8(bottom);
    };
    row("newest first", "U:a D:b | F:c", 3, "F:c", "U:a");
    row("the last 200 events", "U:x*250", 200, "U:x249", "U:x50");
    row("a failure stays behind newer events", "F:a | U:x*250", 201, "U:x249", "F:a");
    row("so do the skipped ones", "N:bad R:locked | D:x*300", 202, "D:x299", "N:bad");
    row("the file syncs: its failure goes", "F:a | U:b | U:a", 2, "U:a", "U:b");
    row("synced in the same batch", "F:a U:a", 1, "U:a", "U:a");
    row("a new failure replaces the old one", "F:a | U:b | F:a", 2, "F:a", "U:b");
    row("failed again after it synced", "U:a F:a", 2, "F:a", "U:a");
    row("problems are bounded too", "F:p*250 | U:x*250", 400, "U:x249", "F:p50");
}

void TestSyncProgress::activity() {
    QFETCH(QString, script);
    QFETCH(int, rows);
    QFETCH(QString, top);
    QFETCH(QString, bottom);
    SyncReporter reporter;
    SyncActivityModel model(reporter);
    for (const SyncReportBatch& next : activityScript(script))
        model.apply(next);
    QCOMPARE(model.rowCount(), rows);
    QCOMPARE(row(model, 0), top);
    QCOMPARE(row(model, rows - 1), bottom);
}

void TestSyncProgress::thousandsOfEventsChangeTheListInOneStep() {
    SyncReporter reporter;
    SyncActivityModel model(reporter);
    model.apply(activityScript(QStringLiteral("F:a U:x*100")).first());
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    model.apply(activityScript(QStringLiteral("U:y*5000")).first());
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(model.rowCount(), 201);
    QCOMPARE(row(model, 200), QStringLiteral("F:a"));
}

ORLAVANT_TEST_GUILESS_MAIN(TestSyncProgress)
#include "tst_syncprogress.moc"
