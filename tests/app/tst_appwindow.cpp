#include "app/AppState.h"
#include "app/gui/AppWindow.h"
#include "app/gui/QtDialogs.h"
#include "support/TestServices.h"
#include "ui/OrlavantTheme.h"
#include "web/WebViewBox.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

class TestAppWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void menusAsTheUserSeesThem_data();
    void menusAsTheUserSeesThem();
    void fileDialogsShowTheirTexts_data();
    void fileDialogsShowTheirTexts();
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

void TestAppWindow::menusAsTheUserSeesThem_data() {
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("title"); // as shown
    QTest::addColumn<QKeySequence>("shortcut");
    const auto command = [](Qt::Key key) { return QKeySequence(Qt::CTRL | key); };
    QTest::newRow("Go Back") << "Navigation"
                             << "Go Back" << command(Qt::Key_BracketLeft);
    QTest::newRow("Go Forward") << "Navigation"
                                << "Go Forward" << command(Qt::Key_BracketRight);
    QTest::newRow("Reload Page") << "Navigation"
                                 << "Reload Page" << command(Qt::Key_R);
    QTest::newRow("Dashboard") << "Navigation"
                               << "Dashboard" << command(Qt::Key_1);
    QTest::newRow("an ampersand is shown") << "Navigation"
                                           << "Plans & Registration" << command(Qt::Key_2);
    QTest::newRow("Login") << "Navigation"
                           << "Login" << command(Qt::Key_3);
    QTest::newRow("Admin CRM") << "Navigation"
                               << "Admin CRM" << command(Qt::Key_4);
    QTest::newRow("health") << "Server"
                            << "Check Server Health" << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K);
    QTest::newRow("local") << "Server"
                           << "Use Local Server (127.0.0.1:8000)" << QKeySequence();
    QTest::newRow("cloud") << "Server"
                           << "Use Orlavant Cloud (vault.orlavant.app)" << QKeySequence();
}

void TestAppWindow::menusAsTheUserSeesThem() {
    QFETCH(QString, menu);
    QFETCH(QString, title);
    QFETCH(QKeySequence, shortcut);
    QAction* found = m_window->action(title);
    QVERIFY2(found, qPrintable(title));
    QCOMPARE(found->shortcut(), shortcut);
    // In its menu, and with no letter taken for a mnemonic (which would hide an ampersand).
    QStringList menuTitles;
    for (QAction* entry : m_window->menuBar()->actions()) {
        if (entry->menu() && entry->menu()->actions().contains(found))
            menuTitles.append(entry->text());
    }
    QCOMPARE(menuTitles, QStringList{menu});
    QCOMPARE(QKeySequence::mnemonic(found->text()), QKeySequence());
}

void TestAppWindow::fileDialogsShowTheirTexts_data() {
    QTest::addColumn<bool>("save");
    QTest::addColumn<QString>("suggested"); // the proposed name, for a save
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("accept");
    QTest::addColumn<QString>("fileName"); // what the name field shows
    QTest::newRow("save") << true << "tax return.pdf"
                          << "Download from Orlavant Vault"
                          << "Choose where to save 'tax return.pdf'"
                          << "Save File"
                          << "tax return.pdf";
    QTest::newRow("save a name with a path in it")
        << true << "../../.config/autostart/evil.desktop"
        << "Download from Orlavant Vault"
        << "Choose where to save '../../.config/autostart/evil.desktop'"
        << "Save File"
        << "evil.desktop";
    QTest::newRow("upload chooser") << false << ""
                                    << "Choose files to upload to Orlavant"
                                    << "Choose files to upload to Orlavant"
                                    << "Upload"
                                    << "";
}

void TestAppWindow::fileDialogsShowTheirTexts() {
    QFETCH(bool, save);
    QFETCH(QString, suggested);
    QFETCH(QString, title);
    QFETCH(QString, message);
    QFETCH(QString, accept);
    QFETCH(QString, fileName);
    std::unique_ptr<QFileDialog> dialog;
    if (save) {
        Dialogs::SaveOptions options;
        options.title = title;
        options.message = message;
        options.prompt = accept;
        options.suggestedName = suggested;
        options.directory = makeTempDir(QStringLiteral("dialog"));
        dialog = QtDialogs::saveDialog(options, nullptr);
    } else {
        Dialogs::OpenOptions options; // as the page's file chooser asks: no title of its own
        options.message = message;
        options.prompt = accept;
        options.allowsMultiple = true;
        dialog = QtDialogs::openDialog(options, nullptr);
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
    }
    QCOMPARE(dialog->windowTitle(), title);
    QCOMPARE(dialog->labelText(QFileDialog::Accept), accept);
    // The message has its own line, at the top; the dialog's own labels keep their texts.
    auto* label = dialog->findChild<QLabel*>(QStringLiteral("dialogMessage"));
    QVERIFY(label);
    QCOMPARE(label->text(), message);
    QCOMPARE(dialog->labelText(QFileDialog::LookIn), QFileDialog().labelText(QFileDialog::LookIn));
    auto* grid = qobject_cast<QGridLayout*>(dialog->layout());
    QVERIFY(grid);
    int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(label), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(row, 0);
    QCOMPARE(columnSpan, grid->columnCount());
    dialog->show();
    QVERIFY(label->isVisible());
    auto* lookIn = dialog->findChild<QWidget*>(QStringLiteral("lookInCombo"));
    QVERIFY(lookIn && label->geometry().bottom() < lookIn->geometry().top());
    QCOMPARE(dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text(), fileName);
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
