#include "app/AppState.h"
#include "app/gui/AppWindow.h"
#include "support/TestServices.h"
#include "ui/OrlavantTheme.h"
#include "web/WebViewBox.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>

class TestAppWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void historyCommandsFollowTheState();
    void pageCommandInTheEmbeddedSetup();
    void serverSwitchEndsOnTheLoginPage();
    void hexColoursUseTheLowest24Bits();
    void brandGradientRunsLeftToRight();

private:
    std::unique_ptr<TestServices> m_services;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<WebViewBox> m_box;
    std::unique_ptr<AppWindow> m_window;
    QString m_root;
};

void TestAppWindow::init() {
    m_services = std::make_unique<TestServices>();
    m_root = makeTempDir(QStringLiteral("window"));
    m_state = std::make_unique<AppState>(m_services->services->folderSync, m_services->services->client,
                                         m_services->services->http,
                                         AppState::WebLocations{QString(), QString(), m_root});
    m_box = std::make_unique<WebViewBox>();
    m_window = std::make_unique<AppWindow>(*m_state, *m_box, new QLabel(QStringLiteral("content")));
}

void TestAppWindow::cleanup() {
    m_window.reset();
    m_box.reset();
    m_state.reset();
    m_services.reset();
}

void TestAppWindow::historyCommandsFollowTheState() {
    QAction* back = m_window->action(QStringLiteral("Go Back"));
    QAction* forward = m_window->action(QStringLiteral("Go Forward"));
    QVERIFY(!back->isEnabled());
    QVERIFY(!forward->isEnabled());
    m_state->setCanGoBack(true);
    QVERIFY(back->isEnabled());
    QVERIFY(!forward->isEnabled());
    // No browser view is placed: an enabled command still does nothing, and nothing breaks.
    back->trigger();
    m_window->action(QStringLiteral("Reload Page"))->trigger();
    m_state->setCanGoBack(false);
    QVERIFY(!back->isEnabled());
}

void TestAppWindow::pageCommandInTheEmbeddedSetup() {
    m_window->action(QStringLiteral("Plans & Registration"))->trigger();
    QCOMPARE(m_state->currentUrl(),
             QUrl::fromLocalFile(m_root + QStringLiteral("/resources/web/register.html")));
}

void TestAppWindow::serverSwitchEndsOnTheLoginPage() {
    m_state->setEnvironment(ServerEnvironment::local);
    m_state->navigateTo(QStringLiteral("dashboard.html"));
    m_window->action(QStringLiteral("Use Orlavant Cloud (vault.orlavant.app)"))->trigger();
    QCOMPARE(m_state->currentUrl(), QUrl(QStringLiteral("https://vault.orlavant.app/web/login.html")));

    m_window->action(QStringLiteral("Use Local Server (127.0.0.1:8000)"))->trigger();
    QCOMPARE(m_state->environment(), ServerEnvironment::local);
    QCOMPARE(m_state->baseUrl(), QStringLiteral("http://127.0.0.1:8000"));
    QCOMPARE(m_state->serverStatus().kind(), ServerStatus::Kind::checking);
    QCOMPARE(m_state->currentUrl(), QUrl(QStringLiteral("http://127.0.0.1:8000/web/login.html")));
}

void TestAppWindow::hexColoursUseTheLowest24Bits() {
    QCOMPARE(colorFromHex(0x8B5CF6, 1.0), OrlavantTheme::purple);
    const QColor halfWhite = colorFromHex(0x1FFFFFF, 0.5);
    QCOMPARE(halfWhite.rgb(), QColor(Qt::white).rgb());
    QCOMPARE(halfWhite.alpha(), 128);
}

void TestAppWindow::brandGradientRunsLeftToRight() {
    const QLinearGradient gradient = OrlavantTheme::brandGradient(QRectF(10, 20, 200, 40));
    QCOMPARE(gradient.start(), QPointF(10, 40));
    QCOMPARE(gradient.finalStop(), QPointF(210, 40));
    const QGradientStops stops = gradient.stops();
    QCOMPARE(stops.size(), 4);
    const QColor expected[] = {OrlavantTheme::blue, OrlavantTheme::purple, OrlavantTheme::pink,
                               OrlavantTheme::orange};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(stops[i].first, i / 3.0);
        QCOMPARE(stops[i].second, expected[i]);
    }
}

ORLAVANT_TEST_MAIN(TestAppWindow)
#include "tst_appwindow.moc"
