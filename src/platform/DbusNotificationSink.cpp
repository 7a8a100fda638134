#include "platform/DbusNotificationSink.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

DbusNotificationSink::DbusNotificationSink(QObject* parent)
    : QObject(parent) {}

// The freedesktop service has no permission step: a reachable service is the permission.
void DbusNotificationSink::requestAuthorization(AuthorizationCompletion completion) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        completion(false, bus.lastError().isValid() ? bus.lastError().message()
                                                    : QStringLiteral("No session bus is available."));
        return;
    }
    const QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("GetServerInformation"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [completion](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (w->isError())
            completion(false, w->error().message());
        else
            completion(true, std::nullopt);
    });
}

QString DbusNotificationSink::wireBody(const DesktopNotification& notification) {
    QString body = notification.body.toHtmlEscaped();
    // The service has no subtitle line; it leads the body.
    if (notification.subtitle && !notification.subtitle->isEmpty())
        body = notification.subtitle->toHtmlEscaped() + QLatin1Char('\n') + body;
    return body;
}

void DbusNotificationSink::post(const DesktopNotification& notification) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        reportPostFailure(QStringLiteral("No session bus is available."));
        return;
    }
    QVariantMap hints;
    if (notification.playSound)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    else
        hints.insert(QStringLiteral("suppress-sound"), true);
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    // replaces_id 0 asks the service for a new notification every time.
    call << QStringLiteral("Orlavant") << uint(0) << QStringLiteral("orlavant") << notification.title
         << wireBody(notification) << QStringList() << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (w->isError())
            reportPostFailure(w->error().message());
    });
}

void DbusNotificationSink::reportPostFailure(const QString& error) {
    if (m_reportedFailure.exchange(true))
        return;
    logLine(QStringLiteral("[Notifications] Notifications cannot be shown: ") + error);
}
