#include "app/AppState.h"
#include "app/gui/AppWindow.h"
#include "app/gui/QtDialogs.h"
#include "support/TestServices.h"
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
    void pageAndServerCommands();

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
    const auto row = [](const char* menu, const char* title, const QKeySequence& shortcut = {}) {
        QTest::newRow(title) << QString::fromUtf8(menu) << QString::fromUtf8(title) << shortcut;
    };
    const auto command = [](Qt::Key key) { return QKeySequence(Qt::CTRL | key); };
    row("Navigation", "Go Back", command(Qt::Key_BracketLeft));
    row("Navigation", "Go Forward", command(Qt::Key_BracketRight));
    row("Navigation", "Reload Page", command(Qt::Key_R));
    row("Navigation", "Dashboard", command(Qt::Key_1));
    row("Navigation", "Plans & Registration", command(Qt::Key_2)); // an ampersand is shown
    row("Navigation", "Login", command(Qt::Key_3));
    row("Navigation", "Admin CRM", command(Qt::Key_4));
    row("Server", "Check Server Health", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K));
    row("Server", "Use Local Server (127.0.0.1:8000)");
    row("Server", "Use Orlavant Cloud (vault.orlavant.app)");
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
    const QString save = QStringLiteral("Download from Orlavant Vault|Choose where to save '%1'|Save File");
    const auto row = [](const char* tag, bool isSave, const QString& suggested, const QString& texts,
                        const QString& fileName) {
        QTest::newRow(tag) << isSave << suggested << texts.section('|', 0, 0) << texts.section('|', 1, 1)
                           << texts.section('|', 2, 2) << fileName;
    };
    row("save", true, "tax return.pdf", save.arg("tax return.pdf"), "tax return.pdf");
    const QString climbing = QStringLiteral("../../.config/autostart/evil.desktop");
    row("save a name with a path in it", true, climbing, save.arg(climbing), "evil.desktop");
    row("upload chooser", false, QString(),
        "Choose files to upload to Orlavant|Choose files to upload to Orlavant|Upload", QString());
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

// Page commands open the page in the current setup; server commands end on the login page.
void TestAppWindow::pageAndServerCommands() {
    m_window->action(QStringLiteral("Plans & Registration"))->trigger();
    QCOMPARE(m_state->currentUrl(),
             QUrl::fromLocalFile(m_root + QStringLiteral("/resources/web/register.html")));
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

ORLAVANT_TEST_MAIN(TestAppWindow)
#include "tst_appwindow.moc"
