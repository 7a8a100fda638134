#include "web/DesktopActions.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

void SystemDesktopActions::playSound(const QString& name) {
    // The sound theme has no "Glass"; its event for a finished task is the nearest match.
    const QString eventId = name == QLatin1String("Glass") ? QStringLiteral("complete") : name.toLower();
    const QString player = QStandardPaths::findExecutable(QStringLiteral("canberra-gtk-play"));
    if (!player.isEmpty() && QProcess::startDetached(player, {QStringLiteral("--id=") + eventId,
                                                              QStringLiteral("--description=Orlavant")}))
        return;
    QApplication::beep();
}

void SystemDesktopActions::revealFile(const QString& path) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    // Asked without waiting: a file manager that is slow to start must not freeze the window.
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [path](QDBusPendingCallWatcher* self) {
                         self->deleteLater();
                         // No file manager speaks the interface: at least show the folder.
                         if (self->isError())
                             QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
                     });
}

void SystemDesktopActions::openUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}
