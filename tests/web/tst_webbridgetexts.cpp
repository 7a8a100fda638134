// The texts and names the web host makes without a browser: the scripts it evaluates in the
// page, download addresses, the token's origin rule and the names files get in Downloads.
#include "support/TestMain.h"
#include "web/BridgeScripts.h"
#include "web/DownloadNames.h"

#include <QDir>
#include <QFile>

static void row(const char* name, const QString& actual, const QString& expected) {
    QTest::newRow(name) << actual << expected;
}

static const QString Base = QStringLiteral("http://127.0.0.1:8000");

class TestWebBridgeTexts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each row is what the host made and what it must be.
    void texts_data() {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        using namespace BridgeScripts;
        using namespace DownloadNames;
        // A synced file's hostile name goes through the real page in the browser test.
        const QString call = QStringLiteral("if (window.updateMacSyncStatus) window.updateMacSyncStatus(");
        row("status: hostile, paused", statusPush("/o'b", false, -3, "x');window.pwned=1;('\nz", true),
            call + "'/o\\'b', false, -3, 'x\\');window.pwned=1;(\\'\\nz', true);");

        const auto resolve = [](const char* name, const QString& base, const QString& in,
                                const QString& url) {
            const auto resolved = resolveAddress(base, in);
            row(name, resolved ? resolved->toString() : QStringLiteral("refused"), url);
        };
        const QString seven = QStringLiteral("/api/files/7/download");
        resolve("address: base with trailing slashes", Base + "//", seven, Base + seven);
        resolve("address: protocol-relative stays", Base, "//evil.example/x", Base + "//evil.example/x");
        resolve("address: javascript is a path", Base, "javascript:alert(1)", Base + "/javascript:alert(1)");
        resolve("address: empty base", "", seven, "refused");
        resolve("address: space in host", "http://bad host", "x", "refused");

        // The bearer token goes only where this says "same" (another port, and a server's "../" name,
        // are driven through the browser test).
        const auto origin = [](const char* name, const QString& a, const QString& b, const char* same) {
            row(name, sameOrigin(QUrl(a), QUrl(b)) ? "same" : "other", same);
        };
        origin("origin: host case", "http://Vault.Example/x", "http://vault.example", "same");
        origin("origin: other scheme", "https://127.0.0.1:8000/x", Base, "other");
        origin("origin: suffix host", "http://vault.example.evil.example/x", "http://vault.example", "other");
        origin("origin: userinfo trick", "http://vault.example@evil.example/x", "http://vault.example",
               "other");
        origin("origin: unusable base", Base + "/x", "", "other");

        row("name: dots inside kept", safeFileName("v1..2.tar.gz"), "v1..2.tar.gz");
        row("name: windows traversal", safeFileName("..\\..\\boot.ini"), "boot.ini");
        row("name: dot-dot alone", safeFileName(".."), "orlavant_download");
        row("name: control characters",
            safeFileName(QStringLiteral("a\0b\nc\x1f"
                                        "d\x7f\x85.txt")),
            "abcd.txt");
        row("name: empty", safeFileName(""), "orlavant_download");
        // 300 two-byte characters: cut to 200 bytes, the extension kept.
        row("name: too long", safeFileName(QString(300, QChar(0xe9)) + ".pdf"),
            QString(98, QChar(0xe9)) + ".pdf");

        row("disposition: extended wins",
            contentDispositionFileName("attachment; filename=\"a.txt\"; filename*=UTF-8''%C3%A9t%C3%A9.txt"),
            QString::fromUtf16(u"\u00e9t\u00e9.txt"));
        row("disposition: escaped quote",
            contentDispositionFileName("attachment; filename=\"say \\\"hi\\\".txt\""), "say \"hi\".txt");
        row("disposition: none", contentDispositionFileName("inline"), "");

        const QString dir = makeTempDir(QStringLiteral("free"));
        for (const char* name : {"report.pdf", "report (2).pdf", "notes", "photos.tar.gz"})
            QVERIFY(QFile(dir + QLatin1Char('/') + name).open(QIODevice::WriteOnly));
        QDir(dir).mkdir(QStringLiteral("data"));
        const auto numbered = [&dir](const char* name, const QString& wanted, const QString& freeName) {
            row(name, freeDestination(dir, wanted), dir + QLatin1Char('/') + freeName);
        };
        numbered("free name: gap is reused", "report.pdf", "report (1).pdf");
        numbered("free name: last extension only", "photos.tar.gz", "photos.tar (1).gz");
        numbered("free name: a folder takes the name too", "data", "data (1)");
    }
    void texts() {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }
};

ORLAVANT_TEST_GUILESS_MAIN(TestWebBridgeTexts)
#include "tst_webbridgetexts.moc"
