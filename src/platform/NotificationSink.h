#pragma once

#include <QString>
#include <functional>
#include <optional>

// One desktop notification, delivered at once. `identifier` is new for every notification so
// that none replaces another.
struct DesktopNotification {
    QString title;
    std::optional<QString> subtitle;
    QString body; // plain text; a sink that speaks markup escapes it
    bool playSound = false;
    QString identifier;
};

// Where notifications go: the desktop's notification service in the application, a recording
// sink in tests.
class NotificationSink {
public:
    // `granted` is meaningful only when `error` is empty.
    using AuthorizationCompletion = std::function<void(bool granted, const std::optional<QString>& error)>;

    virtual ~NotificationSink() = default;
    // Asks whether notifications may be shown; the completion may run on any thread.
    virtual void requestAuthorization(AuthorizationCompletion completion) = 0;
    // Fire and forget: failures are the sink's business.
    virtual void post(const DesktopNotification& notification) = 0;
};
