// The native screens, offscreen against a scripted fake vault: login rules, the folder sync
// screen's state table, and the main window around them (the file browser has its own test).
#include <QApplication>

#include "UiTestSupport.h"

#include "app/AppState.h"
#include "app/gui/MainWindow.h"
#include "support/TestFiles.h"
#include "ui/Controls.h"
#include "ui/DashboardView.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "ui/LoginView.h"
#include "ui/OrlavantTheme.h"
#include "web/WebViewBox.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>

namespace {

const QByteArray DemoReply = R"({"token":"demo","user":{"id":"user_demo_pellan"}})";

void fillLogin(QWidget* login, const QString& email, const QString& password) {
    QTest::keyClicks(child<QLineEdit>(login, "emailField"), email);
    QTest::keyClicks(child<QLineEdit>(login, "passwordField"), password);
}

struct LoginFixture : UiFixture {
    LoginFixture() { view.show(); }
    GradientButton* submit() const { return child<GradientButton>(&view, "submitButton"); }
    // The error as the screen shows it; its row is visible exactly when there is one.
    QString shownError() const {
        if (isShown(&view, "errorRow") != view.errorMessage().has_value())
            return QStringLiteral("(row and message disagree)");
        return view.errorMessage() ? labelText(&view, "errorText") : QString();
    }
    LoginView view{client(), clock};
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

    void loginErrorsAndModes() {
        LoginFixture f;
        f.server->on("POST", "/auth/v1/token",
                     FakeServer::Reply::json(400, R"({"error_description":"Invalid login credentials"})"));
        f.server->on("POST", "/auth/v1/signup",
                     FakeServer::Reply::json(422, R"({"msg":"User already registered"})"));
        fillLogin(&f.view, " ada@family.test ", QString());
        QVERIFY(!f.submit()->isEnabled()); // both fields are needed, and a blank fills one
        QTest::keyClicks(child<QLineEdit>(&f.view, "passwordField"), " ");
        press(f.submit());
        QVERIFY(f.view.isLoading() && f.submit()->isBusy() && !f.submit()->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(f.shownError(), QStringLiteral("Invalid login credentials"), Patience);
        QCOMPARE(f.view.email() + '|' + f.view.password(), QStringLiteral(" ada@family.test | "));
        const auto sent = f.server->requests("POST", "/auth/v1/token"); // as typed: untrimmed
        QCOMPARE(QJsonDocument::fromJson(sent.value(0).body)["email"].toString(), f.view.email());

        // Switching mode clears the error, keeps the fields, and decides which call is made.
        press(child<QAbstractButton>(&f.view, "modeToggle"));
        QCOMPARE(f.shownError(), QString());
        QVERIFY(f.view.isSignUp() && f.view.email() == QStringLiteral(" ada@family.test "));
        press(f.submit());
        QTRY_COMPARE_WITH_TIMEOUT(f.shownError(), QStringLiteral("User already registered"), Patience);
        QCOMPARE(f.server->requests("POST", "/auth/v1/token").size(), 1);
    }

    void quickLogoClicks_data() {
        QTest::addColumn<QList<int>>("gapsMs"); // before each click; the first gap is ignored
        QTest::addColumn<int>("demoRequests");
        QTest::addColumn<int>("countAfter");
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
        QTRY_VERIFY_WITH_TIMEOUT(!f.view.isLoading(), Patience);
        QCOMPARE(f.server->requests("POST", "/api/v1/auth/demo-login").size(), demoRequests);
    }

    void folderSyncStates_data() {
        QTest::addColumn<QString>("pill");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("step"); // 1: folder chosen, 2: started, 3: scanning
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
        press(child<QAbstractButton>(&view, "changeFolderButton"));
        QTRY_VERIFY_WITH_TIMEOUT(engine.watchedFolderPath(), Patience);
        QSignalSpy passes(&engine, &FolderSyncManager::passFinished);
        if (step >= 2)
            press(start);
        QTRY_COMPARE_WITH_TIMEOUT(passes.size(), step >= 2 ? 1 : 0, Patience);
        if (step >= 3) {
            writeFile(folder + QStringLiteral("/beach.jpg"), "sand");
            FakeServer::Reply held = FakeServer::Reply::json(500, "{}");
            held.hang = true; // until the fixture stops the server
            f.server->on("POST", "/api/files/pre-upload", held);
            engine.triggerFolderScan();
            QTRY_VERIFY_WITH_TIMEOUT(engine.isSyncing(), Patience);
        }
        QCOMPARE(labelText(&view, "statusPillText"), pill);
        QCOMPARE(view.statusIndicatorColor(), colour);
        QVERIFY(start->isEnabled() == (step == 1) && stop->isEnabled() == (step >= 2));
        QVERIFY(isShown(&view, "syncSpinner") == (step == 3) &&
                isShown(&view, "lastScanText") == (step >= 2));
        QCOMPARE(labelText(&view, "folderPath"), *engine.watchedFolderPath());
        // Stop pauses the engine: while a pass is still running the pill keeps "Syncing...".
        if (step >= 2) {
            press(stop);
            QVERIFY(engine.isSyncStopped() && !stop->isEnabled());
            QCOMPARE(labelText(&view, "statusPillText"), QString(step == 3 ? "Syncing..." : "Paused"));
        }
    }

    void mainWindowGateAndLogOut() {
        WindowFixture f(std::nullopt);
        QVERIFY(f.screen<LoginView>() && f.window.isShowingLogin() && child(&f.window, "mainLayout") &&
                !isShown(&f.window, "mainLayout"));
        const QByteArray session = R"({"access_token":"t","user":{"id":"u","email":"grace@x.test"}})";
        f.server->on("POST", "/auth/v1/token", FakeServer::Reply::json(200, session));
        fillLogin(f.screen<LoginView>(), "grace@x.test", "secret");
        press(child<QAbstractButton>(f.screen<LoginView>(), "submitButton"));
        QTRY_COMPARE_WITH_TIMEOUT(f.state(), QStringLiteral("dashboard:dashboard DashboardView"), Patience);
        QCOMPARE(labelText(&f.window, "accountEmail"), QStringLiteral("grace@x.test"));

        f.go("sync");
        press(child<QAbstractButton>(&f.window, "logOutButton"));
        QVERIFY(f.screen<LoginView>() && f.window.isShowingLogin() && !f.client().isAuthenticated());
        QCOMPARE(f.folderSync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
        // Demo sign-in by five quick logo clicks shows the tab chosen before.
        f.server->on("POST", "/api/v1/auth/demo-login", FakeServer::Reply::json(200, DemoReply));
        for (int i = 0; i < 5; ++i)
            QTest::mouseClick(child(f.screen<LoginView>(), "logo"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(f.state(), QStringLiteral("sync:sync FolderSyncView"), Patience);
    }

    void tabsDashboardAndTheSharedFileBrowser() {
        WindowFixture f(UiFixture::session());
        f.serveFiles({});
        f.go("files");
        auto* browser = f.screen<FileBrowserView>();
        QTRY_VERIFY_WITH_TIMEOUT(!browser->isLoading(), Patience);
        for (const QString tag : {"photos", "shared", "trash", "files"}) { // one browser, not reloaded
            f.go(tag);
            QCOMPARE(f.state(), tag + ':' + tag + " FileBrowserView");
            QVERIFY(f.screen<FileBrowserView>() == browser && !browser->isLoading());
        }
        // Any other screen replaces it; coming back shows a fresh browser that loads again.
        for (const QString expected : {"sync:sync FolderSyncView", "dashboard:dashboard DashboardView",
                                       "photos:photos FileBrowserView"}) {
            f.go(expected.section(':', 0, 0));
            QTRY_COMPARE_WITH_TIMEOUT(f.state(), expected, Patience);
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.server->requests("GET", "/rest/v1/files").size(), 2,
                                  Patience); // each showing reads afresh
        // The dashboard's shortcut leads to the files.
        f.go("dashboard");
        press(child<QAbstractButton>(f.screen<DashboardView>(), "recentFilesViewAll"));
        QTRY_COMPARE_WITH_TIMEOUT(f.state(), QStringLiteral("files:files FileBrowserView"), Patience);
    }
};

ORLAVANT_TEST_MAIN(TestUiScreens)
#include "tst_uiscreens.moc"
