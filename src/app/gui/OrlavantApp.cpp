#include "app/gui/OrlavantApp.h"

#include "app/AppState.h"
#include "app/CoreServices.h"
#include "app/gui/AppWindow.h"
#include "app/gui/MainWindow.h"
#include "app/gui/QtDialogs.h"
#include "app/gui/TrayIcon.h"
#include "platform/Autostart.h"
#include "platform/Clock.h"
#include "platform/DbusNotificationSink.h"
#include "platform/Log.h"
#include "web/DesktopActions.h"
#include "web/WebViewBox.h"

#include <QApplication>
#include <QIcon>

const QString OrlavantApp::BackgroundNoticeKey = QStringLiteral("orlavant_background_notice_shown");
const QString OrlavantApp::AutostartOfferedKey = QStringLiteral("orlavant_autostart_offered");

OrlavantApp::OrlavantApp()
    : OrlavantApp(Options()) {}

OrlavantApp::OrlavantApp(const Options& options)
    : m_options(options) {
    // The resources live in a static library: register them before the first lookup.
    Q_INIT_RESOURCE(resources);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/orlavant/orlavant.svg")));
    // The window is not the program: hiding it (or closing a dialog while it is hidden) ends nothing.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!options.clock)
        m_systemClock = std::make_unique<SystemClock>();
    m_clock = options.clock ? options.clock : m_systemClock.get();
    if (!options.dialogs)
        m_qtDialogs = std::make_unique<QtDialogs>();
    m_dialogs = options.dialogs ? options.dialogs : m_qtDialogs.get();
    if (!options.notificationSink)
        m_dbusSink = std::make_unique<DbusNotificationSink>();
    m_notificationSink = options.notificationSink ? options.notificationSink : m_dbusSink.get();
    if (!options.desktop)
        m_systemDesktop = std::make_unique<SystemDesktopActions>();
    m_desktop = options.desktop ? options.desktop : m_systemDesktop.get();

    CoreServices::Options core;
    if (!options.settingsPath.isEmpty())
        core.settingsPath = options.settingsPath;
    if (!options.ledgerDirectory.isEmpty())
        core.ledgerDirectory = options.ledgerDirectory;
    core.dialogs = m_dialogs;
    core.notificationSink = m_notificationSink;
    core.clock = options.clock;
    m_services = std::make_unique<CoreServices>(core);
    m_autostart = std::make_unique<Autostart>(
        options.autostartDirectory.isEmpty() ? Autostart::defaultDirectory() : options.autostartDirectory,
        options.executable);

    m_appState = std::make_unique<AppState>(m_services->folderSync, m_services->client, m_services->http);
    m_webViewBox = std::make_unique<WebViewBox>(m_appState->resolveWebDirectory());
    auto* content = new MainWindow(*m_appState, *m_webViewBox, m_services->client, m_services->folderSync,
                                   *m_dialogs, *m_clock);
    m_window = std::make_unique<AppWindow>(*m_appState, *m_webViewBox, content);
    if (m_qtDialogs)
        m_qtDialogs->setParentWindow(m_window.get());
    connect(m_window.get(), &AppWindow::quitRequested, this, &OrlavantApp::quitRequested);
    connect(m_window.get(), &AppWindow::closedToBackground, this, &OrlavantApp::onClosedToBackground);

    m_tray = std::make_unique<TrayIcon>(m_services->folderSync, m_services->client, *m_autostart,
                                        *m_notificationSink, *m_desktop, options.isTrayAvailable);
    connect(m_tray.get(), &TrayIcon::openRequested, this, &OrlavantApp::showWindow);
    connect(m_tray.get(), &TrayIcon::quitRequested, this, &OrlavantApp::quitRequested);
    // Once the user has chosen, the program never chooses for them again.
    connect(m_tray.get(), &TrayIcon::startAtLoginChosen, this,
            [this] { m_services->settings.setBool(AutostartOfferedKey, true); });
    connect(&m_services->folderSync, &FolderSyncManager::isSyncStoppedChanged, this,
            &OrlavantApp::offerStartAtLogin);
}

// The window and the tray go first: they hold references to everything below them.
OrlavantApp::~OrlavantApp() {
    m_tray.reset();
    m_window.reset();
}

void OrlavantApp::start() {
    FolderSyncManager& folderSync = m_services->folderSync;
    // Left unpaused, the engine was syncing when the program ended (at logout, say): a program
    // started at login that waited for a button nobody presses would sync nothing all day.
    if (m_services->client.isAuthenticated() && !folderSync.isSyncStopped() &&
        folderSync.watchedFolderPath()) {
        folderSync.startSync();
        offerStartAtLogin();
    }
    if (m_options.startInBackground) {
        logLine(QStringLiteral("[Orlavant] Running in the background."));
    } else {
        showWindow();
        logLine(QStringLiteral("[Orlavant] Running; the window is shown."));
    }
}

void OrlavantApp::showWindow() {
    if (m_window->isMinimized())
        m_window->showNormal();
    else
        m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void OrlavantApp::onClosedToBackground() {
    Settings& settings = m_services->settings;
    if (settings.boolean(BackgroundNoticeKey).value_or(false))
        return;
    settings.setBool(BackgroundNoticeKey, true);
    const QString howToOpen =
        m_tray->isAvailable()
            ? QStringLiteral("To open it again, click its icon in the system tray; to stop it, choose Quit "
                             "Orlavant there.")
            : QStringLiteral("To open it again, start Orlavant once more; to stop it, choose Quit Orlavant "
                             "(Ctrl+Q) in its window.");
    m_tray->notify(
        QStringLiteral("Orlavant keeps syncing in the background"),
        QStringLiteral("Closing the window leaves Orlavant running, so your folder stays in sync. ") +
            howToOpen);
}

// The first time sync starts, Orlavant starts at login too; a user who turns that off keeps it off.
void OrlavantApp::offerStartAtLogin() {
    Settings& settings = m_services->settings;
    if (m_services->folderSync.isSyncStopped() || settings.boolean(AutostartOfferedKey).value_or(false))
        return;
    settings.setBool(AutostartOfferedKey, true);
    QString error;
    if (m_autostart->setEnabled(true, &error))
        logLine(QStringLiteral("[Orlavant] Orlavant now starts at login (Start at Login in its tray menu)."));
    else
        logLine(QStringLiteral("[Orlavant] Start at Login could not be turned on: ") + error);
}
