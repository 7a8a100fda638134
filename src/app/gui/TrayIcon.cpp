#include "app/gui/TrayIcon.h"

#include "app/gui/AppWindow.h"
#include "platform/Autostart.h"
#include "platform/Log.h"
#include "platform/NotificationSink.h"
#include "sync/FolderSyncManager.h"
#include "ui/FileListModel.h"
#include "ui/FolderSyncView.h"
#include "vault/SupabaseClient.h"
#include "web/DesktopActions.h"

#include <QFileInfo>
#include <QMenu>
#include <QScopedValueRollback>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QUrl>
#include <QUuid>

namespace {

const QString OpenTitle = QStringLiteral("Open Orlavant");
const QString PauseTitle = QStringLiteral("Pause Sync");
const QString ResumeTitle = QStringLiteral("Resume Sync");
const QString SyncNowTitle = QStringLiteral("Sync Now");
const QString OpenFolderTitle = QStringLiteral("Open Synced Folder");
const QString StartAtLoginTitle = QStringLiteral("Start at Login");
const QString QuitTitle = QStringLiteral("Quit Orlavant");
// Wide enough for the usual status texts; a long error is cut rather than widening the menu.
constexpr int StatusWidth = 340;

} // namespace

TrayIcon::TrayIcon(FolderSyncManager& folderSync, SupabaseClient& client, Autostart& autostart,
                   NotificationSink& notifications, DesktopActions& desktop,
                   std::function<bool()> isTrayAvailable, QObject* parent)
    : QObject(parent)
    , m_folderSync(folderSync)
    , m_client(client)
    , m_autostart(autostart)
    , m_notifications(notifications)
    , m_desktop(desktop)
    , m_isTrayAvailable(isTrayAvailable ? std::move(isTrayAvailable)
                                        : &QSystemTrayIcon::isSystemTrayAvailable) {
    buildMenu();
    for (auto signal :
         {&FolderSyncManager::isSyncingChanged, &FolderSyncManager::isSyncStoppedChanged,
          &FolderSyncManager::syncStatusMessageChanged, &FolderSyncManager::watchedFolderPathChanged})
        connect(&m_folderSync, signal, this, &TrayIcon::refresh);
    connect(&m_folderSync.progress(), &SyncProgressModel::changed, this, &TrayIcon::refresh);
    connect(&m_client, &SupabaseClient::isAuthenticatedChanged, this, &TrayIcon::refresh);
    refreshMenuChecks();

    m_availabilityTimer.setInterval(AvailabilityCheckMs);
    connect(&m_availabilityTimer, &QTimer::timeout, this, &TrayIcon::checkAvailability);
    m_availabilityTimer.start();
    checkAvailability();
}

TrayIcon::~TrayIcon() = default;

TrayIcon::State TrayIcon::stateFor(bool signedIn, bool syncing, bool paused, const QString& status) {
    if (status == SupabaseClient::SessionExpiredText ||
        status == QLatin1String("Unable to read folder contents") ||
        status.startsWith(QLatin1String("Error saving folder permissions: ")))
        return State::Error;
    if (!signedIn)
        return State::SignedOut;
    if (syncing)
        return State::Syncing;
    if (paused)
        return State::Paused;
    return State::Idle;
}

QIcon TrayIcon::icon(State state) {
    // Made once: a new QIcon for every status text would send the tray a new picture each time.
    static const QHash<State, QIcon> icons = [] {
        const auto load = [](const char* name) {
            return QIcon(QStringLiteral(":/orlavant/tray/%1.svg").arg(QLatin1String(name)));
        };
        return QHash<State, QIcon>{{State::Idle, load("idle")},
                                   {State::Syncing, load("syncing")},
                                   {State::Paused, load("paused")},
                                   {State::SignedOut, load("signed-out")},
                                   {State::Error, load("error")}};
    }();
    return icons.value(state);
}

QAction* TrayIcon::action(const QString& title) const {
    const QList<QAction*> actions = m_menu->actions();
    for (QAction* candidate : actions) {
        if (!candidate->isSeparator() && AppWindow::shownText(candidate->text()) == title)
            return candidate;
    }
    return nullptr;
}

void TrayIcon::buildMenu() {
    m_menu = std::make_unique<QMenu>();
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    m_status = m_menu->addAction(QString());
    m_status->setObjectName(QStringLiteral("trayStatus"));
    m_status->setEnabled(false);
    m_menu->addSeparator();
    m_menu->addAction(OpenTitle, this, &TrayIcon::openRequested);
    m_menu->addSeparator();
    m_pauseResume = m_menu->addAction(PauseTitle, &m_folderSync, &FolderSyncManager::toggleSync);
    m_syncNow = m_menu->addAction(SyncNowTitle, &m_folderSync, &FolderSyncManager::syncNow);
    m_openFolder = m_menu->addAction(OpenFolderTitle, this, [this] {
        if (const std::optional<QString> folder = m_folderSync.watchedFolderPath())
            m_desktop.openUrl(QUrl::fromLocalFile(*folder));
    });
    m_menu->addSeparator();
    m_startAtLogin = m_menu->addAction(StartAtLoginTitle);
    m_startAtLogin->setCheckable(true);
    connect(m_startAtLogin, &QAction::triggered, this, &TrayIcon::setStartAtLogin);
    m_menu->addSeparator();
    m_menu->addAction(QuitTitle, this, &TrayIcon::quitRequested);
    // What is read from outside the program (the autostart entry, the folder) is read afresh
    // each time the menu opens.
    connect(m_menu.get(), &QMenu::aboutToShow, this, &TrayIcon::refreshMenuChecks);
}

void TrayIcon::refresh() {
    const bool signedIn = m_client.isAuthenticated();
    const bool paused = m_folderSync.isSyncStopped();
    const QString status = m_folderSync.syncStatusMessage();
    const State state = stateFor(signedIn, m_folderSync.isSyncing(), paused, status);
    const bool stateChanged = state != m_state;
    m_state = state;

    const QString shownStatus = FileListModel::shownText(status);
    const QFontMetrics metrics(m_menu->font());
    m_status->setText(AppWindow::actionText(metrics.elidedText(shownStatus, Qt::ElideRight, StatusWidth)));
    const bool hasFolder = m_folderSync.watchedFolderPath().has_value();
    m_pauseResume->setText(paused ? ResumeTitle : PauseTitle);
    m_pauseResume->setEnabled(!paused || (signedIn && hasFolder));
    m_syncNow->setEnabled(signedIn && hasFolder && !paused);
    // A folder removed meanwhile has nothing to show.
    m_openFolder->setEnabled(hasFolder && QFileInfo(*m_folderSync.watchedFolderPath()).isDir());

    QString tip = shownStatus;
    const SyncProgressModel& progress = m_folderSync.progress();
    if (progress.isActive())
        tip += u'\n' + FolderSyncView::progressText(progress);
    // Trays show tool tips that look like markup as markup; a file name must stay a name.
    if (Qt::mightBeRichText(tip))
        tip = Qt::convertFromPlainText(tip);
    const bool tipChanged = tip != m_toolTip;
    m_toolTip = tip;
    if (m_icon) {
        if (stateChanged)
            m_icon->setIcon(icon(m_state));
        if (tipChanged)
            m_icon->setToolTip(m_toolTip);
    }
}

void TrayIcon::refreshMenuChecks() {
    m_startAtLogin->setChecked(m_autostart.isEnabled());
    refresh();
}

void TrayIcon::setStartAtLogin(bool enabled) {
    QString error;
    if (!m_autostart.setEnabled(enabled, &error)) {
        logLine(QStringLiteral("[Orlavant] Start at Login could not be changed: ") + error);
        notify(enabled ? QStringLiteral("Start at Login could not be turned on")
                       : QStringLiteral("Start at Login could not be turned off"),
               error);
    }
    m_startAtLogin->setChecked(m_autostart.isEnabled());
    emit startAtLoginChosen(enabled);
}

void TrayIcon::notify(const QString& subtitle, const QString& body) {
    DesktopNotification notification;
    notification.title = QStringLiteral("Orlavant");
    notification.subtitle = subtitle;
    notification.body = body;
    notification.identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_notifications.post(notification);
}

void TrayIcon::checkAvailability() {
    // Docking an icon may run the event loop, and with it this check again.
    if (m_makingIcon)
        return;
    const QScopedValueRollback making(m_makingIcon, true);
    const bool available = m_isTrayAvailable();
    if (available == m_available && (m_icon != nullptr) == available)
        return;
    m_available = available;
    // Made anew when a tray appears: the desktop may have brought a different kind of tray.
    m_icon.reset();
    if (available) {
        m_icon = std::make_unique<QSystemTrayIcon>(icon(m_state));
        m_icon->setToolTip(m_toolTip);
        m_icon->setContextMenu(m_menu.get());
        connect(m_icon.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                        emit openRequested();
                });
        m_icon->show();
    }
    logLine(available ? QStringLiteral("[Orlavant] Showing the icon in the desktop's system tray.")
                      : QStringLiteral("[Orlavant] The desktop has no system tray; start Orlavant again to "
                                       "open its window."));
    emit availabilityChanged(available);
}
