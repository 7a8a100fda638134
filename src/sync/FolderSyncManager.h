#pragma once

#include "sync/DigestCache.h"
#include "sync/FailureBackoff.h"
#include "sync/SyncActivityModel.h"
#include "sync/SyncProgressModel.h"
#include "sync/SyncReporter.h"
#include "vault/SupabaseRecords.h"

#include <QDateTime>
#include <QFuture>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QFileSystemWatcher;
class QTimer;

class Clock;
class Dialogs;
class HttpClient;
class MacNotificationHelper;
class Settings;
class SupabaseClient;
class SyncLedger;
class SyncPass;

// The folder sync engine: which folder is watched, whether sync is paused, what to show the
// user, and when a scan-and-upload pass (SyncPass) runs, on the engine's own serial thread,
// one at a time. The pass reports through reporter(); the engine turns its reports into the
// status texts, counters, callbacks and notifications. Every public operation is called on the
// main thread; observable properties change there.
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
    // `http` is asked how many file body bytes it has sent, for progress; `clock` times the
    // waits of files whose sync failed and stamps the end of each pass.
    FolderSyncManager(Settings& settings, SupabaseClient& client, SyncLedger& ledger,
                      MacNotificationHelper& notifications, Dialogs& dialogs, const Clock& clock,
                      HttpClient& http, QObject* parent = nullptr);
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
    // A pass is queued or running (isSyncing covers only the part the screens show).
    bool isScanning() const { return m_isScanning; }

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
    // What the user asks for with "Sync Now": files waiting after a failure are due at once,
    // and a pass runs (after the running one, if any).
    void syncNow();
    void handleLogin(const SupabaseSession& session);
    void handleLogout();
    // The vault client's session has expired for good: no pass runs until the next sign-in, the
    // status line and one notification say so. The folder, the stored pause flag and the ledger
    // stay; when the same account signs in again, sync goes on as it was (running if it ran).
    void handleSessionExpired(const QString& email);
    void notifyStatusPublic();

    // SHA-256 of the file as 64 lower-case hex digits; nullopt when it cannot be read.
    static std::optional<QString> computeSha256(const QString& filePath);

    // The name this computer reports to the vault; deviceDisplayName() unless set.
    QString deviceName() const;
    void setDeviceName(const QString& name);

    // At most this many per-file upload notifications per pass; the summary covers the rest.
    static constexpr int MaxFileNotificationsPerPass = 10;
    // How many files a pass has in transfer at once: the setting "orlavant_parallel_transfers",
    // kept within 1 to 8; 4 when it is missing or not a number.
    static constexpr int DefaultParallelTransfers = 4;
    static constexpr int MaxParallelTransfers = 8;
    int parallelTransfers() const;

    // Every event and the progress of the passes, delivered to the main thread in batches (at
    // most ten a second by default): the seam for progress displays and activity lists.
    SyncReporter& reporter() { return m_reporter; }
    // The running pass's progress and this run's file events, as the screens and the tray show
    // them; they live as long as the engine, whichever screen comes and goes.
    SyncProgressModel& progress() { return m_progress; }
    SyncActivityModel& activity() { return m_activity; }

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

private:
    struct WorkItem {
        quint64 passId = 0;
        std::atomic<bool> cancelled{false};
    };

    void restoreSavedFolder();
    // Makes the ledger the signed-in account's: another account's is set aside for it.
    void claimLedgerFor(const QString& userId);
    void startMonitoring(const QString& folderPath);
    void startPeriodicSync();
    void haltSyncAndReleaseWatchers();
    void notifyStatus();
    // Runs on the sync thread.
    void runPass(const std::shared_ptr<WorkItem>& workItem, const QString& folderPath, int parallelTransfers);
    // Main thread: the pass's reports become texts, counters, callbacks and notifications.
    void applyReport(const SyncReportBatch& batch);
    void applyOutcome(const FileOutcome& outcome);
    void endPass(const SyncEvent& ended, bool current);
    // Runs `step` on the main thread, later.
    void onMainThread(std::function<void()> step);

    void setWatchedFolder(const std::optional<QString>& folderPath);
    void setIsSyncing(bool value);
    void setIsSyncStopped(bool value);
    void setSyncStatusMessage(const QString& value);
    void setLastSyncTime(const QDateTime& value);
    void setTotalSyncedCount(int value);
    void setDeduplicatedCount(int value);

    Settings& m_settings;
    SupabaseClient& m_client;
    SyncLedger& m_ledger;
    MacNotificationHelper& m_notifications;
    Dialogs& m_dialogs;
    const Clock& m_clock;
    SyncReporter m_reporter;
    SyncProgressModel m_progress{m_reporter, m_clock};
    SyncActivityModel m_activity{m_reporter};
    DigestCache m_digests;
    FailureBackoff m_backoff;

    // Read by the pass between files, written on the main thread.
    mutable QMutex m_folderMutex;
    std::optional<QString> m_watchedFolder;
    mutable QMutex m_deviceMutex;
    QString m_deviceName;
    std::atomic<bool> m_isSyncStopped{true};
    std::atomic<bool> m_cancelRequested{false};
    std::atomic<bool> m_isScanning{false};
    std::atomic<bool> m_shuttingDown{false};

    // Main thread only.
    bool m_isSyncing = false;
    QString m_syncStatusMessage;
    std::optional<QDateTime> m_lastSyncTime;
    int m_totalSyncedCount = 0;
    int m_deduplicatedCount = 0;
    bool m_isAccessingFolder = false;
    bool m_sessionExpired = false;
    bool m_resumeAfterSignIn = false; // sync was running when the session expired
    QTimer* m_scanTimer = nullptr;
    QFileSystemWatcher* m_folderWatcher = nullptr;
    std::shared_ptr<WorkItem> m_activeWorkItem; // the pass queued or running, unless cancelled
    quint64 m_lastPassId = 0;
    bool m_followUpRequested = false; // a trigger came while a pass ran: one more pass follows

    QSet<QString> m_reportedUndecodable; // sync thread only

    QThread m_syncThread;
    QObject* m_syncQueue = nullptr; // lives on m_syncThread; passes are queued to it
    QMutex m_passMutex;
    SyncPass* m_runningPass = nullptr; // guarded by m_passMutex
};
