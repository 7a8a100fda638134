#pragma once

#include <QIcon>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class Autostart;
class DesktopActions;
class FolderSyncManager;
class NotificationSink;
class QAction;
class QMenu;
class QSystemTrayIcon;
class SupabaseClient;

// Orlavant in the desktop's system tray (StatusNotifierItem where the desktop offers it, the
// XEmbed tray otherwise): the engine's state as its icon, the status line and the progress of a
// running pass as its tool tip, and a menu for what one does without the window: the status
// line, Open Orlavant, Pause Sync or Resume Sync, Sync Now, Open Synced Folder, Start at Login
// and Quit Orlavant. A click opens the window.
//
// A tray can come and go while the program runs (a panel that starts late or restarts): it is
// looked for every few seconds and the icon is made again when one appears.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    enum class State { Idle, Syncing, Paused, SignedOut, Error };
    static constexpr int AvailabilityCheckMs = 5000;

    // `isTrayAvailable` tells whether the desktop has a tray now (QSystemTrayIcon's own answer
    // when empty).
    TrayIcon(FolderSyncManager& folderSync, SupabaseClient& client, Autostart& autostart,
             NotificationSink& notifications, DesktopActions& desktop,
             std::function<bool()> isTrayAvailable = {}, QObject* parent = nullptr);
    ~TrayIcon() override;

    // The state the icon shows for what the engine says. An expired session, a folder that
    // cannot be read and a folder that could not be set are errors; they outrank the rest.
    static State stateFor(bool signedIn, bool syncing, bool paused, const QString& status);
    static QIcon icon(State state);

    State state() const { return m_state; }
    QString toolTip() const { return m_toolTip; }
    QMenu& menu() const { return *m_menu; }
    // The menu entry shown with this title (the status line is the first entry); nullptr if none.
    QAction* action(const QString& title) const;
    // The icon in the tray; nullptr while the desktop has none.
    QSystemTrayIcon* systemTrayIcon() const { return m_icon.get(); }
    bool isAvailable() const { return m_available; }

    // Looks whether the desktop has a tray now and makes or drops the icon to match.
    void checkAvailability();
    // A desktop notification from Orlavant itself (not about a file).
    void notify(const QString& subtitle, const QString& body);

Q_SIGNALS:
    void openRequested();
    void quitRequested();
    void availabilityChanged(bool available);
    // The user switched Start at Login on or off in the menu.
    void startAtLoginChosen(bool enabled);

private:
    void buildMenu();
    void refresh();
    void refreshMenuChecks();
    void setStartAtLogin(bool enabled);

    FolderSyncManager& m_folderSync;
    SupabaseClient& m_client;
    Autostart& m_autostart;
    NotificationSink& m_notifications;
    DesktopActions& m_desktop;
    std::function<bool()> m_isTrayAvailable;

    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QAction* m_status = nullptr;
    QAction* m_pauseResume = nullptr;
    QAction* m_syncNow = nullptr;
    QAction* m_openFolder = nullptr;
    QAction* m_startAtLogin = nullptr;
    State m_state = State::SignedOut;
    QString m_toolTip;
    bool m_available = false;
    bool m_makingIcon = false;
    QTimer m_availabilityTimer;
};
