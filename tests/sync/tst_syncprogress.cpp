// What the screens show of a running pass: its progress (files and bytes) and the
// activity of this run (bounded, newest first, problems kept until the file syncs).
#include "FakeVault.h"

#include "support/TestMain.h"
#include "support/TestServices.h"
#include "sync/SyncActivityModel.h"
#include "sync/SyncProgressModel.h"
#include "sync/SyncReporter.h"

#include <QSignalSpy>

namespace {

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

} // namespace

class TestSyncProgress : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void progressOfAPassWithASlowVault();
    void activity_data();
    void activity();
};

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

void TestSyncProgress::activity_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("top");
    QTest::addColumn<QString>("bottom");
    const auto row = [](const char* tag, const char* script, int rows, const char* top, const char* bottom) {
        QTest::newRow(tag) << QString::fromUtf8(script) << rows << QString::fromUtf8(top)
                           << QString::fromUtf8(bottom);
    };
    row("the last 200 events", "U:x*250", 200, "U:x249", "U:x50");
    row("skipped ones stay behind newer events", "N:bad R:locked | D:x*300", 202, "D:x299", "N:bad");
    row("the file syncs: its failure goes", "F:a | U:b | U:a", 2, "U:a", "U:b");
    row("synced in the same batch", "F:a U:a", 1, "U:a", "U:a");
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

ORLAVANT_TEST_GUILESS_MAIN(TestSyncProgress)
#include "tst_syncprogress.moc"
