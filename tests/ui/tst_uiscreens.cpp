// The native screens, offscreen against a scripted fake vault: the demo sign-in's click rule and
// the main window's gate around them (the file browser has its own test).
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

    void quickLogoClicks_data() {
        QTest::addColumn<QList<int>>("gapsMs"); // before each click; the first gap is ignored
        QTest::addColumn<int>("demoRequests");
        QTest::addColumn<int>("countAfter");
        QTest::newRow("five with gaps of exactly 3.0 s") << QList<int>{0, 3000, 3000, 3000, 3000} << 1 << 0;
        QTest::newRow("a 3.1 s gap restarts at one") << QList<int>{0, 100, 100, 100, 3100} << 0 << 1;
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
};

ORLAVANT_TEST_MAIN(TestUiScreens)
#include "tst_uiscreens.moc"
