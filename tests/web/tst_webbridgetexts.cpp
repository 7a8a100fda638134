// The texts and names the web host makes without a browser: the scripts it evaluates in the
// page, download addresses, the token's origin rule and the names files get in Downloads.
#include "support/TestMain.h"
#include "web/BridgeScripts.h"
#include "web/DownloadNames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace {

// One data row per line.
template <typename... T> void row(const char* name, const T&... values) {
    (QTest::newRow(name) << ... << values);
}

void touch(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString Base = QStringLiteral("http://127.0.0.1:8000");

} // namespace

class TestWebBridgeTexts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void escapeJsString_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("escaped");
        row("apostrophe", "it's.txt", "it\\'s.txt");
        row("double quote", "say \"hi\"", "say \\\"hi\\\"");
        row("backslash before quote", "a\\'b", "a\\\\\\'b");
        row("line feed and return", "one\ntwo\r", "one\\ntwo\\r");
        row("line separators", QString::fromUtf16(u"a\u2028b\u2029c"), "a\\u2028b\\u2029c");
        row("closing script tag", "</script><script>x()</script>", "<\\/script><script>x()<\\/script>");
        row("slash alone stays", "/home/me/Photos", "/home/me/Photos");
        row("non-latin stays", QString::fromUtf16(u"\u00e9t\u00e9 \U0001F4F7"),
            QString::fromUtf16(u"\u00e9t\u00e9 \U0001F4F7"));
    }
    void escapeJsString() {
        QFETCH(QString, text);
        QFETCH(QString, escaped);
        QCOMPARE(BridgeScripts::escapeJsString(text), escaped);
    }

    // The exact calls the page receives, for ordinary and hostile texts.
    void pageScripts_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected");
        row("status, watching",
            BridgeScripts::statusPush(QStringLiteral("/home/me/Photos"), true, 12,
                                      QStringLiteral("Sync Active"), false),
            "if (window.updateMacSyncStatus) window.updateMacSyncStatus('/home/me/Photos', true, 12, "
            "'Sync Active', false);");
        row("status, no folder, paused",
            BridgeScripts::statusPush(QString(), false, 0, QStringLiteral("Sync Paused by User"), true),
            "if (window.updateMacSyncStatus) window.updateMacSyncStatus('', false, 0, 'Sync Paused by User', "
            "true);");
        row("status, hostile",
            BridgeScripts::statusPush(QStringLiteral("/home/o'brien"), true, -3,
                                      QStringLiteral("x');window.pwned=1;('\nz"), false),
            "if (window.updateMacSyncStatus) window.updateMacSyncStatus('/home/o\\'brien', true, -3, "
            "'x\\');window.pwned=1;(\\'\\nz', false);");
        row("file synced", BridgeScripts::fileSynced(QStringLiteral("photo.jpg"), false),
            "if (window.onMacFileSynced) window.onMacFileSynced('photo.jpg', false);");
        row("file synced, hostile", BridgeScripts::fileSynced(QStringLiteral("it's</script>\\"), true),
            "if (window.onMacFileSynced) window.onMacFileSynced('it\\'s<\\/script>\\\\', true);");
    }
    void pageScripts() {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        QCOMPARE(script, expected);
    }

    void resolveAddress_data() {
        QTest::addColumn<QString>("apiBaseUrl");
        QTest::addColumn<QString>("urlStr");
        QTest::addColumn<QString>("expected"); // empty: refused
        const QString seven = QStringLiteral("/api/files/7/download");
        row("leading slash", Base, seven, Base + seven);
        row("no leading slash", Base, seven.mid(1), Base + seven);
        row("base with trailing slashes", Base + "//", seven, Base + seven);
        row("base with a path", "https://vault.example/v1/", "files/1", "https://vault.example/v1/files/1");
        row("absolute http kept", Base, "http://other.example/x.pdf", "http://other.example/x.pdf");
        row("absolute https kept", Base, "https://cdn.example/a?sig=1", "https://cdn.example/a?sig=1");
        row("protocol-relative stays on the base host", Base, "//evil.example/x", Base + "//evil.example/x");
        row("javascript is not an address", Base, "javascript:alert(1)", Base + "/javascript:alert(1)");
        row("empty base", "", seven, "");
        row("file base refused", "file:///etc", "passwd", "");
        row("space in path refused", Base, "/files/my file.pdf", "");
        row("space in host refused", "http://bad host", "x", "");
    }
    void resolveAddress() {
        QFETCH(QString, apiBaseUrl);
        QFETCH(QString, urlStr);
        QFETCH(QString, expected);
        const auto url = DownloadNames::resolveAddress(apiBaseUrl, urlStr);
        QCOMPARE(url ? url->toString() : QString(), expected);
    }

    void sameOrigin_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        row("same", Base + "/api/x", Base, true);
        row("host case", "http://Vault.Example/x", "http://vault.example", true);
        row("default port spelled out", "https://vault.example:443/x", "https://vault.example", true);
        row("other port", "http://127.0.0.1:8001/x", Base, false);
        row("other scheme", "https://127.0.0.1:8000/x", Base, false);
        row("other host", "http://evil.example:8000/x", Base, false);
        row("suffix host", "http://vault.example.evil.example/x", "http://vault.example", false);
        row("userinfo trick", "http://vault.example@evil.example/x", "http://vault.example", false);
        row("unusable base", Base + "/x", "", false);
    }
    void sameOrigin() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        QCOMPARE(DownloadNames::sameOrigin(QUrl(a), QUrl(b)), same);
    }

    void safeFileName_data() {
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QString>("safe");
        row("apostrophe and spaces kept", "it's my file.txt", "it's my file.txt");
        row("dots inside kept", "v1..2.tar.gz", "v1..2.tar.gz");
        row("parent traversal", "../../etc/passwd", "passwd");
        row("absolute path", "/etc/cron.d/job", "job");
        row("windows traversal", "..\\..\\boot.ini", "boot.ini");
        row("dot-dot alone", "..", "orlavant_download");
        row("trailing slash", "photos/", "orlavant_download");
        row("hidden file", ".bashrc", "bashrc");
        row("dots and blanks", ". .. .profile", "profile");
        row("control characters",
            QStringLiteral("a\0b\nc\x1f"
                           "d\x7f.txt") +
                QChar(0x85),
            "abcd.txt");
        row("empty", "", "orlavant_download");
        // 300 two-byte characters: cut to 200 bytes, the extension kept.
        row("too long", QString(300, QChar(0xe9)) + ".pdf", QString(98, QChar(0xe9)) + ".pdf");
    }
    void safeFileName() {
        QFETCH(QString, wanted);
        QFETCH(QString, safe);
        QCOMPARE(DownloadNames::safeFileName(wanted), safe);
    }

    void contentDisposition_data() {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("name");
        row("quoted", QByteArray("attachment; filename=\"report.pdf\""), "report.pdf");
        row("token", QByteArray("attachment; filename=report.pdf"), "report.pdf");
        row("extended wins", QByteArray("attachment; filename=\"a.txt\"; filename*=UTF-8''%C3%A9t%C3%A9.txt"),
            QString::fromUtf16(u"\u00e9t\u00e9.txt"));
        row("escaped quote", QByteArray(R"(attachment; filename="say \"hi\".txt")"), "say \"hi\".txt");
        row("traversal passes through", QByteArray("attachment; filename=\"../x\""), "../x");
        row("none", QByteArray("inline"), "");
    }
    void contentDisposition() {
        QFETCH(QByteArray, header);
        QFETCH(QString, name);
        QCOMPARE(DownloadNames::contentDispositionFileName(header), name);
    }

    void freeDestination_data() {
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QStringList>("existing"); // a trailing "/" makes a folder
        QTest::addColumn<QString>("expected");
        row("free", "report.pdf", QStringList{}, "report.pdf");
        row("taken twice", "report.pdf", QStringList{"report.pdf", "report (1).pdf"}, "report (2).pdf");
        row("gap is reused", "report.pdf", QStringList{"report.pdf", "report (2).pdf"}, "report (1).pdf");
        row("no extension", "notes", QStringList{"notes"}, "notes (1)");
        row("last extension only", "photos.tar.gz", QStringList{"photos.tar.gz"}, "photos.tar (1).gz");
        row("a folder takes the name too", "data", QStringList{"data/"}, "data (1)");
    }
    void freeDestination() {
        QFETCH(QString, wanted);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        const QString dir = makeTempDir(QStringLiteral("free"));
        for (const QString& name : existing) {
            if (name.endsWith(QLatin1Char('/')))
                QVERIFY(QDir(dir).mkdir(name.chopped(1)));
            else
                touch(dir + QLatin1Char('/') + name, "x");
        }
        QCOMPARE(DownloadNames::freeDestination(dir, wanted), dir + QLatin1Char('/') + expected);
    }

    void moveNeverReplacesAndReportsFailure() {
        const QString dir = makeTempDir(QStringLiteral("move"));
        const QString source = makeTempDir(QStringLiteral("source")) + QStringLiteral("/part");
        touch(dir + QStringLiteral("/a.txt"), "old");
        touch(source, "new");
        QString error;
        const auto moved = DownloadNames::moveToFreeName(source, dir, QStringLiteral("a.txt"), &error);
        QCOMPARE(moved, std::optional<QString>(dir + QStringLiteral("/a (1).txt")));
        QCOMPARE(readFile(dir + QStringLiteral("/a.txt")), QByteArray("old"));
        QCOMPARE(readFile(*moved), QByteArray("new"));
        // The source is gone now: moving it again fails and says why.
        QCOMPARE(DownloadNames::moveToFreeName(source, dir, QStringLiteral("a.txt"), &error), std::nullopt);
        QVERIFY(!error.isEmpty());
    }
};

ORLAVANT_TEST_GUILESS_MAIN(TestWebBridgeTexts)
#include "tst_webbridgetexts.moc"
