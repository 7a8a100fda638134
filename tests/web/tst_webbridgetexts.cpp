// The texts and names the web host makes without a browser: the scripts it evaluates in the
// page, download addresses, the token's origin rule and the names files get in Downloads.
#include "support/TestMain.h"
#include "web/BridgeScripts.h"
#include "web/DownloadNames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

class TestWebBridgeTexts : public QObject {
    Q_OBJECT

private:
    static void touch(const QString& path, const QByteArray& content = "x") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

private Q_SLOTS:
    void escapeJsString_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("escaped");
        QTest::newRow("plain") << "Sync Active"
                               << "Sync Active";
        QTest::newRow("apostrophe") << "it's.txt"
                                    << "it\\'s.txt";
        QTest::newRow("double quote") << "say \"hi\""
                                      << "say \\\"hi\\\"";
        QTest::newRow("backslash before quote") << "a\\'b"
                                                << "a\\\\\\'b";
        QTest::newRow("breakout attempt") << "');alert(1);//"
                                          << "\\');alert(1);//";
        QTest::newRow("line feed and return") << "one\ntwo\r"
                                              << "one\\ntwo\\r";
        QTest::newRow("line separators") << QString::fromUtf16(u"a\u2028b\u2029c") << "a\\u2028b\\u2029c";
        QTest::newRow("closing script tag") << "</script><script>x()</script>"
                                            << "<\\/script><script>x()<\\/script>";
        QTest::newRow("slash alone stays") << "/home/me/Photos"
                                           << "/home/me/Photos";
        QTest::newRow("non-latin stays") << QString::fromUtf16(u"Fotos \u00e9t\u00e9 \U0001F4F7")
                                         << QString::fromUtf16(u"Fotos \u00e9t\u00e9 \U0001F4F7");
        QTest::newRow("empty") << ""
                               << "";
    }
    void escapeJsString() {
        QFETCH(QString, text);
        QFETCH(QString, escaped);
        QCOMPARE(BridgeScripts::escapeJsString(text), escaped);
    }

    void statusPush_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("watching");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("stopped");
        QTest::addColumn<QString>("script");
        QTest::newRow("watching") << "/home/me/Photos" << true << 12 << "Sync Active" << false
                                  << "if (window.updateMacSyncStatus) "
                                     "window.updateMacSyncStatus('/home/me/Photos', true, 12, 'Sync Active', "
                                     "false);";
        QTest::newRow("no folder, paused")
            << "" << false << 0 << "Sync Paused by User" << true
            << "if (window.updateMacSyncStatus) window.updateMacSyncStatus('', false, 0, 'Sync Paused by "
               "User', true);";
        QTest::newRow("negative count")
            << "/f" << true << -3 << "m" << false
            << "if (window.updateMacSyncStatus) window.updateMacSyncStatus('/f', true, -3, "
               "'m', false);";
        QTest::newRow("hostile message and path")
            << "/home/o'brien" << true << 1 << "x');window.pwned=1;('" << false
            << "if (window.updateMacSyncStatus) window.updateMacSyncStatus('/home/o\\'brien', true, 1, "
               "'x\\');window.pwned=1;(\\'', false);";
        QTest::newRow("line break in message")
            << "/f" << false << 2 << "Sync notice: bad\nthing" << false
            << "if (window.updateMacSyncStatus) window.updateMacSyncStatus('/f', false, 2, 'Sync notice: "
               "bad\\nthing', "
               "false);";
    }
    void statusPush() {
        QFETCH(QString, path);
        QFETCH(bool, watching);
        QFETCH(int, count);
        QFETCH(QString, message);
        QFETCH(bool, stopped);
        QFETCH(QString, script);
        QCOMPARE(BridgeScripts::statusPush(path, watching, count, message, stopped), script);
    }

    void fileSynced_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("flag");
        QTest::addColumn<QString>("script");
        QTest::newRow("ordinary")
            << "photo.jpg" << false
            << "if (window.onMacFileSynced) window.onMacFileSynced('photo.jpg', false);";
        QTest::newRow("apostrophe")
            << "it's.txt" << true
            << "if (window.onMacFileSynced) window.onMacFileSynced('it\\'s.txt', true);";
        QTest::newRow("script tag")
            << "</script>.png" << false
            << "if (window.onMacFileSynced) window.onMacFileSynced('<\\/script>.png', false);";
        QTest::newRow("backslash at end")
            << "odd\\" << true << "if (window.onMacFileSynced) window.onMacFileSynced('odd\\\\', true);";
    }
    void fileSynced() {
        QFETCH(QString, name);
        QFETCH(bool, flag);
        QFETCH(QString, script);
        QCOMPARE(BridgeScripts::fileSynced(name, flag), script);
    }

    void loginTokenScriptShape() {
        const QString script = BridgeScripts::loginToken();
        QCOMPARE(script.size(), 504);
        const QStringList lines = script.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 11);
        QCOMPARE(lines.first(), QStringLiteral("(function() {"));
        QCOMPARE(lines.last(), QStringLiteral("})();"));
        QCOMPARE(lines.at(2), QStringLiteral("        var t = localStorage.getItem('orlavant_token');"));
        QVERIFY(!script.contains(QLatin1Char('\t')));
    }

    void resolveAddress_data() {
        QTest::addColumn<QString>("apiBaseUrl");
        QTest::addColumn<QString>("urlStr");
        QTest::addColumn<QString>("expected"); // empty: refused
        QTest::newRow("leading slash") << "http://127.0.0.1:8000"
                                       << "/api/files/7/download"
                                       << "http://127.0.0.1:8000/api/files/7/download";
        QTest::newRow("no leading slash") << "http://127.0.0.1:8000"
                                          << "api/files/7/download"
                                          << "http://127.0.0.1:8000/api/files/7/download";
        QTest::newRow("base with trailing slashes") << "http://127.0.0.1:8000//"
                                                    << "/api/files/7/download"
                                                    << "http://127.0.0.1:8000/api/files/7/download";
        QTest::newRow("base with a path") << "https://vault.example/v1/"
                                          << "files/1"
                                          << "https://vault.example/v1/files/1";
        QTest::newRow("absolute http kept") << "http://127.0.0.1:8000"
                                            << "http://other.example/x.pdf"
                                            << "http://other.example/x.pdf";
        QTest::newRow("absolute https kept") << "http://127.0.0.1:8000"
                                             << "https://cdn.example/a?sig=1"
                                             << "https://cdn.example/a?sig=1";
        QTest::newRow("protocol-relative stays on the base host") << "http://127.0.0.1:8000"
                                                                  << "//evil.example/x"
                                                                  << "http://127.0.0.1:8000//evil.example/x";
        QTest::newRow("javascript is not an address") << "http://127.0.0.1:8000"
                                                      << "javascript:alert(1)"
                                                      << "http://127.0.0.1:8000/javascript:alert(1)";
        QTest::newRow("empty base") << ""
                                    << "/api/files/1"
                                    << "";
        QTest::newRow("file base refused") << "file:///etc"
                                           << "passwd"
                                           << "";
        QTest::newRow("space in path refused") << "http://127.0.0.1:8000"
                                               << "/files/my file.pdf"
                                               << "";
        QTest::newRow("space in host refused") << "http://bad host"
                                               << "x"
                                               << "";
    }
    void resolveAddress() {
        QFETCH(QString, apiBaseUrl);
        QFETCH(QString, urlStr);
        QFETCH(QString, expected);
        const auto url = DownloadNames::resolveAddress(apiBaseUrl, urlStr);
        if (expected.isEmpty()) {
            QVERIFY2(!url, qPrintable(url ? url->toString() : QString()));
        } else {
            QVERIFY(url);
            QCOMPARE(url->toString(), expected);
        }
    }

    void sameOrigin_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("same") << "http://127.0.0.1:8000/api/x"
                              << "http://127.0.0.1:8000" << true;
        QTest::newRow("host case") << "http://Vault.Example/x"
                                   << "http://vault.example" << true;
        QTest::newRow("default port spelled out") << "https://vault.example:443/x"
                                                  << "https://vault.example" << true;
        QTest::newRow("other port") << "http://127.0.0.1:8001/x"
                                    << "http://127.0.0.1:8000" << false;
        QTest::newRow("other scheme") << "https://127.0.0.1:8000/x"
                                      << "http://127.0.0.1:8000" << false;
        QTest::newRow("other host") << "http://evil.example:8000/x"
                                    << "http://127.0.0.1:8000" << false;
        QTest::newRow("suffix host") << "http://vault.example.evil.example/x"
                                     << "http://vault.example" << false;
        QTest::newRow("userinfo trick") << "http://vault.example@evil.example/x"
                                        << "http://vault.example" << false;
        QTest::newRow("unusable base") << "http://127.0.0.1:8000/x"
                                       << "" << false;
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
        QTest::newRow("plain") << "report.pdf"
                               << "report.pdf";
        QTest::newRow("apostrophe and spaces kept") << "it's my file.txt"
                                                    << "it's my file.txt";
        QTest::newRow("parent traversal") << "../../etc/passwd"
                                          << "passwd";
        QTest::newRow("absolute path") << "/etc/cron.d/job"
                                       << "job";
        QTest::newRow("windows traversal") << "..\\..\\boot.ini"
                                           << "boot.ini";
        QTest::newRow("dot-dot alone") << ".."
                                       << "orlavant_download";
        QTest::newRow("trailing slash") << "photos/"
                                        << "orlavant_download";
        QTest::newRow("hidden file") << ".bashrc"
                                     << "bashrc";
        QTest::newRow("dots and blanks") << ". .. .profile"
                                         << "profile";
        QTest::newRow("control characters")
            << (QStringLiteral("a") + QChar(0) + QStringLiteral("b\nc") + QChar(0x1f) + QStringLiteral("d") +
                QChar(0x7f) + QChar(0x85) + QStringLiteral(".txt"))
            << "abcd.txt";
        QTest::newRow("empty") << ""
                               << "orlavant_download";
        QTest::newRow("blank") << "   "
                               << "orlavant_download";
        QTest::newRow("dots inside kept") << "v1..2.tar.gz"
                                          << "v1..2.tar.gz";
    }
    void safeFileName() {
        QFETCH(QString, wanted);
        QFETCH(QString, safe);
        QCOMPARE(DownloadNames::safeFileName(wanted), safe);
    }

    void safeFileNameLimitsLength() {
        const QString longName = QString(300, QChar(0x00e9)) + QStringLiteral(".pdf");
        const QString safe = DownloadNames::safeFileName(longName);
        QVERIFY(safe.toUtf8().size() <= 200);
        QVERIFY(safe.endsWith(QLatin1String(".pdf")));
    }

    void contentDisposition_data() {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("name");
        QTest::newRow("quoted") << QByteArray("attachment; filename=\"report.pdf\"") << "report.pdf";
        QTest::newRow("token") << QByteArray("attachment; filename=report.pdf") << "report.pdf";
        QTest::newRow("extended wins")
            << QByteArray("attachment; filename=\"a.txt\"; filename*=UTF-8''%C3%A9t%C3%A9.txt")
            << QString::fromUtf16(u"\u00e9t\u00e9.txt");
        QTest::newRow("escaped quote")
            << QByteArray(R"(attachment; filename="say \"hi\".txt")") << "say \"hi\".txt";
        QTest::newRow("traversal passes through") << QByteArray("attachment; filename=\"../x\"") << "../x";
        QTest::newRow("none") << QByteArray("inline") << "";
        QTest::newRow("empty") << QByteArray() << "";
    }
    void contentDisposition() {
        QFETCH(QByteArray, header);
        QFETCH(QString, name);
        QCOMPARE(DownloadNames::contentDispositionFileName(header), name);
    }

    void freeDestination_data() {
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << "report.pdf" << QStringList{} << "report.pdf";
        QTest::newRow("taken once") << "report.pdf" << QStringList{"report.pdf"} << "report (1).pdf";
        QTest::newRow("taken twice") << "report.pdf" << QStringList{"report.pdf", "report (1).pdf"}
                                     << "report (2).pdf";
        QTest::newRow("gap is reused")
            << "report.pdf" << QStringList{"report.pdf", "report (2).pdf"} << "report (1).pdf";
        QTest::newRow("no extension") << "notes" << QStringList{"notes"} << "notes (1)";
        QTest::newRow("last extension only")
            << "photos.tar.gz" << QStringList{"photos.tar.gz"} << "photos.tar (1).gz";
        QTest::newRow("fallback name")
            << "orlavant_download" << QStringList{"orlavant_download"} << "orlavant_download (1)";
        QTest::newRow("a folder takes the name too") << "data" << QStringList{"data/"} << "data (1)";
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
                touch(dir + QLatin1Char('/') + name);
        }
        QCOMPARE(DownloadNames::freeDestination(dir, wanted), dir + QLatin1Char('/') + expected);
    }

    void moveNeverReplaces() {
        const QString dir = makeTempDir(QStringLiteral("move"));
        const QString source = makeTempDir(QStringLiteral("source")) + QStringLiteral("/part");
        touch(dir + QStringLiteral("/a.txt"), "old");
        touch(source, "new");
        QString error;
        const auto moved = DownloadNames::moveToFreeName(source, dir, QStringLiteral("a.txt"), &error);
        QVERIFY2(moved, qPrintable(error));
        QCOMPARE(*moved, dir + QStringLiteral("/a (1).txt"));
        QFile old(dir + QStringLiteral("/a.txt"));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old"));
        QVERIFY(!QFile::exists(source));
    }

    void moveReportsFailure() {
        const QString dir = makeTempDir(QStringLiteral("move"));
        QString error;
        const auto moved = DownloadNames::moveToFreeName(dir + QStringLiteral("/missing"), dir,
                                                         QStringLiteral("a.txt"), &error);
        QVERIFY(!moved);
        QVERIFY(!error.isEmpty());
    }

    void downloadsDirectoryIsInsideTheTestHome() {
        const auto dir = DownloadNames::downloadsDirectory();
        QVERIFY(dir);
        QVERIFY2(dir->startsWith(QDir::homePath()), qPrintable(*dir));
        QVERIFY(QFileInfo(*dir).isDir());
    }
};

ORLAVANT_TEST_GUILESS_MAIN(TestWebBridgeTexts)
#include "tst_webbridgetexts.moc"
