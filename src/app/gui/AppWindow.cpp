#include "app/gui/AppWindow.h"

#include "app/AppState.h"
#include "ui/OrlavantTheme.h"
#include "web/WebViewBox.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenuBar>

AppWindow::AppWindow(AppState& appState, WebViewBox& webViewBox, QWidget* content, QWidget* parent)
    : QMainWindow(parent)
    , m_appState(appState)
    , m_webViewBox(webViewBox) {
    setWindowTitle(QStringLiteral("Orlavant"));
    setObjectName(QStringLiteral("AppWindow"));
    setMinimumSize(1020, 680);
    resize(1180, 760);
    setStyleSheet(QStringLiteral("QMainWindow#AppWindow { background: %1; }")
                      .arg(OrlavantTheme::css(OrlavantTheme::bg)));
    setCentralWidget(content);
    buildApplicationMenu();
    buildNavigationMenu();
    buildServerMenu();
}

QString AppWindow::shownText(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('&'))
            shown += text.at(i);
        else if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('&'))
            shown += text.at(++i);
    }
    return shown;
}

// Qt reads a lone "&" as the mark of a mnemonic, so a title's own ampersands are doubled.
QString AppWindow::actionText(const QString& title) {
    return QString(title).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

void AppWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    hide();
    emit closedToBackground();
}

QAction* AppWindow::action(const QString& title) const {
    const QList<QAction*> actions = findChildren<QAction*>();
    for (QAction* candidate : actions) {
        if (shownText(candidate->text()) == title)
            return candidate;
    }
    return nullptr;
}

// The desktop's counterpart of the application menu the program has on its home platform.
void AppWindow::buildApplicationMenu() {
    QMenu* menu = menuBar()->addMenu(QStringLiteral("Orlavant"));
    QAction* quit = menu->addAction(QStringLiteral("Quit Orlavant"), QKeySequence(Qt::CTRL | Qt::Key_Q), this,
                                    &AppWindow::quitRequested);
    quit->setMenuRole(QAction::QuitRole);
}

void AppWindow::buildNavigationMenu() {
    QMenu* menu = menuBar()->addMenu(QStringLiteral("Navigation"));

    QAction* back = menu->addAction(QStringLiteral("Go Back"), QKeySequence(Qt::CTRL | Qt::Key_BracketLeft),
                                    &m_webViewBox, &WebViewBox::goBack);
    back->setEnabled(m_appState.canGoBack());
    connect(&m_appState, &AppState::canGoBackChanged, back,
            [this, back] { back->setEnabled(m_appState.canGoBack()); });

    QAction* forward =
        menu->addAction(QStringLiteral("Go Forward"), QKeySequence(Qt::CTRL | Qt::Key_BracketRight),
                        &m_webViewBox, &WebViewBox::goForward);
    forward->setEnabled(m_appState.canGoForward());
    connect(&m_appState, &AppState::canGoForwardChanged, forward,
            [this, forward] { forward->setEnabled(m_appState.canGoForward()); });

    menu->addAction(QStringLiteral("Reload Page"), QKeySequence(Qt::CTRL | Qt::Key_R), &m_webViewBox,
                    &WebViewBox::reload);
    menu->addSeparator();

    const struct {
        const char* title;
        Qt::Key key;
        const char* page;
    } pages[] = {
        {"Dashboard", Qt::Key_1, "dashboard.html"},
        {"Plans & Registration", Qt::Key_2, "register.html"},
        {"Login", Qt::Key_3, "login.html"},
        {"Admin CRM", Qt::Key_4, "admin.html"},
    };
    for (const auto& entry : pages) {
        const QString page = QString::fromLatin1(entry.page);
        menu->addAction(actionText(QString::fromUtf8(entry.title)), QKeySequence(Qt::CTRL | entry.key), this,
                        [this, page] { openPage(page); });
    }
}

void AppWindow::buildServerMenu() {
    QMenu* menu = menuBar()->addMenu(QStringLiteral("Server"));
    menu->addAction(QStringLiteral("Check Server Health"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K),
                    &m_appState, &AppState::checkHealth);
    menu->addSeparator();

    const struct {
        QString title;
        ServerEnvironment environment;
    } switches[] = {
        {QStringLiteral("Use Local Server (127.0.0.1:8000)"), ServerEnvironment::local},
        {QStringLiteral("Use Orlavant Cloud (%1)").arg(Production::hostName), ServerEnvironment::production},
    };
    for (const auto& entry : switches) {
        const ServerEnvironment environment = entry.environment;
        menu->addAction(actionText(entry.title), this, [this, environment] {
            // Always lands on the new server's login page, whatever page the switch kept.
            m_appState.setEnvironment(environment);
            openPage(QStringLiteral("login.html"));
        });
    }
}

void AppWindow::openPage(const QString& page) {
    m_appState.navigateTo(page);
    loadCurrentUrl();
}

void AppWindow::loadCurrentUrl() {
    if (const std::optional<QUrl> url = m_appState.currentUrl())
        m_webViewBox.load(*url);
}
