// The main window: the login gate in both directions, the sidebar's tabs and their screens, the
// dashboard's navigation, and "Log out" with the tab kept. Offscreen, against a fake vault.
#include <QApplication>

#include "UiTestSupport.h"

#include "app/AppState.h"
#include "app/gui/MainWindow.h"
#include "sync/FolderSyncManager.h"
#include "ui/DashboardView.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "ui/LoginView.h"
#include "web/WebViewBox.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

const QByteArray SessionReply =
    R"({"access_token":"tok-9","user":{"id":"user-9","email":"grace@family.test"}})";

struct WindowFixture : UiFixture {
    explicit WindowFixture(const std::optional<SupabaseSession>& session = std::nullopt)
        : UiFixture(session)
        , appState(std::make_unique<AppState>(folderSync(), client(), services->http))
        , window(std::make_unique<MainWindow>(*appState, box, client(), folderSync(), dialogs, clock)) {
        serveFiles({fileRecord("f1", "notes.txt", "text/plain", "Ada's MacBook", "mac", 10)});
        window->resize(1020, 680);
        window->show();
    }
    ~WindowFixture() {
        window.reset();
        appState.reset();
    }

    QAbstractButton* nav(const QString& tag) const {
        return window->findChild<QAbstractButton*>(QStringLiteral("nav_") + tag);
    }
    QStringList activeEntries() const {
        QStringList tags;
        for (const char* tag : {"dashboard", "files", "photos", "sync", "shared", "trash"}) {
            if (nav(QString::fromLatin1(tag))->property("active").toBool())
                tags.append(QString::fromLatin1(tag));
        }
        return tags;
    }
    void signInThroughForm() {
        server->on("POST", "/auth/v1/token", FakeServer::Reply::json(200, SessionReply));
        auto* login = window->findChild<LoginView*>();
        QVERIFY(login);
        login->findChild<QLineEdit*>(QStringLiteral("emailField"))
            ->setText(QStringLiteral("grace@family.test"));
        login->findChild<QLineEdit*>(QStringLiteral("passwordField"))->setText(QStringLiteral("secret"));
        press(login->findChild<QAbstractButton*>(QStringLiteral("submitButton")));
        QTRY_VERIFY(!window->isShowingLogin());
    }

    WebViewBox box;
    std::unique_ptr<AppState> appState;
    std::unique_ptr<MainWindow> window;
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void freshStartShowsLoginThenDashboard();
    void windowStaysResponsiveDuringSlowSignIn();
    void tabs_data();
    void tabs();
    void fileEntriesShareOneBrowser();
    void dashboardNavigation();
    void logOutReturnsToLoginAndKeepsTab();
    void accountLineFallsBackToSampleAddress();
};

void TestMainWindow::freshStartShowsLoginThenDashboard() {
    WindowFixture fixture;
    QVERIFY(fixture.window->isShowingLogin());
    QVERIFY(qobject_cast<LoginView*>(fixture.window->currentScreen()));
    QVERIFY(!fixture.window->findChild<QWidget*>(QStringLiteral("mainLayout"))->isVisible());

    fixture.signInThroughForm();
    QVERIFY(qobject_cast<DashboardView*>(fixture.window->currentScreen()));
    QCOMPARE(fixture.window->activeTab(), QStringLiteral("dashboard"));
    QCOMPARE(fixture.activeEntries(), QStringList{"dashboard"});
    QCOMPARE(labelText(fixture.window.get(), "accountEmail"), QStringLiteral("grace@family.test"));
    // The login screen is gone, not merely hidden.
    QTRY_VERIFY(!fixture.window->findChild<LoginView*>());
}

void TestMainWindow::windowStaysResponsiveDuringSlowSignIn() {
    WindowFixture fixture;
    FakeServer::Reply slow = FakeServer::Reply::json(200, SessionReply);
    slow.delayMs = 1500;
    fixture.server->on("POST", "/auth/v1/token", slow);
    auto* login = fixture.window->findChild<LoginView*>();
    login->findChild<QLineEdit*>(QStringLiteral("emailField"))->setText(QStringLiteral("grace@family.test"));
    login->findChild<QLineEdit*>(QStringLiteral("passwordField"))->setText(QStringLiteral("secret"));
    login->handleAuth();
    // The click returned at once, and the main thread keeps serving events while the reply is out.
    bool ticked = false;
    QTimer::singleShot(10, [&] { ticked = true; });
    QTRY_VERIFY(ticked);
    QVERIFY(fixture.window->isShowingLogin());
    QVERIFY(login->isLoading());
    QTRY_VERIFY_WITH_TIMEOUT(!fixture.window->isShowingLogin(), 10000);
}

void TestMainWindow::tabs_data() {
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("screen");
    QTest::newRow("Dashboard") << "dashboard"
                               << "DashboardView";
    QTest::newRow("My Files") << "files"
                              << "FileBrowserView";
    QTest::newRow("Photos") << "photos"
                            << "FileBrowserView";
    QTest::newRow("Sync Engine") << "sync"
                                 << "FolderSyncView";
    QTest::newRow("Shared") << "shared"
                            << "FileBrowserView";
    QTest::newRow("Trash") << "trash"
                           << "FileBrowserView";
}

void TestMainWindow::tabs() {
    QFETCH(QString, tag);
    QFETCH(QString, screen);
    WindowFixture fixture(UiFixture::session());
    QVERIFY(!fixture.window->isShowingLogin());
    if (tag == QLatin1String("dashboard"))
        press(fixture.nav(QStringLiteral("trash")));
    press(fixture.nav(tag));
    QCOMPARE(fixture.window->activeTab(), tag);
    QCOMPARE(fixture.activeEntries(), QStringList{tag});
    QWidget* current = fixture.window->currentScreen();
    QVERIFY(current);
    QCOMPARE(QString::fromLatin1(current->metaObject()->className()), screen);
    QVERIFY(current->isVisible());
    // Exactly one screen lives in the content area at a time.
    QTRY_COMPARE(fixture.window->findChildren<DashboardView*>().size() +
                     fixture.window->findChildren<FileBrowserView*>().size() +
                     fixture.window->findChildren<FolderSyncView*>().size(),
                 qsizetype(1));
}

void TestMainWindow::fileEntriesShareOneBrowser() {
    WindowFixture fixture(UiFixture::session());
    fixture.window->setActiveTab(QStringLiteral("files"));
    auto* browser = qobject_cast<FileBrowserView*>(fixture.window->currentScreen());
    QVERIFY(browser);
    QTRY_COMPARE(browser->files().size(), 1);
    QCOMPARE(fixture.server->requests("GET", "/rest/v1/files").size(), 1);
    browser->setSearchQuery(QStringLiteral("notes"));

    for (const QString tag : {"photos", "shared", "trash", "files"}) {
        press(fixture.nav(tag));
        QCOMPARE(fixture.window->currentScreen(), browser);
        QCOMPARE(fixture.activeEntries(), QStringList{tag});
    }
    QCOMPARE(browser->searchQuery(), QStringLiteral("notes"));
    QCOMPARE(fixture.server->requests("GET", "/rest/v1/files").size(), 1);

    // Leaving for another screen and coming back shows a fresh browser that loads again.
    fixture.window->setActiveTab(QStringLiteral("sync"));
    fixture.window->setActiveTab(QStringLiteral("photos"));
    auto* again = qobject_cast<FileBrowserView*>(fixture.window->currentScreen());
    QVERIFY(again);
    QCOMPARE(again->searchQuery(), QString());
    QTRY_COMPARE(fixture.server->requests("GET", "/rest/v1/files").size(), 2);

    // A tag without a screen shows nothing.
    fixture.window->setActiveTab(QStringLiteral("Files"));
    QCOMPARE(fixture.window->currentScreen(), nullptr);
    QCOMPARE(fixture.activeEntries(), QStringList{});
}

void TestMainWindow::dashboardNavigation() {
    WindowFixture fixture(UiFixture::session());
    auto* dashboard = qobject_cast<DashboardView*>(fixture.window->currentScreen());
    QVERIFY(dashboard);
    press(dashboard->findChild<QPushButton*>(QStringLiteral("quickAccessViewAll")));
    QCOMPARE(fixture.window->activeTab(), QStringLiteral("files"));
    QCOMPARE(fixture.activeEntries(), QStringList{"files"});
    QVERIFY(qobject_cast<FileBrowserView*>(fixture.window->currentScreen()));

    press(fixture.nav(QStringLiteral("dashboard")));
    dashboard = qobject_cast<DashboardView*>(fixture.window->currentScreen());
    press(dashboard->findChild<QPushButton*>(QStringLiteral("recentFilesViewAll")));
    QCOMPARE(fixture.window->activeTab(), QStringLiteral("files"));

    press(fixture.nav(QStringLiteral("dashboard")));
    dashboard = qobject_cast<DashboardView*>(fixture.window->currentScreen());
    dashboard->onNavigateSync();
    QCOMPARE(fixture.window->activeTab(), QStringLiteral("sync"));
    QCOMPARE(fixture.activeEntries(), QStringList{"sync"});
    QVERIFY(qobject_cast<FolderSyncView*>(fixture.window->currentScreen()));
}

void TestMainWindow::logOutReturnsToLoginAndKeepsTab() {
    WindowFixture fixture(UiFixture::session());
    press(fixture.nav(QStringLiteral("sync")));
    QVERIFY(qobject_cast<FolderSyncView*>(fixture.window->currentScreen()));

    press(fixture.window->findChild<QPushButton*>(QStringLiteral("logOutButton")));
    QVERIFY(fixture.window->isShowingLogin());
    QVERIFY(!fixture.client().isAuthenticated());
    QCOMPARE(fixture.folderSync().syncStatusMessage(), QStringLiteral("Logged out. Sync engine inactive."));
    // The screens of the signed-in layout are gone with it.
    QTRY_VERIFY(!fixture.window->findChild<FolderSyncView*>());

    // Demo sign-in by five quick logo clicks; the tab chosen before is shown again.
    fixture.server->on("POST", "/api/v1/auth/demo-login",
                       FakeServer::Reply::json(200, R"({"token":"demo","user":{"id":"user_demo_pellan"}})"));
    auto* logo = fixture.window->findChild<LoginView*>()->findChild<QWidget*>(QStringLiteral("logo"));
    for (int i = 0; i < 5; ++i)
        QTest::mouseClick(logo, Qt::LeftButton);
    QTRY_VERIFY(!fixture.window->isShowingLogin());
    QCOMPARE(fixture.window->activeTab(), QStringLiteral("sync"));
    QCOMPARE(fixture.activeEntries(), QStringList{"sync"});
    QVERIFY(qobject_cast<FolderSyncView*>(fixture.window->currentScreen()));

    // A new login screen starts afresh.
    press(fixture.window->findChild<QPushButton*>(QStringLiteral("logOutButton")));
    auto* login = qobject_cast<LoginView*>(fixture.window->currentScreen());
    QVERIFY(login);
    QCOMPARE(login->logoTapCount(), qint64(0));
    QCOMPARE(login->email(), QString());
}

void TestMainWindow::accountLineFallsBackToSampleAddress() {
    SupabaseSession session = UiFixture::session();
    session.email.reset();
    WindowFixture fixture(session);
    const QString shown = labelText(fixture.window.get(), "accountEmail");
    QVERIFY(shown.contains(QLatin1Char('@')));
    // Typing in the top bar's search changes nothing else.
    QTest::keyClicks(fixture.window->findChild<QLineEdit*>(QStringLiteral("topSearchField")),
                     QStringLiteral("tax"));
    QCOMPARE(fixture.window->searchText(), QStringLiteral("tax"));
    QVERIFY(qobject_cast<DashboardView*>(fixture.window->currentScreen()));

    // Signing in with an e-mail replaces the sample address.
    fixture.client().signOut();
    fixture.signInThroughForm();
    QCOMPARE(labelText(fixture.window.get(), "accountEmail"), QStringLiteral("grace@family.test"));
    QVERIFY(shown != QStringLiteral("grace@family.test"));
}

ORLAVANT_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
