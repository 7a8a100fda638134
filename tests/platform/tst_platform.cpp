#include "platform/HostName.h"
#include "platform/Settings.h"
#include "support/TestFiles.h"
#include "support/TestMain.h"

#include <QSysInfo>

using namespace Qt::StringLiterals;

class TestPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsFileIsPrivateAndSurvivesRestart();
    void settingsBooleansAreStrict_data();
    void settingsBooleansAreStrict();
    void deviceNameComesFromMachineInfo_data();
    void deviceNameComesFromMachineInfo();
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

void TestPlatform::settingsBooleansAreStrict_data() {
    QTest::addColumn<QByteArray>("iniValue");
    QTest::addColumn<std::optional<bool>>("expected");
    QTest::newRow("true") << QByteArray("true") << std::optional<bool>(true);
    QTest::newRow("capitalised") << QByteArray("True") << std::optional<bool>();
    QTest::newRow("number") << QByteArray("1") << std::optional<bool>();
}

void TestPlatform::settingsBooleansAreStrict() {
    QFETCH(QByteArray, iniValue);
    QFETCH(std::optional<bool>, expected);
    const QString path = makeTempDir(u"file"_s) + u"/s.conf"_s;
    writeFile(path, "[General]\norlavant_sync_stopped=" + iniValue + "\n");
    Settings settings(path);
    QCOMPARE(settings.boolean(u"orlavant_sync_stopped"_s), expected);
}

void TestPlatform::deviceNameComesFromMachineInfo_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected"); // empty: the host name
    QTest::newRow("double quoted") << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's Laptop\"\n")
                                   << u"Anna's Laptop"_s;
    QTest::newRow("empty value falls back") << QByteArray("PRETTY_HOSTNAME=\"\"\n") << QString();
    QTest::newRow("absent falls back") << QByteArray("CHASSIS=desktop\n") << QString();
}

void TestPlatform::deviceNameComesFromMachineInfo() {
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QString hostName = QSysInfo::machineHostName().isEmpty() ? u"Mac"_s : QSysInfo::machineHostName();
    const QString path = makeTempDir(u"file"_s) + u"/machine-info"_s;
    writeFile(path, content);
    QCOMPARE(deviceDisplayName(path), expected.isEmpty() ? hostName : expected);
}

ORLAVANT_TEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
