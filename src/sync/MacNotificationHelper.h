#pragma once

#include <QString>

class NotificationSink;

// The sync engine's desktop notifications: one per uploaded file and one summary per pass that
// did something. Called on the main thread.
class MacNotificationHelper {
public:
    // Asks for permission once, at creation.
    explicit MacNotificationHelper(NotificationSink& sink);

    void requestPermission();
    void notifyFileUploaded(const QString& fileName);
    void notifyDuplicateSkipped(const QString& fileName);
    void notifyBatchComplete(int uploadedCount, int skippedCount);
    // The session has expired for good: sync waits for the user to sign in again.
    void notifySessionExpired(const QString& email);

    // The summary's body; empty when there is nothing to report.
    static QString batchBody(int uploadedCount, int skippedCount);

private:
    NotificationSink& m_sink;
    bool m_hasRequestedPermission = false;
};
