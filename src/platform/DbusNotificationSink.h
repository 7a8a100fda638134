#pragma once

#include "platform/NotificationSink.h"

#include <QObject>
#include <atomic>

// Posts through the freedesktop notification service (org.freedesktop.Notifications) on the
// session bus. Without a bus or a service (CI, a bare session) the first failure is logged and
// later posts carry on silently.
class DbusNotificationSink final : public QObject, public NotificationSink {
    Q_OBJECT
public:
    explicit DbusNotificationSink(QObject* parent = nullptr);

    void requestAuthorization(AuthorizationCompletion completion) override;
    void post(const DesktopNotification& notification) override;

    // The body as sent on the bus: notification servers render a subset of HTML, so markup
    // characters in file names must arrive as text.
    static QString wireBody(const DesktopNotification& notification);

private:
    void reportPostFailure(const QString& error);

    std::atomic<bool> m_reportedFailure{false};
};
