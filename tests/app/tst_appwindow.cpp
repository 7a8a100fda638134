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
#include <QTest>

class TestAppWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void anAmpersandInAMenuEntryIsShown();
    void saveDialogShowsItsTexts();
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

// Every entry is written without mnemonics, so an ampersand is shown rather than taken.
void TestAppWindow::anAmpersandInAMenuEntryIsShown() {
    QAction* found = m_window->action(QStringLiteral("Plans & Registration"));
    QVERIFY(found);
    QCOMPARE(found->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_2));
    QCOMPARE(QKeySequence::mnemonic(found->text()), QKeySequence());
    found->trigger(); // the page opens in the current setup
    QCOMPARE(m_state->currentUrl(),
             QUrl::fromLocalFile(m_root + QStringLiteral("/resources/web/register.html")));
}

// The save dialog: its texts, the message on a line of its own at the top, and a proposed name
// that carries a path reduced to the name alone.
void TestAppWindow::saveDialogShowsItsTexts() {
    const QString climbing = QStringLiteral("../../.config/autostart/evil.desktop");
    Dialogs::SaveOptions options;
    options.title = QStringLiteral("Download from Orlavant Vault");
    options.message = QStringLiteral("Choose where to save '%1'").arg(climbing);
    options.prompt = QStringLiteral("Save File");
    options.suggestedName = climbing;
    options.directory = makeTempDir(QStringLiteral("dialog"));
    const std::unique_ptr<QFileDialog> dialog = QtDialogs::saveDialog(options, nullptr);
    // The message has its own line, at the top; the dialog's own labels keep their texts.
    auto* label = dialog->findChild<QLabel*>(QStringLiteral("dialogMessage"));
    QVERIFY(label);
    QCOMPARE(QStringList({dialog->windowTitle(), dialog->labelText(QFileDialog::Accept), label->text(),
                          dialog->labelText(QFileDialog::LookIn)}),
             QStringList({options.title, options.prompt, options.message,
                          QFileDialog().labelText(QFileDialog::LookIn)}));
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
    QCOMPARE(dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text(),
             QStringLiteral("evil.desktop"));
}

// Server commands end on the login page.
void TestAppWindow::pageAndServerCommands() {
    m_state->setEnvironment(ServerEnvironment::local);
    m_state->navigateTo(QStringLiteral("dashboard.html"));
    m_window->action(QStringLiteral("Use Orlavant Cloud (vault.orlavant.app)"))->trigger();
    QCOMPARE(m_state->currentUrl(), QUrl(QStringLiteral("https://vault.orlavant.app/web/login.html")));

    m_window->action(QStringLiteral("Use Local Server (127.0.0.1:8000)"))->trigger();
    QCOMPARE(m_state->currentUrl(), QUrl(QStringLiteral("http://127.0.0.1:8000/web/login.html")));
}

ORLAVANT_TEST_MAIN(TestAppWindow)
#include "tst_appwindow.moc"
