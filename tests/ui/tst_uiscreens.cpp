// The native screens on their own: login rules, file browser states and downloads, the folder
// sync screen's state table. Offscreen, against a scripted fake vault.
#include <QApplication>

#include "UiTestSupport.h"

#include "sync/FolderSyncManager.h"
#include "ui/Controls.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "ui/Icons.h"
#include "ui/LoginView.h"
#include "ui/MetricCard.h"
#include "ui/OrlavantTheme.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <atomic>

Q_DECLARE_METATYPE(QList<int>)

namespace {

const QStringList AllNames = {"Été à la plage.jpg", "tax return.pdf", "song.mp3"};

QList<SupabaseFileRecord> threeFiles() {
    return {
        fileRecord("a", AllNames[0], "image/jpeg", "Ada's MacBook", "mac", 2'400'000, QString("Pictures")),
        fileRecord("b", AllNames[1], "application/pdf", "Family Android", "android", 48'000, QString()),
        fileRecord("c", AllNames[2], "audio/mpeg", "Kitchen", "web", 999)};
}

QStringList rowNames(const QWidget* browser) {
    QStringList names;
    for (const QWidget* row : browser->findChildren<QWidget*>(QStringLiteral("fileRow")))
        names.append(labelText(row, "fileName"));
    return names;
}

bool showsText(const QWidget* parent, const QString& text) {
    const auto labels = parent->findChildren<QLabel*>();
    return std::any_of(labels.begin(), labels.end(),
                       [&](QLabel* label) { return label->text() == text && label->isVisibleTo(parent); });
}

struct LoginFixture : UiFixture {
    LoginFixture() { view.show(); }
    void fill(const QString& email, const QString& password) {
        QTest::keyClicks(child<QLineEdit>(&view, "emailField"), email);
        QTest::keyClicks(child<QLineEdit>(&view, "passwordField"), password);
    }
    GradientButton* submit() const { return child<GradientButton>(&view, "submitButton"); }
    // The error as the screen shows it (its row is visible exactly when there is one).
    QString shownError() const {
        const bool shown = child<QWidget>(&view, "errorRow")->isVisible();
        if (shown != view.errorMessage().has_value())
            return QStringLiteral("(row and message disagree)");
        return shown ? labelText(&view, "errorText") : QString();
    }
    LoginView view{client(), clock};
};

// A signed-in browser over threeFiles(); a refused signed URL sends downloads down the
// authenticated path each test scripts.
struct BrowserFixture : UiFixture {
    explicit BrowserFixture(int listDelayMs = 0)
        : UiFixture(session()) {
        serveFiles(threeFiles(), listDelayMs);
        server->onPrefix("POST", "/storage/v1/object/sign/",
                         [](const FakeServer::Request&) { return FakeServer::Reply::json(400, "{}"); });
    }
    QPushButton* downloadButton(int row) const {
        const auto rows = browser.findChildren<QWidget*>(QStringLiteral("fileRow"));
        return child<QPushButton>(rows.value(row), "downloadButton");
    }
    bool bannerShown(const char* name) const { return child<QWidget>(&browser, name)->isVisible(); }
    FileBrowserView browser{client(), dialogs};
    QSignalSpy loaded{&browser, &FileBrowserView::loadFinished};
    QSignalSpy finished{&browser, &FileBrowserView::downloadFinished};
};

} // namespace

class TestUiScreens : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // Sizes and case folding follow the locale; the expected texts are written for this one.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void everyShippedSymbolDraws() {
        // A drawing the SVG reader rejects comes out blank, silently: count what it paints.
        QVERIFY(Icons::symbolNames().size() >= 30);
        for (const QString& name : Icons::symbolNames()) {
            const QImage image = QIcon(Icons::shippedPath(name)).pixmap(24, 24).toImage();
            int painted = 0;
            for (int i = 0; i < image.width() * image.height(); ++i)
                painted += qAlpha(image.pixel(i % image.width(), i / image.width())) > 128 ? 1 : 0;
            QVERIFY2(painted > 20, qPrintable(name));
        }
    }

    void submitEnabledRules_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        auto row = [](const char* name, const char* email, const char* password) {
            QTest::newRow(name) << QString(email) << QString(password);
        };
        row("both empty", "", "");
        row("e-mail only", "ada@family.test", "");
        row("password only", "", "secret");
        row("both filled", "ada@family.test", "secret");
        row("blanks count as filled", " ", "   ");
    }
    void submitEnabledRules() {
        QFETCH(QString, email);
        QFETCH(QString, password);
        const bool enabled = !email.isEmpty() && !password.isEmpty();
        LoginFixture f;
        f.fill(email, password);
        QCOMPARE(f.submit()->isEnabled(), enabled);
        QCOMPARE(f.submit()->paintOpacity(), enabled ? 1.0 : 0.6);
        press(f.submit()); // a disabled button ignores the click: no request leaves
        QCOMPARE(f.view.isLoading(), enabled);
    }

    void loginErrorsAndModes() {
        LoginFixture f;
        f.server->on("POST", "/auth/v1/token",
                     FakeServer::Reply::json(400, R"({"error_description":"Invalid login credentials"})"));
        f.server->on("POST", "/auth/v1/signup",
                     FakeServer::Reply::json(422, R"({"msg":"User already registered"})"));
        f.fill(" ada@family.test ", "wrong");
        press(f.submit());
        QTRY_VERIFY(!f.view.isLoading());
        QCOMPARE(f.shownError(), QStringLiteral("Invalid login credentials"));
        QCOMPARE(f.view.email() + '|' + f.view.password(), QStringLiteral(" ada@family.test |wrong"));
        const auto sent = f.server->requests("POST", "/auth/v1/token"); // as typed: untrimmed
        QCOMPARE(QJsonDocument::fromJson(sent.value(0).body)["email"].toString(),
                 QStringLiteral(" ada@family.test "));

        // Submitting clears the error at once and shows progress until the answer.
        FakeServer::Reply slow = FakeServer::Reply::json(400, R"({"msg":"Email not confirmed"})");
        slow.delayMs = 300;
        f.server->on("POST", "/auth/v1/token", slow);
        press(f.submit());
        QCOMPARE(f.shownError(), QString());
        QVERIFY(f.view.isLoading() && f.submit()->isBusy() && !f.submit()->isEnabled());
        QTRY_VERIFY(!f.view.isLoading());
        QVERIFY(!f.submit()->isBusy());
        QCOMPARE(f.shownError(), QStringLiteral("Email not confirmed"));

        // Switching mode clears the error, keeps the fields, and decides which call is made.
        press(child<QPushButton>(&f.view, "modeToggle"));
        QCOMPARE(f.shownError(), QString());
        QCOMPARE(labelText(&f.view, "heading"), QStringLiteral("Create your Family Cloud Account"));
        QCOMPARE(f.view.email(), QStringLiteral(" ada@family.test "));
        press(f.submit());
        QTRY_VERIFY(!f.view.isLoading());
        QCOMPARE(f.server->requests("POST", "/auth/v1/signup").size(), 1);
        QCOMPARE(f.server->requests("POST", "/auth/v1/token").size(), 2);
        QCOMPARE(f.shownError(), QStringLiteral("User already registered"));
        f.view.toggleMode();
        QCOMPARE(f.shownError(), QString());
        QCOMPARE(labelText(&f.view, "heading"), QStringLiteral("Sign in to your Home Vault"));
    }

    void quickLogoClicks_data() {
        QTest::addColumn<QList<int>>("gapsMs"); // before each click; the first gap is ignored
        QTest::addColumn<int>("demoRequests");
        QTest::addColumn<qint64>("countAfter");
        auto row = [](const char* name, QList<int> gaps, int demoRequests, qint64 countAfter) {
            QTest::newRow(name) << gaps << demoRequests << countAfter;
        };
        row("four quick clicks", {0, 500, 500, 500}, 0, 4);
        row("five with gaps of exactly 3.0 s", {0, 3000, 3000, 3000, 3000}, 1, 0);
        row("3.1 s before the fifth restarts at one", {0, 100, 100, 100, 3100}, 0, 1);
        row("the click after a trigger counts one", {0, 100, 100, 100, 100, 100}, 1, 1);
    }
    void quickLogoClicks() {
        QFETCH(QList<int>, gapsMs);
        QFETCH(int, demoRequests);
        QFETCH(qint64, countAfter);
        LoginFixture f;
        f.server->on("POST", "/api/v1/auth/demo-login",
                     FakeServer::Reply::json(200, R"({"token":"demo","user":{"id":"user_demo_pellan"}})"));
        f.view.toggleMode(); // the typed fields and the mode play no part
        for (int gap : gapsMs) {
            f.clock.advanceMs(gap);
            QTest::mouseClick(child<QWidget>(&f.view, "logo"), Qt::LeftButton);
        }
        QCOMPARE(f.view.logoTapCount(), countAfter);
        QTRY_VERIFY(!f.view.isLoading());
        QCOMPARE(f.server->requests("POST", "/api/v1/auth/demo-login").size(), demoRequests);
        QCOMPARE(f.client().isAuthenticated(), demoRequests > 0);
    }

    void settingsPrefillDiscardsUnsavedEdits() {
        LoginFixture f;
        auto* url = child<QLineEdit>(&f.view, "customUrlField");
        auto* key = child<QLineEdit>(&f.view, "customAnonKeyField");
        press(child<QPushButton>(&f.view, "settingsButton"));
        QVERIFY(f.view.showSettings());
        url->setText(QStringLiteral("https://edited.example"));
        key->setText(QStringLiteral("edited-key"));
        child<QWidget>(&f.view, "settingsPopover")->hide(); // a click elsewhere closes it
        QVERIFY(!f.view.showSettings());
        f.view.toggleSettings();
        QVERIFY(f.view.showSettings());
        QCOMPARE(url->text() + ' ' + key->text(), f.server->baseUrl() + " test-anon-key");

        url->setText(QStringLiteral("http://127.0.0.1:9/"));
        key->clear();
        press(child<QPushButton>(&f.view, "saveConfigurationButton"));
        QVERIFY(!child<QWidget>(&f.view, "settingsPopover")->isVisible() && !f.view.showSettings());
        QCOMPARE(f.client().supabaseUrl() + ' ' + f.client().supabaseAnonKey(),
                 QStringLiteral("http://127.0.0.1:9 "));
    }

    void filterFiles_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        auto row = [](const char* query, const QStringList& expected) {
            QTest::newRow(*query ? query : "empty") << QString(query) << expected;
        };
        row("", AllNames);                    // all, in the order received
        row("TAX", {AllNames[1]});            // file name, ignoring case
        row("ÉTÉ", {AllNames[0]});            // accented capitals
        row("kitchen", {AllNames[2]});        // device name
        row("WEB", {AllNames[2]});            // device type
        row(" ", {AllNames[0], AllNames[1]}); // one blank is not trimmed
        row("holiday", {});
    }
    void filterFiles() {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        BrowserFixture f;
        f.browser.show();
        QTRY_COMPARE(f.loaded.size(), 1);
        QTest::keyClicks(child<QLineEdit>(&f.browser, "fileSearchField"), query);
        QCOMPARE(rowNames(&f.browser), expected);
        QCOMPARE(f.browser.mainArea(),
                 expected.isEmpty() ? FileBrowserView::MainArea::Empty : FileBrowserView::MainArea::List);
        child<QLineEdit>(&f.browser, "fileSearchField")->clear();
        QCOMPARE(rowNames(&f.browser), AllNames);
    }

    void lookupTables_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        auto row = [](const char* name, const char* input, const char* expected) {
            QTest::newRow(name) << QString(input) << QString(expected);
        };
        row("mime image", "image/png", "photo.fill");
        row("mime is case-sensitive", "IMAGE/PNG", "doc.fill");
        row("mime video", "video/mp4", "film.fill");
        row("mime audio", "audio/mpeg", "music.note");
        row("mime pdf", "application/pdf", "doc.richtext.fill");
        row("mime gzip contains zip", "application/gzip", "doc.zipper");
        row("mime tar", "application/x-tar", "doc.zipper");
        row("mime compress", "application/x-compress", "doc.zipper");
        row("mime first key wins", "image/x-pdf-preview", "photo.fill");
        row("mime byte stream", "application/octet-stream", "doc.fill");
        row("device Mac is lower-cased first", "Mac", "laptopcomputer");
        row("device ANDROID", "ANDROID", "candybarphone");
        row("device web", "web", "globe");
        row("device macOS is not mac", "macOS", "externaldrive");
        row("device padded is not equal", " mac", "externaldrive");
        row("size in bytes", "999", "999 bytes");
        row("size in decimal units", "2400000", "2.4 MB");
        row("size negative stays negative", "-2000", "-2.0 kB");
    }
    void lookupTables() {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        const QString table = QString::fromLatin1(QTest::currentDataTag()).section(' ', 0, 0);
        if (table == QLatin1String("size"))
            QCOMPARE(FileBrowserView::formatFileSize(input.toLongLong()), expected);
        else
            QCOMPARE(table == QLatin1String("mime") ? FileBrowserView::iconForMime(input)
                                                    : FileBrowserView::deviceIcon(input),
                     expected);
        QVERIFY2(table == QLatin1String("size") || Icons::isKnown(expected), qPrintable(expected));
    }

    void mainAreaStates() {
        BrowserFixture f(300);
        f.browser.show();
        auto* refresh = child<QPushButton>(&f.browser, "refreshButton");
        QCOMPARE(f.browser.mainArea(), FileBrowserView::MainArea::Loading);
        QVERIFY(showsText(&f.browser, QStringLiteral("Fetching cloud files from Supabase...")));
        QVERIFY(!refresh->isEnabled());

        // The list, with a folder line only where the folder is known and not empty.
        QTRY_COMPARE(f.loaded.size(), 1);
        QCOMPARE(f.browser.mainArea(), FileBrowserView::MainArea::List);
        QVERIFY(refresh->isEnabled());
        const auto rows = f.browser.findChildren<QWidget*>(QStringLiteral("fileRow"));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(labelText(rows[0], "folderPath"), QStringLiteral("Pictures"));
        QVERIFY(!child<QLabel>(rows[1], "folderPath") && !child<QLabel>(rows[2], "folderPath"));
        QCOMPARE(child<SymbolLabel>(rows[1], "fileTypeIcon")->symbol(), QStringLiteral("doc.richtext.fill"));
        QCOMPARE(child<SymbolLabel>(rows[1], "deviceIcon")->symbol(), QStringLiteral("candybarphone"));
        QCOMPARE(labelText(rows[0], "fileSize"), QStringLiteral("2.4 MB"));

        // A failed reload keeps the rows in place and shows the error; only Refresh is disabled.
        f.server->on("GET", "/rest/v1/files", FakeServer::Reply::text(500, "<html>down</html>"));
        press(refresh);
        QVERIFY(f.browser.mainArea() == FileBrowserView::MainArea::List && !refresh->isEnabled());
        QTRY_COMPARE(f.loaded.size(), 2);
        const QString error = f.browser.errorMessage().value_or(QString());
        QVERIFY2(error.startsWith("Failed to load files: ") && error.size() > 22, qPrintable(error));
        QVERIFY(f.bannerShown("errorBanner"));
        QCOMPARE(rowNames(&f.browser), AllNames);

        // Retry clears the banner at once; an empty vault shows the empty state.
        f.serveFiles({});
        press(child<QPushButton>(&f.browser, "retryButton"));
        QVERIFY(!f.browser.errorMessage() && !f.bannerShown("errorBanner"));
        QTRY_COMPARE(f.loaded.size(), 3);
        QCOMPARE(f.browser.mainArea(), FileBrowserView::MainArea::Empty);
        QVERIFY(showsText(&f.browser, QStringLiteral("No files found in your cloud vault")));
    }

    void olderListAnswerDoesNotReplaceNewer() {
        BrowserFixture f;
        auto calls = std::make_shared<std::atomic<int>>(0);
        f.server->on("GET", "/rest/v1/files", [calls](const FakeServer::Request&) {
            // The first request answers late with the older list.
            const bool first = calls->fetch_add(1) == 0;
            QJsonArray rows;
            for (const auto& file : threeFiles().mid(0, first ? 1 : 3))
                rows.append(file.toJsonObject());
            FakeServer::Reply reply = FakeServer::Reply::json(200, QJsonDocument(rows).toJson());
            reply.delayMs = first ? 600 : 0;
            return reply;
        });
        f.browser.show();
        QTRY_COMPARE(calls->load(), 1);
        f.browser.loadFiles(); // a second showing while the first is out
        QTRY_COMPARE(f.loaded.size(), 1);
        QVERIFY(f.browser.files().size() == 3 && f.browser.isLoading()); // the first is still out
        QTRY_COMPARE(f.loaded.size(), 2);
        QVERIFY(f.browser.files().size() == 3 && !f.browser.isLoading());
    }

    void download_data() {
        QTest::addColumn<QString>("success");
        QTest::addColumn<QString>("error");
        QTest::newRow("stored") << "Successfully downloaded 'tax return.pdf' to Taxes 2026.pdf" << QString();
        QTest::newRow("missing") << QString() << "Failed to download 'tax return.pdf'"; // vault answers 404
        QTest::newRow("throws") << QString() << "Download error: ";                     // connection refused
        QTest::newRow("cancelled") << QString() << QString();                           // save dialog
    }
    void download() {
        QFETCH(QString, success);
        QFETCH(QString, error);
        const QString outcome = QString::fromLatin1(QTest::currentDataTag());
        BrowserFixture f;
        f.server->onPrefix("GET", "/storage/v1/object/authenticated/", [outcome](const FakeServer::Request&) {
            return outcome == "stored" ? FakeServer::Reply::text(200, "%PDF tax bytes")
                                       : FakeServer::Reply::json(404, R"({"error":"not found"})");
        });
        f.browser.show();
        QTRY_COMPARE(f.loaded.size(), 1);
        const int listRequests = f.server->requestCount();
        const QString destination = makeTempDir(QStringLiteral("save")) + QStringLiteral("/Taxes 2026.pdf");
        f.dialogs.setNextSave(outcome == "cancelled" ? std::nullopt : std::optional(destination));
        if (outcome == "throws")
            f.client().configure(FakeServer::refusedBaseUrl(), QStringLiteral("test-anon-key"));
        press(f.downloadButton(1));

        QCOMPARE(f.dialogs.asked().value(0).save.message,
                 QStringLiteral("Choose where to save 'tax return.pdf'"));
        QCOMPARE(f.dialogs.asked().value(0).save.suggestedName, QStringLiteral("tax return.pdf"));
        if (outcome == "cancelled")
            QTest::qWait(50); // nothing may follow
        QTRY_COMPARE(f.finished.size(), outcome == "cancelled" ? 0 : 1);
        QCOMPARE(f.server->requestCount() > listRequests, outcome == "stored" || outcome == "missing");
        QVERIFY(!f.browser.isDownloading(QStringLiteral("b")) && f.downloadButton(1)->isEnabled());
        QCOMPARE(f.browser.downloadSuccessMessage().value_or(QString()), success);
        QCOMPARE(f.bannerShown("successBanner"), !success.isEmpty());
        QVERIFY2(f.browser.errorMessage().value_or("(none)").startsWith(error.isEmpty() ? "(none)" : error),
                 qPrintable(f.browser.errorMessage().value_or("(none)")));
        QCOMPARE(f.bannerShown("errorBanner"), !error.isEmpty());
        QFile saved(destination);
        QCOMPARE(saved.open(QIODevice::ReadOnly), outcome == "stored");
        if (saved.isOpen()) {
            QCOMPARE(saved.readAll(), QByteArray("%PDF tax bytes"));
            press(child<QPushButton>(&f.browser, "dismissSuccessButton"));
            QVERIFY(!f.browser.downloadSuccessMessage() && !f.bannerShown("successBanner"));
        }
    }

    void downloadMarksOnlyItsRowWhileRunning() {
        BrowserFixture f;
        f.server->onPrefix(
            "GET", "/storage/v1/object/authenticated/", [](const FakeServer::Request& request) {
                FakeServer::Reply reply = FakeServer::Reply::text(200, "bytes");
                reply.delayMs = request.path.contains("/a/") ? 700 : 100; // the first file takes longer
                return reply;
            });
        f.browser.show();
        QTRY_COMPARE(f.loaded.size(), 1);
        const QString folder = makeTempDir(QStringLiteral("save"));
        auto marked = [&](int row) {
            return !f.downloadButton(row)->isEnabled() &&
                   f.downloadButton(row)->findChild<Spinner*>()->isVisible();
        };
        f.dialogs.setNextSave(folder + QStringLiteral("/one.jpg"));
        press(f.downloadButton(0));
        QVERIFY(marked(0) && !marked(1) && f.downloadButton(1)->isEnabled());
        f.dialogs.setNextSave(folder + QStringLiteral("/two.pdf"));
        press(f.downloadButton(1));
        QVERIFY(marked(1));
        // The second ends first: the first row stays marked until its own download ends.
        QTRY_COMPARE(f.finished.size(), 1);
        QCOMPARE(f.finished.first().first().toString(), QStringLiteral("b"));
        QVERIFY(marked(0) && f.downloadButton(1)->isEnabled());
        QTRY_COMPARE(f.finished.size(), 2);
        QVERIFY(f.downloadButton(0)->isEnabled());
        QCOMPARE(f.browser.downloadSuccessMessage().value_or(QString()),
                 QStringLiteral("Successfully downloaded 'Été à la plage.jpg' to one.jpg"));
    }

    void folderSyncStates_data() {
        QTest::addColumn<QString>("pill");
        QTest::addColumn<QColor>("pillColor");
        QTest::addColumn<bool>("hasFolder");
        QTest::addColumn<bool>("started");
        QTest::addColumn<bool>("scanning");
        QTest::newRow("no folder") << "Paused" << OrlavantTheme::orange << false << false << false;
        QTest::newRow("folder chosen") << "Paused" << OrlavantTheme::orange << true << false << false;
        QTest::newRow("active") << "Active & Watching" << OrlavantTheme::green << true << true << false;
        QTest::newRow("scanning") << "Syncing..." << OrlavantTheme::purple << true << true << true;
    }
    void folderSyncStates() {
        QFETCH(QString, pill);
        QFETCH(QColor, pillColor);
        QFETCH(bool, hasFolder);
        QFETCH(bool, started);
        QFETCH(bool, scanning);
        UiFixture f(UiFixture::session());
        FolderSyncManager& engine = f.folderSync();
        FolderSyncView view(engine, f.client());
        view.show();
        const QString folder = makeTempDir(QStringLiteral("Family Photos"));
        f.dialogs.setNextOpen(QStringList{folder});
        if (hasFolder)
            press(child<QAbstractButton>(&view, "changeFolderButton"));
        QTRY_COMPARE(engine.watchedFolderPath().has_value(), hasFolder);
        QSignalSpy passes(&engine, &FolderSyncManager::passFinished);
        if (started)
            press(child<GradientButton>(&view, "startSyncButton"));
        QTRY_COMPARE(passes.size(), started ? 1 : 0);
        if (scanning) {
            QFile file(folder + QStringLiteral("/beach.jpg"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("sand") == 4);
            file.close();
            FakeServer::Reply held = FakeServer::Reply::json(500, "{}");
            held.hang = true; // until the fixture stops the server
            f.server->on("POST", "/api/files/pre-upload", held);
            engine.triggerFolderScan();
            QTRY_VERIFY(engine.isSyncing());
        }

        QCOMPARE(labelText(&view, "statusPillText"), pill);
        QCOMPARE(view.statusIndicatorColor(), pillColor);
        QCOMPARE(child<GradientButton>(&view, "startSyncButton")->isEnabled(), hasFolder && !started);
        QCOMPARE(child<GradientButton>(&view, "stopSyncButton")->isEnabled(), started);
        QCOMPARE(child<QWidget>(&view, "syncSpinner")->isVisible(), scanning);
        QCOMPARE(child<QWidget>(&view, "infoIcon")->isVisible(), !scanning);
        QCOMPARE(labelText(&view, "syncStatusText"), engine.syncStatusMessage());
        QCOMPARE(child<QWidget>(&view, "lastScanText")->isVisible(), started);
        QVERIFY(!started || labelText(&view, "lastScanText").startsWith(QStringLiteral("Last scan: ")));
        QCOMPARE(labelText(&view, "folderPath"),
                 engine.watchedFolderPath().value_or("No directory selected yet"));
        QCOMPARE(child<SymbolLabel>(&view, "folderIcon")->symbol(),
                 hasFolder ? QStringLiteral("folder.fill") : QStringLiteral("folder.badge.questionmark"));
        const auto cards = view.findChildren<MetricCard*>();
        QCOMPARE(cards.value(0)->value(), QString::number(engine.totalSyncedCount()));
        QCOMPARE(cards.value(1)->value(), QString::number(engine.deduplicatedCount()));

        // Stop pauses the engine: while a pass is still running the pill keeps "Syncing...".
        if (started) {
            press(child<GradientButton>(&view, "stopSyncButton"));
            QVERIFY(engine.isSyncStopped() && !child<GradientButton>(&view, "stopSyncButton")->isEnabled());
            QCOMPARE(labelText(&view, "statusPillText"), QString(scanning ? "Syncing..." : "Paused"));
        }
    }
};

ORLAVANT_TEST_MAIN(TestUiScreens)
#include "tst_uiscreens.moc"
