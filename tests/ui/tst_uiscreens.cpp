// The native screens, offscreen against a scripted fake vault: login rules, the file browser's
// states and downloads, the folder sync screen's state table, and the main window around them.
#include <QApplication>

#include "UiTestSupport.h"

#include "app/AppState.h"
#include "app/gui/MainWindow.h"
#include "ui/Controls.h"
#include "ui/DashboardView.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "ui/Icons.h"
#include "ui/LoginView.h"
#include "ui/OrlavantTheme.h"
#include "web/WebViewBox.h"

#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <atomic>

namespace {

const QByteArray DemoReply = R"({"token":"demo","user":{"id":"user_demo_pellan"}})";

using Area = FileBrowserView::MainArea;
const QStringList AllNames = {"Été à la plage.jpg", "tax return.pdf", "song.mp3"};

QList<SupabaseFileRecord> threeFiles() {
    return {
        fileRecord("a", AllNames[0], "image/jpeg", "Ada's MacBook", "mac", 2'400'000, QString("Pictures")),
        fileRecord("b", AllNames[1], "application/pdf", "Family Android", "android", 48'000, QString()),
        fileRecord("c", AllNames[2], "audio/mpeg", "Kitchen", "web", 999)};
}

void fillLogin(QWidget* login, const QString& email, const QString& password) {
    QTest::keyClicks(child<QLineEdit>(login, "emailField"), email);
    QTest::keyClicks(child<QLineEdit>(login, "passwordField"), password);
}

bool shown(const QWidget* parent, const char* name) {
    return child(parent, name)->isVisible();
}

struct LoginFixture : UiFixture {
    LoginFixture() { view.show(); }
    GradientButton* submit() const { return child<GradientButton>(&view, "submitButton"); }
    // The error as the screen shows it; its row is visible exactly when there is one.
    QString shownError() const {
        if (shown(&view, "errorRow") != view.errorMessage().has_value())
            return QStringLiteral("(row and message disagree)");
        return view.errorMessage() ? labelText(&view, "errorText") : QString();
    }
    LoginView view{client(), clock};
};

// A signed-in browser over threeFiles(); a refused signed URL sends downloads down the
// authenticated path each test scripts.
struct BrowserFixture : UiFixture {
    BrowserFixture()
        : UiFixture(session()) {
        serveFiles(threeFiles());
        server->onPrefix("POST", "/storage/v1/object/sign/",
                         [](const FakeServer::Request&) { return FakeServer::Reply::json(400, "{}"); });
    }
    QList<QWidget*> rows() const { return browser.findChildren<QWidget*>(QStringLiteral("fileRow")); }
    QStringList rowNames() const {
        QStringList names;
        for (const QWidget* row : rows())
            names.append(labelText(row, "fileName"));
        return names;
    }
    bool showsText(const QString& text) const {
        const auto labels = browser.findChildren<QLabel*>();
        return std::any_of(labels.begin(), labels.end(),
                           [&](QLabel* l) { return l->text() == text && l->isVisible(); });
    }
    FileBrowserView browser{client(), dialogs};
    QSignalSpy loaded{&browser, &FileBrowserView::loadFinished};
    QSignalSpy finished{&browser, &FileBrowserView::downloadFinished};
};

struct WindowFixture : UiFixture {
    WindowFixture(const std::optional<SupabaseSession>& session)
        : UiFixture(session) {
        window.show();
    }
    template <typename T> T* screen() const { return qobject_cast<T*>(window.currentScreen()); }
    void go(const QString& tag) { press(window.findChild<QAbstractButton*>("nav_" + tag)); }
    // "tab:active sidebar entries screen", naming the screen once it is the only one left.
    QString state() const {
        QStringList active;
        for (const QAbstractButton* entry :
             window.findChildren<QAbstractButton*>(QRegularExpression("^nav_")))
            active.append(entry->property("active").toBool() ? entry->objectName().mid(4) : QString());
        const auto screens = window.findChildren<DashboardView*>().size() +
                             window.findChildren<FileBrowserView*>().size() +
                             window.findChildren<FolderSyncView*>().size();
        const QString shown = screens == 1 && window.currentScreen()
                                  ? window.currentScreen()->metaObject()->className()
                                  : QStringLiteral("%1 screens").arg(screens);
        return window.activeTab() + ':' + active.join(QString()) + ' ' + shown;
    }
    WebViewBox box;
    AppState appState{folderSync(), client(), services->http};
    MainWindow window{appState, box, client(), folderSync(), dialogs, clock};
};

} // namespace

class TestUiScreens : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // Sizes and case folding follow the locale; the expected texts are written for this one.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void submitEnabledRules_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::newRow("both empty") << QString() << QString();
        QTest::newRow("e-mail only") << QStringLiteral("ada@family.test") << QString();
        QTest::newRow("password only") << QString() << QStringLiteral("secret");
        QTest::newRow("both filled") << QStringLiteral("ada@family.test") << QStringLiteral("secret");
        QTest::newRow("blanks count as filled") << QStringLiteral(" ") << QStringLiteral("   ");
    }
    void submitEnabledRules() {
        QFETCH(QString, email);
        QFETCH(QString, password);
        const bool enabled = !email.isEmpty() && !password.isEmpty();
        LoginFixture f;
        fillLogin(&f.view, email, password);
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
        fillLogin(&f.view, " ada@family.test ", "wrong");
        press(f.submit());
        QVERIFY(f.view.isLoading() && f.submit()->isBusy() && !f.submit()->isEnabled());
        QTRY_COMPARE(f.shownError(), QStringLiteral("Invalid login credentials"));
        QCOMPARE(f.view.email() + '|' + f.view.password(), QStringLiteral(" ada@family.test |wrong"));
        const auto sent = f.server->requests("POST", "/auth/v1/token"); // as typed: untrimmed
        QCOMPARE(QJsonDocument::fromJson(sent.value(0).body)["email"].toString(), f.view.email());

        // Switching mode clears the error, keeps the fields, and decides which call is made.
        press(child<QAbstractButton>(&f.view, "modeToggle"));
        QCOMPARE(f.shownError(), QString());
        QVERIFY(f.view.isSignUp() && f.view.email() == QStringLiteral(" ada@family.test "));
        press(f.submit());
        QTRY_COMPARE(f.shownError(), QStringLiteral("User already registered"));
        QCOMPARE(f.server->requests("POST", "/auth/v1/token").size(), 1);
    }

    void quickLogoClicks_data() {
        QTest::addColumn<QList<int>>("gapsMs"); // before each click; the first gap is ignored
        QTest::addColumn<int>("demoRequests");
        QTest::addColumn<int>("countAfter");
        QTest::newRow("four quick clicks") << QList<int>{0, 500, 500, 500} << 0 << 4;
        QTest::newRow("five with gaps of exactly 3.0 s") << QList<int>{0, 3000, 3000, 3000, 3000} << 1 << 0;
        QTest::newRow("a 3.1 s gap restarts at one") << QList<int>{0, 100, 100, 100, 3100} << 0 << 1;
        QTest::newRow("after a trigger, one") << QList<int>{0, 100, 100, 100, 100, 100} << 1 << 1;
    }
    void quickLogoClicks() {
        QFETCH(QList<int>, gapsMs);
        QFETCH(int, demoRequests);
        QFETCH(int, countAfter);
        LoginFixture f;
        f.server->on("POST", "/api/v1/auth/demo-login", FakeServer::Reply::json(200, DemoReply));
        f.view.toggleMode(); // the typed fields and the mode play no part
        for (int gap : gapsMs) {
            f.clock.advanceMs(gap);
            QTest::mouseClick(child(&f.view, "logo"), Qt::LeftButton);
        }
        QCOMPARE(f.view.logoTapCount(), countAfter);
        QTRY_VERIFY(!f.view.isLoading());
        QCOMPARE(f.server->requests("POST", "/api/v1/auth/demo-login").size(), demoRequests);
    }

    void settingsPrefillDiscardsUnsavedEdits() {
        LoginFixture f;
        auto* url = child<QLineEdit>(&f.view, "customUrlField");
        auto* key = child<QLineEdit>(&f.view, "customAnonKeyField");
        press(child<QAbstractButton>(&f.view, "settingsButton"));
        url->setText(QStringLiteral("https://edited.example"));
        key->setText(QStringLiteral("edited-key"));
        child(&f.view, "settingsPopover")->hide(); // a click elsewhere closes it
        QVERIFY(!f.view.showSettings());
        f.view.toggleSettings();
        QCOMPARE(url->text() + ' ' + key->text(), f.server->baseUrl() + " test-anon-key");
    }

    void filterFiles_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty: all, in the order received") << QString() << AllNames;
        QTest::newRow("file name, ignoring case") << QStringLiteral("TAX") << QStringList{AllNames[1]};
        QTest::newRow("accented capitals") << QStringLiteral("ÉTÉ") << QStringList{AllNames[0]};
        QTest::newRow("device name") << QStringLiteral("kitchen") << QStringList{AllNames[2]};
        QTest::newRow("device type") << QStringLiteral("WEB") << QStringList{AllNames[2]};
        QTest::newRow("one blank is not trimmed") << QStringLiteral(" ") << AllNames.mid(0, 2);
        QTest::newRow("no match") << QStringLiteral("holiday") << QStringList();
    }
    void filterFiles() {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        BrowserFixture f;
        f.browser.show();
        QTRY_COMPARE(f.loaded.size(), 1);
        QTest::keyClicks(child<QLineEdit>(&f.browser, "fileSearchField"), query);
        QCOMPARE(f.rowNames(), expected);
        QCOMPARE(f.browser.mainArea(), expected.isEmpty() ? Area::Empty : Area::List);
    }

    void lookupTables_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("mime first key wins") << QString("image/x-pdf-preview") << QString("photo.fill");
        QTest::newRow("mime pdf") << QString("application/pdf") << QString("doc.richtext.fill");
        QTest::newRow("mime gzip contains zip") << QString("application/gzip") << QString("doc.zipper");
        QTest::newRow("mime tar") << QString("application/x-tar") << QString("doc.zipper");
        QTest::newRow("mime compress") << QString("application/x-compress") << QString("doc.zipper");
        QTest::newRow("mime is case-sensitive") << QString("IMAGE/PNG") << QString("doc.fill");
        QTest::newRow("device Mac is lower-cased first") << QString("Mac") << QString("laptopcomputer");
        QTest::newRow("device ANDROID") << QString("ANDROID") << QString("candybarphone");
        QTest::newRow("device web") << QString("web") << QString("globe");
        QTest::newRow("device macOS is not mac") << QString("macOS") << QString("externaldrive");
        QTest::newRow("size in decimal units") << QString("2400000") << QString("2.4 MB");
        QTest::newRow("size negative stays negative") << QString("-2000") << QString("-2.0 kB");
    }
    void lookupTables() {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        const QString table = QString::fromLatin1(QTest::currentDataTag()).section(' ', 0, 0);
        const QString actual = table == "size"   ? FileBrowserView::formatFileSize(input.toLongLong())
                               : table == "mime" ? FileBrowserView::iconForMime(input)
                                                 : FileBrowserView::deviceIcon(input);
        QCOMPARE(actual, expected);
        QVERIFY2(table == "size" || Icons::isKnown(expected), qPrintable(expected));
    }

    void mainAreaStates() {
        BrowserFixture f;
        f.browser.show();
        auto* refresh = child<QAbstractButton>(&f.browser, "refreshButton");
        QVERIFY(f.browser.mainArea() == Area::Loading && !refresh->isEnabled());
        QVERIFY(f.showsText(QStringLiteral("Fetching cloud files from Supabase...")));
        // The list, with a folder line only where the folder is known and not empty.
        QTRY_COMPARE(f.loaded.size(), 1);
        QVERIFY(f.browser.mainArea() == Area::List && refresh->isEnabled());
        QCOMPARE(labelText(f.rows().value(0), "folderPath"), QStringLiteral("Pictures"));
        QVERIFY(!child(f.rows()[1], "folderPath") && !child(f.rows()[2], "folderPath"));
        // A failed reload keeps the rows in place and shows the error; only Refresh is disabled.
        f.server->on("GET", "/rest/v1/files", FakeServer::Reply::text(500, "<html>down</html>"));
        press(refresh);
        QVERIFY(f.browser.mainArea() == Area::List && !refresh->isEnabled());
        QTRY_COMPARE(f.loaded.size(), 2);
        const QString error = f.browser.errorMessage().value_or(QString());
        QVERIFY2(error.startsWith("Failed to load files: ") && error.size() > 22, qPrintable(error));
        QVERIFY(shown(&f.browser, "errorBanner") && f.rowNames() == AllNames);
        // Retry clears the banner at once; an empty vault shows the empty state.
        f.serveFiles({});
        press(child<QAbstractButton>(&f.browser, "retryButton"));
        QVERIFY(!f.browser.errorMessage() && !shown(&f.browser, "errorBanner"));
        QTRY_COMPARE(f.browser.mainArea(), Area::Empty);
        QVERIFY(f.showsText(QStringLiteral("No files found in your cloud vault")));
    }

    void olderListAnswerDoesNotReplaceNewer() {
        BrowserFixture f;
        auto calls = std::make_shared<std::atomic<int>>(0);
        f.server->on("GET", "/rest/v1/files", [calls](const FakeServer::Request&) {
            const bool first = calls->fetch_add(1) == 0; // answers late, with the older list
            return UiFixture::filesReply(threeFiles().mid(0, first ? 1 : 3), first ? 600 : 0);
        });
        f.browser.show();
        QTRY_COMPARE(calls->load(), 1);
        f.browser.loadFiles(); // a second showing while the first is out
        QTRY_COMPARE(f.loaded.size(), 2);
        QVERIFY(f.browser.files().size() == 3 && !f.browser.isLoading());
    }

    void download_data() {
        // The message on success, or how the error starts. "missing": the vault answers 404;
        // "throws": the connection is refused; "cancelled": in the save dialog.
        QTest::addColumn<QString>("message");
        QTest::newRow("stored") << QString("Successfully downloaded 'tax return.pdf' to Taxes 2026.pdf");
        QTest::newRow("missing") << QString("Failed to download 'tax return.pdf'");
        QTest::newRow("throws") << QString("Download error: ");
        QTest::newRow("cancelled") << QString();
    }
    void download() {
        QFETCH(QString, message);
        const QString outcome = QString::fromLatin1(QTest::currentDataTag());
        const bool stored = outcome == "stored", failed = outcome == "missing" || outcome == "throws";
        BrowserFixture f;
        f.server->onPrefix("GET", "/storage/v1/object/authenticated/", [stored](const FakeServer::Request&) {
            return stored ? FakeServer::Reply::text(200, "%PDF tax bytes")
                          : FakeServer::Reply::json(404, "{}");
        });
        f.browser.show();
        QTRY_COMPARE(f.loaded.size(), 1);
        const QString destination = makeTempDir(QStringLiteral("save")) + QStringLiteral("/Taxes 2026.pdf");
        f.dialogs.setNextSave(outcome == "cancelled" ? std::nullopt : std::optional(destination));
        if (outcome == "throws")
            f.client().configure(FakeServer::refusedBaseUrl(), QStringLiteral("test-anon-key"));
        auto* button = child<QAbstractButton>(f.rows().value(1), "downloadButton");
        press(button);
        QCOMPARE(button->isEnabled(), outcome == "cancelled"); // its row is marked while it runs
        if (outcome == "cancelled")
            QTest::qWait(50); // nothing may follow
        QTRY_COMPARE(f.finished.size(), outcome == "cancelled" ? 0 : 1);
        QVERIFY(button->isEnabled() && !f.browser.isDownloading(QStringLiteral("b")));
        QCOMPARE(f.browser.downloadSuccessMessage().value_or("(none)"), stored ? message : "(none)");
        const QString error = f.browser.errorMessage().value_or("(none)");
        QVERIFY2(failed ? error.startsWith(message) : error == "(none)", qPrintable(error));
        QVERIFY(shown(&f.browser, "successBanner") == stored && shown(&f.browser, "errorBanner") == failed);
        QFile saved(destination);
        QCOMPARE(saved.open(QIODevice::ReadOnly) ? saved.readAll() : "(no file)",
                 QByteArray(stored ? "%PDF tax bytes" : "(no file)"));
    }

    void folderSyncStates_data() {
        QTest::addColumn<QString>("pill");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("step"); // 1: folder chosen, 2: started, 3: scanning
        QTest::newRow("no folder") << "Paused" << OrlavantTheme::orange << 0;
        QTest::newRow("folder chosen") << "Paused" << OrlavantTheme::orange << 1;
        QTest::newRow("active") << "Active & Watching" << OrlavantTheme::green << 2;
        QTest::newRow("scanning") << "Syncing..." << OrlavantTheme::purple << 3;
    }
    void folderSyncStates() {
        QFETCH(QString, pill);
        QFETCH(QColor, colour);
        QFETCH(int, step);
        UiFixture f(UiFixture::session());
        FolderSyncManager& engine = f.folderSync();
        FolderSyncView view(engine, f.client());
        view.show();
        auto* start = child<QAbstractButton>(&view, "startSyncButton");
        auto* stop = child<QAbstractButton>(&view, "stopSyncButton");
        const QString folder = makeTempDir(QStringLiteral("Family Photos"));
        f.dialogs.setNextOpen(QStringList{folder});
        if (step >= 1)
            press(child<QAbstractButton>(&view, "changeFolderButton"));
        QTRY_COMPARE(engine.watchedFolderPath().has_value(), step >= 1);
        QSignalSpy passes(&engine, &FolderSyncManager::passFinished);
        if (step >= 2)
            press(start);
        QTRY_COMPARE(passes.size(), step >= 2 ? 1 : 0);
        if (step >= 3) {
            QFile file(folder + QStringLiteral("/beach.jpg"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("sand") == 4 && file.flush());
            FakeServer::Reply held = FakeServer::Reply::json(500, "{}");
            held.hang = true; // until the fixture stops the server
            f.server->on("POST", "/api/files/pre-upload", held);
            engine.triggerFolderScan();
            QTRY_VERIFY(engine.isSyncing());
        }
        QCOMPARE(labelText(&view, "statusPillText"), pill);
        QCOMPARE(view.statusIndicatorColor(), colour);
        QVERIFY(start->isEnabled() == (step == 1) && stop->isEnabled() == (step >= 2));
        QVERIFY(shown(&view, "syncSpinner") == (step == 3) && shown(&view, "lastScanText") == (step >= 2));
        QCOMPARE(labelText(&view, "folderPath"),
                 engine.watchedFolderPath().value_or("No directory selected yet"));
        // Stop pauses the engine: while a pass is still running the pill keeps "Syncing...".
        if (step >= 2) {
            press(stop);
            QVERIFY(engine.isSyncStopped() && !stop->isEnabled());
            QCOMPARE(labelText(&view, "statusPillText"), QString(step == 3 ? "Syncing..." : "Paused"));
        }
    }

    void mainWindowGateAndLogOut() {
        WindowFixture f(std::nullopt);
        QVERIFY(f.screen<LoginView>() && f.window.isShowingLogin() && !shown(&f.window, "mainLayout"));
        const QByteArray session = R"({"access_token":"t","user":{"id":"u","email":"grace@x.test"}})";
        f.server->on("POST", "/auth/v1/token", FakeServer::Reply::json(200, session));
        fillLogin(f.screen<LoginView>(), "grace@x.test", "secret");
        press(child<QAbstractButton>(f.screen<LoginView>(), "submitButton"));
        QTRY_COMPARE(f.state(), QStringLiteral("dashboard:dashboard DashboardView"));
        QCOMPARE(labelText(&f.window, "accountEmail"), QStringLiteral("grace@x.test"));

        f.go("sync");
        press(child<QAbstractButton>(&f.window, "logOutButton"));
        QVERIFY(f.screen<LoginView>() && f.window.isShowingLogin() && !f.client().isAuthenticated());
        QCOMPARE(f.folderSync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
        // Demo sign-in by five quick logo clicks shows the tab chosen before.
        f.server->on("POST", "/api/v1/auth/demo-login", FakeServer::Reply::json(200, DemoReply));
        for (int i = 0; i < 5; ++i)
            QTest::mouseClick(child(f.screen<LoginView>(), "logo"), Qt::LeftButton);
        QTRY_COMPARE(f.state(), QStringLiteral("sync:sync FolderSyncView"));
    }

    void tabsAndTheSharedFileBrowser() {
        WindowFixture f(UiFixture::session());
        f.serveFiles({});
        f.go("files");
        auto* browser = f.screen<FileBrowserView>();
        QTRY_VERIFY(!browser->isLoading());
        for (const QString tag : {"photos", "shared", "trash", "files"}) { // one browser, not reloaded
            f.go(tag);
            QCOMPARE(f.state(), tag + ':' + tag + " FileBrowserView");
            QVERIFY(f.screen<FileBrowserView>() == browser && !browser->isLoading());
        }
        // Any other screen replaces it; coming back shows a fresh browser that loads again.
        for (const QString expected : {"sync:sync FolderSyncView", "dashboard:dashboard DashboardView",
                                       "photos:photos FileBrowserView"}) {
            f.go(expected.section(':', 0, 0));
            QTRY_COMPARE(f.state(), expected);
        }
        QTRY_COMPARE(f.server->requests("GET", "/rest/v1/files").size(), 2); // each showing reads afresh
    }

    void dashboardNavigation() {
        WindowFixture f(UiFixture::session());
        for (const char* viewAll : {"quickAccessViewAll", "recentFilesViewAll"}) {
            f.go("dashboard");
            press(child<QAbstractButton>(f.screen<DashboardView>(), viewAll));
            QTRY_COMPARE(f.state(), QStringLiteral("files:files FileBrowserView"));
        }
        f.go("dashboard");
        f.screen<DashboardView>()->onNavigateSync();
        QTRY_COMPARE(f.state(), QStringLiteral("sync:sync FolderSyncView"));
    }
};

ORLAVANT_TEST_MAIN(TestUiScreens)
#include "tst_uiscreens.moc"
