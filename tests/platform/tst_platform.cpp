#include "platform/HostName.h"
#include "platform/Settings.h"
#include "platform/VaultError.h"
#include "support/TestMain.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTest>
#include <QtConcurrent>

class TestPlatform : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsFileIsPrivateAndSurvivesRestart();
    void settingsReadersAreStrictAboutKinds_data();
    void settingsReadersAreStrictAboutKinds();
    void settingsRemoveForgetsTheKey();
    void vaultErrorCrossesFuturesUnchanged();
    void deviceNameComesFromMachineInfo_data();
    void deviceNameComesFromMachineInfo();
};

void TestPlatform::settingsFileIsPrivateAndSurvivesRestart() {
    const QString path = makeTempDir(QStringLiteral("settings")) + QStringLiteral("/orlavant/orlavant.conf");
    {
        Settings settings(path);
        settings.setString(QStringLiteral("orlavant_supabase_url"), QStringLiteral("https://x.example"));
        settings.setData(QStringLiteral("orlavant_supabase_session"),
                         QByteArray("{\"access_token\":\"t\"}\n\x01"));
        settings.setBool(QStringLiteral("orlavant_sync_stopped"), false);
    }
    // It holds the bearer token: only the user may read it, also after QSettings replaced it.
    QCOMPARE(QFileInfo(path).permissions() &
                 (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFileDevice::Permissions());
    Settings reopened(path);
    QCOMPARE(reopened.string(QStringLiteral("orlavant_supabase_url")), QStringLiteral("https://x.example"));
    QCOMPARE(reopened.data(QStringLiteral("orlavant_supabase_session")),
             QByteArray("{\"access_token\":\"t\"}\n\x01"));
    QCOMPARE(reopened.boolean(QStringLiteral("orlavant_sync_stopped")), std::optional<bool>(false));
}

void TestPlatform::settingsReadersAreStrictAboutKinds_data() {
    QTest::addColumn<QByteArray>("iniValue");
    QTest::addColumn<bool>("isBool");
    QTest::addColumn<bool>("boolValue");
    QTest::newRow("true") << QByteArray("true") << true << true;
    QTest::newRow("false") << QByteArray("false") << true << false;
    QTest::newRow("capitalised is not a boolean") << QByteArray("True") << false << false;
    QTest::newRow("number is not a boolean") << QByteArray("1") << false << false;
    QTest::newRow("empty is not a boolean") << QByteArray("") << false << false;
}

void TestPlatform::settingsReadersAreStrictAboutKinds() {
    QFETCH(QByteArray, iniValue);
    QFETCH(bool, isBool);
    QFETCH(bool, boolValue);
    const QString path = makeTempDir(QStringLiteral("kinds")) + QStringLiteral("/s.conf");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\norlavant_sync_stopped=" + iniValue + "\n");
    file.close();

    Settings settings(path);
    const std::optional<bool> value = settings.boolean(QStringLiteral("orlavant_sync_stopped"));
    QCOMPARE(value.has_value(), isBool);
    if (isBool)
        QCOMPARE(*value, boolValue);
    QVERIFY(!settings.boolean(QStringLiteral("missing")).has_value());
    QVERIFY(!settings.string(QStringLiteral("missing")).has_value());
}

void TestPlatform::settingsRemoveForgetsTheKey() {
    const QString path = makeTempDir(QStringLiteral("remove")) + QStringLiteral("/s.conf");
    Settings settings(path);
    settings.setData(QStringLiteral("orlavant_supabase_session"), "x");
    settings.setString(QStringLiteral("orlavant_supabase_url"), QStringLiteral("u"));
    settings.remove(QStringLiteral("orlavant_supabase_session"));
    QVERIFY(!Settings(path).contains(QStringLiteral("orlavant_supabase_session")));
    QVERIFY(Settings(path).contains(QStringLiteral("orlavant_supabase_url")));
}

void TestPlatform::vaultErrorCrossesFuturesUnchanged() {
    QFuture<int> future = QtConcurrent::run([]() -> int {
        throw VaultError(QStringLiteral("OrlavantQuota"), 402,
                         QStringLiteral("Household quota exceeded. Please upgrade plan."));
    });
    try {
        future.result();
        QFAIL("expected an error");
    } catch (const VaultError& error) {
        QCOMPARE(error.domain(), QStringLiteral("OrlavantQuota"));
        QCOMPARE(error.code(), 402);
    }

    std::optional<VaultError> seen;
    QFuture<void> chained = QtConcurrent::run([] {
                                throw VaultError::url(VaultError::TimedOut);
                            }).onFailed(this, [&seen](const VaultError& error) { seen = error; });
    QTRY_VERIFY(chained.isFinished());
    QVERIFY(seen.has_value());
    QCOMPARE(seen->code(), int(VaultError::TimedOut));
    QCOMPARE(seen->description(), QStringLiteral("The request timed out."));
}

void TestPlatform::deviceNameComesFromMachineInfo_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected"); // empty: the host name
    QTest::newRow("double quoted") << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's Laptop\"\n")
                                   << QStringLiteral("Anna's Laptop");
    QTest::newRow("single quoted") << QByteArray("PRETTY_HOSTNAME='Study PC'\n")
                                   << QStringLiteral("Study PC");
    QTest::newRow("bare") << QByteArray("PRETTY_HOSTNAME=Kitchen\n") << QStringLiteral("Kitchen");
    QTest::newRow("empty value falls back") << QByteArray("PRETTY_HOSTNAME=\"\"\n") << QString();
    QTest::newRow("absent falls back") << QByteArray("CHASSIS=desktop\n") << QString();
}

void TestPlatform::deviceNameComesFromMachineInfo() {
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QString path = makeTempDir(QStringLiteral("machine")) + QStringLiteral("/machine-info");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const QString hostName =
        QSysInfo::machineHostName().isEmpty() ? QStringLiteral("Mac") : QSysInfo::machineHostName();
    QCOMPARE(deviceDisplayName(path), expected.isEmpty() ? hostName : expected);
}

ORLAVANT_TEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
