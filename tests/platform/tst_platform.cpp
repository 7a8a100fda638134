#include "platform/Settings.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"

using namespace Qt::StringLiterals;

class TestPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsFileIsPrivateAndSurvivesRestart();
};

void TestPlatform::settingsFileIsPrivateAndSurvivesRestart() {
    const QString path = makeTempDir(u"settings"_s) + u"/orlavant/orlavant.conf"_s;
    const QByteArray session("{\"access_token\":\"t\"}\n\x01");
    {
        Settings settings(path);
        settings.setString(u"orlavant_supabase_url"_s, u"https://x.example"_s);
        settings.setData(u"orlavant_supabase_session"_s, session);
        settings.setData(u"gone"_s, "x");
        settings.setBool(u"orlavant_sync_stopped"_s, false);
        settings.remove(u"gone"_s);
    }
    // It holds the bearer token: only the user may read it, also after QSettings replaced it.
    QCOMPARE(QFileInfo(path).permissions() &
                 (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFileDevice::Permissions());
    Settings reopened(path);
    QCOMPARE(reopened.string(u"orlavant_supabase_url"_s), u"https://x.example"_s);
    QCOMPARE(reopened.data(u"orlavant_supabase_session"_s), session);
    QCOMPARE(reopened.boolean(u"orlavant_sync_stopped"_s), std::optional<bool>(false));
    QVERIFY(!reopened.contains(u"gone"_s) && !reopened.string(u"missing"_s));
}

ORLAVANT_TEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
