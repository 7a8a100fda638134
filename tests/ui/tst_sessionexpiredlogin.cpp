// The window when the session expires for good: the login screen, with the e-mail filled in.
#include <QApplication>

#include "UiTestSupport.h"
#include "app/AppState.h"
#include "app/gui/MainWindow.h"
#include "support/FakeSessionVault.h"
#include "ui/Controls.h"
#include "ui/LoginView.h"
#include "web/WebViewBox.h"

#include <QLineEdit>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

// Signed in with a hosted session whose token the vault no longer takes and whose refresh it
// refuses.
struct ExpiringWindow : UiFixture {
    ExpiringWindow()
        : UiFixture(SupabaseSession{u"access-0"_s, u"refresh-0"_s, u"user-1"_s, u"ada@family.test"_s}) {
        vault.protect("GET", "/rest/v1/files", FakeServer::Reply::json(200, "[]"));
        vault.answerRefreshWith([](int) {
            return FakeServer::Reply::json(400, R"({"error_description":"Invalid Refresh Token"})");
        });
        window.show();
    }
    QLineEdit* field(const char* name) const { return child<QLineEdit>(window.currentScreen(), name); }

    FakeSessionVault vault{*server};
    WebViewBox box;
    AppState appState{folderSync(), client(), services->http};
    MainWindow window{appState, box, client(), folderSync(), dialogs, clock};
};

} // namespace

class TestSessionExpiredLogin : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void loginScreenOffersTheAccountAgain();
};

void TestSessionExpiredLogin::loginScreenOffersTheAccountAgain() {
    ExpiringWindow f;
    QVERIFY(!f.window.isShowingLogin());
    // The file browser's listing is the first request; its refusal ends the session.
    f.window.setActiveTab(u"files"_s);
    QTRY_VERIFY_WITH_TIMEOUT(f.window.isShowingLogin(), Patience);
    QCOMPARE(f.field("emailField")->text(), u"ada@family.test"_s);
    QCOMPARE(f.field("passwordField")->text(), QString());
    QCOMPARE(f.folderSync().syncStatusMessage(), u"Session expired \u2014 sign in again"_s);

    // The password is all it takes to come back, to the screen that was open.
    f.vault.signInAs(u"user-1"_s, u"ada@family.test"_s, u"access-1"_s, u"refresh-1"_s);
    QTest::keyClicks(f.field("passwordField"), u"secret"_s);
    press(child<QAbstractButton>(f.window.currentScreen(), "submitButton"));
    QTRY_VERIFY_WITH_TIMEOUT(!f.window.isShowingLogin(), Patience);
    QCOMPARE(f.window.activeTab(), u"files"_s);
    QCOMPARE(f.client().expiredSessionEmail(), std::nullopt);
    LoginView fresh(f.client(), f.clock);
    QCOMPARE(child<QLineEdit>(&fresh, "emailField")->text(), QString());
}

ORLAVANT_TEST_MAIN(TestSessionExpiredLogin)
#include "tst_sessionexpiredlogin.moc"
