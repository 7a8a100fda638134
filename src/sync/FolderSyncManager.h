#pragma once

#include "vault/SupabaseRecords.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class Dialogs;
class MacNotificationHelper;
class Settings;
class SupabaseClient;
class SyncLedger;

// The folder sync engine: which folder is watched, whether sync is paused, what to show the
// user, and when a scan-and-upload pass runs (on its own serial thread, one at a time).
// Every public operation is called on the main thread; observable properties change there.
//
// NOTE for the sync engine's owner: the public interface below is what the screens, the web
// bridge and the application state use. Private members are yours to shape.
class FolderSyncManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString watchedFolderPath READ watchedFolderPathText NOTIFY watchedFolderPathChanged)
    Q_PROPERTY(bool isSyncing READ isSyncing NOTIFY isSyncingChanged)
    Q_PROPERTY(bool isSyncStopped READ isSyncStopped NOTIFY isSyncStoppedChanged)
    Q_PROPERTY(QString syncStatusMessage READ syncStatusMessage NOTIFY syncStatusMessageChanged)
    Q_PROPERTY(QDateTime lastSyncTime READ lastSyncTimeValue NOTIFY lastSyncTimeChanged)
    Q_PROPERTY(int totalSyncedCount READ totalSyncedCount NOTIFY totalSyncedCountChanged)
    Q_PROPERTY(int deduplicatedCount READ deduplicatedCount NOTIFY deduplicatedCountChanged)

public:
    FolderSyncManager(Settings& settings, SupabaseClient& client, SyncLedger& ledger,
                      MacNotificationHelper& notifications, Dialogs& dialogs, QObject* parent = nullptr);
    ~FolderSyncManager() override; // cancels and waits for a running pass

    std::optional<QString> watchedFolderPath() const;
    QString watchedFolderPathText() const { return watchedFolderPath().value_or(QString()); }
    bool isSyncing() const;
    bool isSyncStopped() const;
    QString syncStatusMessage() const;
    std::optional<QDateTime> lastSyncTime() const;
    QDateTime lastSyncTimeValue() const { return lastSyncTime().value_or(QDateTime()); }
    int totalSyncedCount() const;
    int deduplicatedCount() const;

    // Base address offered to the web bridge; the engine never reads it.
    QString apiBaseUrl = QStringLiteral("http://127.0.0.1:8000");
    // Called on the main thread per uploaded or deduplicated file.
    std::function<void(const QString& fileName, bool isDuplicate)> onFileSynced;
    // Called on the main thread by notifyStatus().
    std::function<void(const std::optional<QString>& folderPath, bool hasFolder, int syncedCount,
                       const QString& status, bool paused)>
        onStatusChanged;

    void startSync();
    void stopSync();
    void toggleSync();
    void promptChooseFolder();
    void changeFolder(const QString& folderPath);
    void triggerFolderScan();
    void handleLogin(const SupabaseSession& session);
    void handleLogout();
    void notifyStatusPublic();

    // SHA-256 of the file as 64 lower-case hex digits; nullopt when it cannot be read.
    static std::optional<QString> computeSha256(const QString& filePath);

Q_SIGNALS:
    void watchedFolderPathChanged();
    void isSyncingChanged();
    void isSyncStoppedChanged();
    void syncStatusMessageChanged();
    void lastSyncTimeChanged();
    void totalSyncedCountChanged();
    void deduplicatedCountChanged();
    // Emitted on the main thread when a pass has ended (whatever its outcome); for observers
    // and tests that wait for a pass.
    void passFinished();
};
