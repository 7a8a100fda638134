// The main window: the login gate in both directions, the sidebar's tabs and their screens, the
// dashboard's navigation, and "Log out" with the tab kept. Offscreen, against a fake vault.
#include <QApplication>

#include "UiTestSupport.h"

#include "app/AppState.h"
#include "app/gui/MainWindow.h"
#include "ui/DashboardView.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "ui/LoginView.h"
#include "web/WebViewBox.h"

#include <QLineEdit>
#include <QPushButton>

namespace {

struct WindowFixture : UiFixture {
    explicit WindowFixture(const std::optional<SupabaseSession>& session = std::nullopt)
        : UiFixture(session) {
        serveFiles({fileRecord("f1", "notes.txt", "text/plain", "Ada's MacBook", "mac", 10)});
        window.resize(1020, 680);
        window.show();
    }

    template <typename T> T* screen() const { return qobject_cast<T*>(window.currentScreen()); }
    void go(const char* tag) { press(child<QAbstractButton>(&window, (std::string("nav_") + tag).c_str())); }
    // The tab shown and the sidebar entries drawn as active, e.g. "files:files".
    QString tabs() const {
        QStringList active;
        for (const char* tag : {"dashboard", "files", "photos", "sync", "shared", "trash"}) {
            if (child<QWidget>(&window, (std::string("nav_") + tag).c_str())->property("active").toBool())
                active.append(QString::fromLatin1(tag));
        }
        return window.activeTab() + ':' + active.join(',');
    }

    WebViewBox box;
    AppState appState{folderSync(), client(), services->http};
    MainWindow window{appState, box, client(), folderSync(), dialogs, clock};
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void freshStartShowsLoginThenDashboard() {
        WindowFixture f;
        auto* login = f.screen<LoginView>();
        QVERIFY(login && f.window.isShowingLogin());
        QVERIFY(!child(&f.window, "mainLayout")->isVisible());
        f.server->on(
            "POST", "/auth/v1/token",
            FakeServer::Reply::json(200, R"({"access_token":"t","user":{"id":"u","email":"grace@x.test"}})"));
        QTest::keyClicks(child<QLineEdit>(login, "emailField"), QStringLiteral("grace@x.test"));
        QTest::keyClicks(child<QLineEdit>(login, "passwordField"), QStringLiteral("secret"));
        press(child<QAbstractButton>(login, "submitButton"));
        QTRY_VERIFY(!f.window.isShowingLogin());
        QVERIFY(f.screen<DashboardView>());
        QCOMPARE(f.tabs(), QStringLiteral("dashboard:dashboard"));
        QCOMPARE(labelText(&f.window, "accountEmail"), QStringLiteral("grace@x.test"));
        QTRY_VERIFY(!f.window.findChild<LoginView*>()); // gone, not merely hidden
    }

    void tabs_data() {
        QTest::addColumn<QString>("screen");
        QTest::newRow("dashboard") << "DashboardView";
        QTest::newRow("files") << "FileBrowserView";
        QTest::newRow("photos") << "FileBrowserView";
        QTest::newRow("sync") << "FolderSyncView";
        QTest::newRow("shared") << "FileBrowserView";
        QTest::newRow("trash") << "FileBrowserView";
    }
    void tabs() {
        QFETCH(QString, screen);
        const char* tag = QTest::currentDataTag();
        WindowFixture f(UiFixture::session());
        f.go("trash"); // away from the first screen, so that the dashboard row switches too
        f.go(tag);
        QCOMPARE(f.tabs(), QString::fromLatin1(tag) + ':' + tag);
        QCOMPARE(QString::fromLatin1(f.window.currentScreen()->metaObject()->className()), screen);
        QVERIFY(f.window.currentScreen()->isVisible());
        // Exactly one screen lives in the content area at a time.
        QTRY_COMPARE(f.window.findChildren<DashboardView*>().size() +
                         f.window.findChildren<FileBrowserView*>().size() +
                         f.window.findChildren<FolderSyncView*>().size(),
                     qsizetype(1));
    }

    void fileEntriesShareOneBrowser() {
        WindowFixture f(UiFixture::session());
        f.go("files");
        auto* browser = f.screen<FileBrowserView>();
        QVERIFY(browser);
        QTRY_COMPARE(browser->files().size(), 1);
        browser->setSearchQuery(QStringLiteral("notes"));
        for (const char* tag : {"photos", "shared", "trash", "files"}) {
            f.go(tag);
            QCOMPARE(f.screen<FileBrowserView>(), browser);
            QCOMPARE(f.tabs(), QString::fromLatin1(tag) + ':' + tag);
        }
        QCOMPARE(browser->searchQuery(), QStringLiteral("notes"));
        QCOMPARE(f.server->requests("GET", "/rest/v1/files").size(), 1);

        // Leaving for another screen and coming back shows a fresh browser that loads again.
        f.go("sync");
        f.go("photos");
        QCOMPARE(f.screen<FileBrowserView>()->searchQuery(), QString());
        QTRY_COMPARE(f.server->requests("GET", "/rest/v1/files").size(), 2);
        f.window.setActiveTab(QStringLiteral("Files")); // tags are exact: no screen, no entry
        QVERIFY(!f.window.currentScreen());
        QCOMPARE(f.tabs(), QStringLiteral("Files:"));
    }

    void dashboardNavigation() {
        WindowFixture f(UiFixture::session());
        for (const char* viewAll : {"quickAccessViewAll", "recentFilesViewAll"}) {
            f.go("dashboard");
            press(child<QPushButton>(f.screen<DashboardView>(), viewAll));
            QCOMPARE(f.tabs(), QStringLiteral("files:files"));
            QVERIFY(f.screen<FileBrowserView>());
        }
        f.go("dashboard");
        press(child<QAbstractButton>(f.screen<DashboardView>(), "uploadFilesButton"));
        press(child<QAbstractButton>(f.screen<DashboardView>(), "viewPlansButton"));
        QCOMPARE(f.tabs(), QStringLiteral("dashboard:dashboard"));
        f.screen<DashboardView>()->onNavigateSync();
        QCOMPARE(f.tabs(), QStringLiteral("sync:sync"));
        QVERIFY(f.screen<FolderSyncView>());
    }

    void logOutReturnsToLoginAndKeepsTab() {
        WindowFixture f(UiFixture::session());
        f.go("sync");
        press(child<QPushButton>(&f.window, "logOutButton"));
        QVERIFY(f.window.isShowingLogin() && !f.client().isAuthenticated());
        QCOMPARE(f.folderSync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
        QTRY_VERIFY(!f.window.findChild<FolderSyncView*>()); // gone with the signed-in layout

        // Demo sign-in by five quick logo clicks; the tab chosen before is shown again.
        f.server->on("POST", "/api/v1/auth/demo-login",
                     FakeServer::Reply::json(200, R"({"token":"demo","user":{"id":"user_demo_pellan"}})"));
        QTest::keyClicks(child<QLineEdit>(f.screen<LoginView>(), "emailField"), QStringLiteral("ada"));
        for (int i = 0; i < 5; ++i)
            QTest::mouseClick(child(f.screen<LoginView>(), "logo"), Qt::LeftButton);
        QTRY_VERIFY(!f.window.isShowingLogin());
        QCOMPARE(f.tabs(), QStringLiteral("sync:sync"));
        QVERIFY(f.screen<FolderSyncView>());

        // The next login screen starts afresh.
        press(child<QPushButton>(&f.window, "logOutButton"));
        QCOMPARE(f.screen<LoginView>()->email(), QString());
    }
};

ORLAVANT_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
