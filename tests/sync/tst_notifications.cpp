#include "platform/DbusNotificationSink.h"
#include "support/LogCapture.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestMain.h"
#include "sync/MacNotificationHelper.h"

#include <QSet>

class TestNotifications : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void batchBody_data();
    void batchBody();
    void permissionIsAskedOnce_data();
    void permissionIsAskedOnce();
    void perFileNotifications();
    void everyNotificationHasItsOwnIdentifier();
    void wireBodyEscapesMarkup_data();
    void wireBodyEscapesMarkup();
    void missingServiceIsLoggedOnce();
};

void TestNotifications::initTestCase() {
    // No notification service in this process, whatever the machine runs.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orlavant-test-bus");
}

void TestNotifications::batchBody_data() {
    QTest::addColumn<int>("uploaded");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<QString>("body");
    QTest::newRow("both") << 3 << 2 << "3 new file(s) uploaded, 2 duplicate(s) skipped.";
    QTest::newRow("duplicates only") << 0 << 4 << "4 duplicate(s) skipped.";
    QTest::newRow("one upload") << 1 << 0 << "1 new file(s) uploaded.";
    QTest::newRow("five uploads") << 5 << 0 << "5 new file(s) uploaded.";
    QTest::newRow("nothing") << 0 << 0 << "";
    QTest::newRow("negative") << -1 << -3 << "";
    QTest::newRow("negative uploads, one duplicate") << -2 << 1 << "1 duplicate(s) skipped.";
}

void TestNotifications::batchBody() {
    QFETCH(int, uploaded);
    QFETCH(int, skipped);
    QFETCH(QString, body);
    QCOMPARE(MacNotificationHelper::batchBody(uploaded, skipped), body);
    RecordingNotificationSink sink;
    MacNotificationHelper helper(sink);
    helper.notifyBatchComplete(uploaded, skipped);
    if (body.isEmpty()) {
        QVERIFY(sink.posted().isEmpty());
        return;
    }
    QCOMPARE(sink.posted().size(), 1);
    const DesktopNotification posted = sink.posted().first();
    QCOMPARE(posted.title, QStringLiteral("Orlavant Auto-Sync Complete"));
    QVERIFY(!posted.subtitle);
    QCOMPARE(posted.body, body);
    QVERIFY(posted.playSound);
}

void TestNotifications::permissionIsAskedOnce_data() {
    QTest::addColumn<bool>("grant");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("granted") << true << QString() << "[Notifications] Permission granted: true";
    QTest::newRow("refused") << false << QString() << "[Notifications] Permission granted: false";
    QTest::newRow("error") << false << "no service"
                           << "[Notifications] Authorization error: no service";
}

void TestNotifications::permissionIsAskedOnce() {
    QFETCH(bool, grant);
    QFETCH(QString, error);
    QFETCH(QString, logLine);
    RecordingNotificationSink sink;
    sink.grant = grant;
    if (!error.isEmpty())
        sink.authorizationError = error;
    LogCapture log;
    MacNotificationHelper helper(sink);
    helper.requestPermission();
    QCOMPARE(sink.authorizationRequests(), 1);
    QCOMPARE(log.lines(), QStringList{logLine});
    // Posting neither waits for nor checks the answer.
    helper.notifyFileUploaded(QStringLiteral("a.jpg"));
    QCOMPARE(sink.posted().size(), 1);
}

void TestNotifications::perFileNotifications() {
    RecordingNotificationSink sink;
    MacNotificationHelper helper(sink);
    helper.notifyFileUploaded(QStringLiteral("Holiday <1> & more.jpg"));
    helper.notifyDuplicateSkipped(QStringLiteral("b.pdf"));
    const QList<DesktopNotification> posted = sink.posted();
    QCOMPARE(posted.size(), 2);
    QCOMPARE(posted[0].title, QStringLiteral("Orlavant Cloud Sync"));
    QCOMPARE(posted[0].subtitle, std::optional<QString>(QStringLiteral("New file uploaded securely")));
    QCOMPARE(posted[0].body,
             QStringLiteral("\u201CHoliday <1> & more.jpg\u201D was added to your family cloud vault."));
    QVERIFY(posted[0].playSound);
    QCOMPARE(posted[1].title, QStringLiteral("Orlavant Deduplication"));
    QCOMPARE(posted[1].subtitle, std::optional<QString>(QStringLiteral("Duplicate file skipped")));
    QCOMPARE(posted[1].body,
             QStringLiteral("\u201C"
                            "b.pdf\u201D already exists in your cloud vault (identical SHA-256)."));
    QVERIFY(!posted[1].playSound);
}

void TestNotifications::everyNotificationHasItsOwnIdentifier() {
    RecordingNotificationSink sink;
    MacNotificationHelper helper(sink);
    helper.notifyFileUploaded(QStringLiteral("same.txt"));
    helper.notifyFileUploaded(QStringLiteral("same.txt"));
    helper.notifyBatchComplete(2, 0);
    QSet<QString> identifiers;
    for (const DesktopNotification& notification : sink.posted()) {
        QCOMPARE(notification.identifier.size(), 36); // the standard textual UUID form
        identifiers.insert(notification.identifier);
    }
    QCOMPARE(identifiers.size(), 3);
}

void TestNotifications::wireBodyEscapesMarkup_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("subtitle");
    QTest::addColumn<QString>("wire");
    QTest::newRow("plain") << "a.txt was added." << QString() << "a.txt was added.";
    QTest::newRow("markup in a name")
        << "<b>x</b> & y.txt" << QString() << "&lt;b&gt;x&lt;/b&gt; &amp; y.txt";
    QTest::newRow("with subtitle") << "body"
                                   << "Dup & co"
                                   << "Dup &amp; co\nbody";
}

void TestNotifications::wireBodyEscapesMarkup() {
    QFETCH(QString, body);
    QFETCH(QString, subtitle);
    QFETCH(QString, wire);
    DesktopNotification notification;
    notification.body = body;
    if (!subtitle.isEmpty())
        notification.subtitle = subtitle;
    QCOMPARE(DbusNotificationSink::wireBody(notification), wire);
}

void TestNotifications::missingServiceIsLoggedOnce() {
    LogCapture log;
    DbusNotificationSink sink;
    MacNotificationHelper helper(sink);
    QTRY_COMPARE(log.linesStartingWith(QStringLiteral("[Notifications] Authorization error: ")).size(), 1);
    helper.notifyFileUploaded(QStringLiteral("a.txt"));
    helper.notifyFileUploaded(QStringLiteral("b.txt"));
    helper.notifyBatchComplete(2, 0);
    QTRY_COMPARE(
        log.linesStartingWith(QStringLiteral("[Notifications] Notifications cannot be shown: ")).size(), 1);
    QTest::qWait(50);
    QCOMPARE(log.linesStartingWith(QStringLiteral("[Notifications] Notifications cannot be shown: ")).size(),
             1);
}

ORLAVANT_TEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
