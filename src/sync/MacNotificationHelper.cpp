#include "sync/MacNotificationHelper.h"

#include "platform/Log.h"
#include "platform/NotificationSink.h"
#include "vault/SupabaseClient.h"

#include <QStringList>
#include <QUuid>

namespace {

const QString OpenQuote = QStringLiteral("\u201C");
const QString CloseQuote = QStringLiteral("\u201D");

DesktopNotification makeNotification(const QString& title, std::optional<QString> subtitle,
                                     const QString& body, bool playSound) {
    DesktopNotification notification;
    notification.title = title;
    notification.subtitle = std::move(subtitle);
    notification.body = body;
    notification.playSound = playSound;
    notification.identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return notification;
}

} // namespace

MacNotificationHelper::MacNotificationHelper(NotificationSink& sink)
    : m_sink(sink) {
    requestPermission();
}

void MacNotificationHelper::requestPermission() {
    if (m_hasRequestedPermission)
        return;
    m_hasRequestedPermission = true;
    m_sink.requestAuthorization([](bool granted, const std::optional<QString>& error) {
        if (error)
            logLine(QStringLiteral("[Notifications] Authorization error: ") + *error);
        else
            logLine(QStringLiteral("[Notifications] Permission granted: ") +
                    (granted ? QStringLiteral("true") : QStringLiteral("false")));
    });
}

void MacNotificationHelper::notifyFileUploaded(const QString& fileName) {
    m_sink.post(makeNotification(
        QStringLiteral("Orlavant Cloud Sync"), QStringLiteral("New file uploaded securely"),
        OpenQuote + fileName + CloseQuote + QStringLiteral(" was added to your family cloud vault."), true));
}

void MacNotificationHelper::notifyDuplicateSkipped(const QString& fileName) {
    m_sink.post(
        makeNotification(QStringLiteral("Orlavant Deduplication"), QStringLiteral("Duplicate file skipped"),
                         OpenQuote + fileName + CloseQuote +
                             QStringLiteral(" already exists in your cloud vault (identical SHA-256)."),
                         false));
}

QString MacNotificationHelper::batchBody(int uploadedCount, int skippedCount) {
    if (uploadedCount < 1 && skippedCount < 1)
        return {};
    QStringList phrases;
    if (uploadedCount > 0)
        phrases.append(QString::number(uploadedCount) + QStringLiteral(" new file(s) uploaded"));
    if (skippedCount >= 1)
        phrases.append(QString::number(skippedCount) + QStringLiteral(" duplicate(s) skipped"));
    return phrases.join(QStringLiteral(", ")) + QLatin1Char('.');
}

void MacNotificationHelper::notifyBatchComplete(int uploadedCount, int skippedCount) {
    const QString body = batchBody(uploadedCount, skippedCount);
    if (body.isEmpty())
        return;
    m_sink.post(makeNotification(QStringLiteral("Orlavant Auto-Sync Complete"), std::nullopt, body, true));
}

void MacNotificationHelper::notifySessionExpired(const QString& email) {
    const QString who = email.isEmpty() ? QString() : QStringLiteral(" as ") + OpenQuote + email + CloseQuote;
    m_sink.post(makeNotification(QStringLiteral("Orlavant Cloud Sync"), SupabaseClient::SessionExpiredText,
                                 QStringLiteral("Sync is paused until you sign in again") + who +
                                     QStringLiteral(". Your folder and its sync history are kept."),
                                 true));
}
