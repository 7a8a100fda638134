#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class AppState;
class AppWindow;
class Autostart;
class Clock;
class CoreServices;
class DbusNotificationSink;
class DesktopActions;
class Dialogs;
class NotificationSink;
class QtDialogs;
class SystemClock;
class TrayIcon;
class WebViewBox;

// The application entry: builds everything once, in the order the rest relies on, and owns
// it for the whole run. The program outlives its window: closing the window hides it (the
// first time, a notification says how to get it back), the engine goes on syncing, and only
// "Quit Orlavant" (the window's Orlavant menu, Ctrl+Q, the tray menu) asks for the end.
class OrlavantApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Started at login: the tray icon only, no window.
        bool startInBackground = false;
        // Where the settings, the ledger and the autostart entry live; the user's own when empty.
        QString settingsPath;
        QString ledgerDirectory;
        QString autostartDirectory;
        // What the autostart entry starts; this program when empty.
        QString executable;
        // Stand-ins (tests); the desktop's own when null or empty.
        Dialogs* dialogs = nullptr;
        NotificationSink* notificationSink = nullptr;
        DesktopActions* desktop = nullptr;
        const Clock* clock = nullptr;
        std::function<bool()> isTrayAvailable;
    };

    // Keys of the settings store this class writes.
    static const QString BackgroundNoticeKey; // the first-close notification has been shown
    static const QString AutostartOfferedKey; // Start at Login has been set up (or chosen) once

    OrlavantApp();
    explicit OrlavantApp(const Options& options);
    ~OrlavantApp() override;

    AppWindow& window() const { return *m_window; }
    AppState& appState() const { return *m_appState; }
    CoreServices& services() const { return *m_services; }
    TrayIcon& tray() const { return *m_tray; }
    Autostart& autostart() const { return *m_autostart; }

    // Shows the window (or, started in the background, leaves it hidden) and picks sync up
    // where it was: a signed-in engine that was syncing when the program ended syncs again.
    void start();
    // Brings the window up, from hidden or minimised, and to the front.
    void showWindow();

Q_SIGNALS:
    // The user asked for the program's end.
    void quitRequested();

private:
    void onClosedToBackground();
    void offerStartAtLogin();

    Options m_options;
    std::unique_ptr<SystemClock> m_systemClock;
    std::unique_ptr<QtDialogs> m_qtDialogs;
    std::unique_ptr<DbusNotificationSink> m_dbusSink;
    std::unique_ptr<DesktopActions> m_systemDesktop;
    const Clock* m_clock = nullptr;
    Dialogs* m_dialogs = nullptr;
    NotificationSink* m_notificationSink = nullptr;
    DesktopActions* m_desktop = nullptr;
    std::unique_ptr<CoreServices> m_services;
    std::unique_ptr<Autostart> m_autostart;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<WebViewBox> m_webViewBox;
    std::unique_ptr<AppWindow> m_window;
    std::unique_ptr<TrayIcon> m_tray;
};
