#pragma once

#include "platform/NotificationSink.h"

#include <QList>
#include <QMutex>

// Keeps every posted notification for assertions; authorization answers as scripted.
class RecordingNotificationSink final : public NotificationSink {
public:
    bool grant = true;
    std::optional<QString> authorizationError;

    void requestAuthorization(AuthorizationCompletion completion) override {
        {
            QMutexLocker lock(&m_mutex);
            ++m_authorizationRequests;
        }
        completion(grant, authorizationError);
    }
    void post(const DesktopNotification& notification) override {
        QMutexLocker lock(&m_mutex);
        m_posted.append(notification);
    }

    QList<DesktopNotification> posted() const {
        QMutexLocker lock(&m_mutex);
        return m_posted;
    }
    int authorizationRequests() const {
        QMutexLocker lock(&m_mutex);
        return m_authorizationRequests;
    }
    void clear() {
        QMutexLocker lock(&m_mutex);
        m_posted.clear();
    }

private:
    mutable QMutex m_mutex;
    QList<DesktopNotification> m_posted;
    int m_authorizationRequests = 0;
};
