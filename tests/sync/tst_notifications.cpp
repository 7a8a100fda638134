#include "platform/DbusNotificationSink.h"
#include "support/RecordingNotificationSink.h"
#include "support/TestMain.h"
#include "sync/MacNotificationHelper.h"

#include <QSet>

using namespace Qt::StringLiterals;

class TestNotifications : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void postedNotifications();
};

void TestNotifications::postedNotifications() {
    RecordingNotificationSink sink;
    sink.grant = false;
    MacNotificationHelper helper(sink);
    helper.requestPermission();
    QCOMPARE(sink.authorizationRequests(), 1);
    // Posting neither waits for nor checks the answer.
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    helper.notifyDuplicateSkipped(u"b.pdf"_s);
    helper.notifyFileUploaded(u"Holiday <1> & more.jpg"_s);
    helper.notifyBatchComplete(2, 1);
    helper.notifyBatchComplete(0, 0); // nothing to say: nothing posted
    helper.notifyBatchComplete(-1, -3);
    helper.notifyBatchComplete(-2, 4);
    helper.notifyBatchComplete(1, 0);
    QStringList described;
    QSet<QString> identifiers;
    for (const DesktopNotification& posted : sink.posted()) {
        described.append(posted.title + u'|' + posted.subtitle.value_or(u"-"_s) + u'|' + posted.body +
                         (posted.playSound ? u"|sound"_s : QString()));
        QCOMPARE(posted.identifier.size(), 36); // the textual UUID form
        identifiers.insert(posted.identifier);
    }
    const QString uploaded =
        u"Orlavant Cloud Sync|New file uploaded securely|\u201CHoliday <1> & more.jpg\u201D "
        u"was added to your family cloud vault.|sound"_s;
    QCOMPARE(described, (QStringList{uploaded,
                                     u"Orlavant Deduplication|Duplicate file skipped|\u201C"
                                     u"b.pdf\u201D already exists in your cloud vault (identical SHA-256)."_s,
                                     uploaded,
                                     u"Orlavant Auto-Sync Complete|-|2 new file(s) uploaded, 1 duplicate(s) "
                                     u"skipped.|sound"_s,
                                     u"Orlavant Auto-Sync Complete|-|4 duplicate(s) skipped.|sound"_s,
                                     u"Orlavant Auto-Sync Complete|-|1 new file(s) uploaded.|sound"_s}));
    // Identical notifications must not replace each other.
    QCOMPARE(identifiers.size(), 6);
    // Notification servers render a subset of HTML: a file name must not become markup.
    QCOMPARE(DbusNotificationSink::wireBody(sink.posted().first()),
             u"New file uploaded securely\n\u201CHoliday &lt;1&gt; &amp; more.jpg\u201D was added to your "
             u"family cloud vault."_s);
}

ORLAVANT_TEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
