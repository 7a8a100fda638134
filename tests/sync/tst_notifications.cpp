#include "platform/DbusNotificationSink.h"
#include "support/LogCapture.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestMain.h"
#include "sync/MacNotificationHelper.h"

#include <QSet>

using namespace Qt::StringLiterals;

class TestNotifications : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void batchBody_data();
    void batchBody();
    void permissionIsAskedOnce_data();
    void permissionIsAskedOnce();
    void perFileNotifications();
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
    QTest::newRow("nothing") << 0 << 0 << "";
    QTest::newRow("negative") << -1 << -3 << "";
    QTest::newRow("negative uploads, one duplicate") << -2 << 1 << "1 duplicate(s) skipped.";
}

void TestNotifications::batchBody() {
    QFETCH(int, uploaded);
    QFETCH(int, skipped);
    QFETCH(QString, body);
    RecordingNotificationSink sink;
    MacNotificationHelper(sink).notifyBatchComplete(uploaded, skipped);
    QCOMPARE(sink.posted().size(), body.isEmpty() ? 0 : 1);
    if (body.isEmpty())
        return;
    const DesktopNotification posted = sink.posted().first();
    QCOMPARE(posted.title, u"Orlavant Auto-Sync Complete"_s);
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
    helper.notifyFileUploaded(u"a.jpg"_s);
    QCOMPARE(sink.posted().size(), 1);
}

void TestNotifications::perFileNotifications() {
    RecordingNotificationSink sink;
    MacNotificationHelper helper(sink);
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    helper.notifyDuplicateSkipped(u"b.pdf"_s);
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    const QList<DesktopNotification> posted = sink.posted();
    QCOMPARE(posted.size(), 3);
    QCOMPARE(posted[0].title, u"Orlavant Cloud Sync"_s);
    QCOMPARE(posted[0].subtitle, std::optional<QString>(u"New file uploaded securely"_s));
    QCOMPARE(posted[0].body, u"\u201CHoliday <1> & more.jpg\u201D was added to your family cloud vault."_s);
    QVERIFY(posted[0].playSound);
    QCOMPARE(posted[1].title, u"Orlavant Deduplication"_s);
    QCOMPARE(posted[1].subtitle, std::optional<QString>(u"Duplicate file skipped"_s));
    QCOMPARE(posted[1].body, u"\u201C"
                             u"b.pdf\u201D already exists in your cloud vault (identical SHA-256)."_s);
    QVERIFY(!posted[1].playSound);
    // Identical notifications still get identifiers of their own, in the textual UUID form.
    QSet<QString> identifiers;
    for (const DesktopNotification& notification : posted) {
        QCOMPARE(notification.identifier.size(), 36);
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
    QTRY_COMPARE(log.linesStartingWith(u"[Notifications] Authorization error: "_s).size(), 1);
    helper.notifyFileUploaded(u"a.txt"_s);
    helper.notifyFileUploaded(u"b.txt"_s);
    helper.notifyBatchComplete(2, 0);
    const QString cannotShow = u"[Notifications] Notifications cannot be shown: "_s;
    QTRY_COMPARE(log.linesStartingWith(cannotShow).size(), 1);
    QTest::qWait(50);
    QCOMPARE(log.linesStartingWith(cannotShow).size(), 1);
}

ORLAVANT_TEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
