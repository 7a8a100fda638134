#include "sync/FolderSyncManager.h"

#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/FolderBookmark.h"
#include "platform/HostName.h"
#include "platform/HttpClient.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "sync/FileScanner.h"
#include "sync/MacNotificationHelper.h"
#include "sync/SyncLedger.h"
#include "sync/SyncPass.h"
#include "vault/SupabaseClient.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

namespace {

const QString BookmarkKey = QStringLiteral("orlavant_watched_folder_bookmark");
const QString PathKey = QStringLiteral("orlavant_watched_folder_path");
const QString SyncStoppedKey = QStringLiteral("orlavant_sync_stopped");
const QString ParallelTransfersKey = QStringLiteral("orlavant_parallel_transfers");
// The user id of the account the ledger belongs to.
const QString LedgerOwnerKey = QStringLiteral("orlavant_ledger_owner");
constexpr int ScanIntervalMs = 30'000;
constexpr int FolderEventDelayMs = 1'000;

} // namespace

FolderSyncManager::FolderSyncManager(Settings& settings, SupabaseClient& client, SyncLedger& ledger,
                                     MacNotificationHelper& notifications, Dialogs& dialogs,
                                     const Clock& clock, HttpClient& http, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_client(client)
    , m_ledger(ledger)
    , m_notifications(notifications)
    , m_dialogs(dialogs)
    , m_clock(clock)
    , m_digests(QFileInfo(ledger.ledgerFilePath()).path())
    , m_deviceName(deviceDisplayName())
    , m_syncStatusMessage(QStringLiteral("Login required")) {
    m_reporter.setBytesSentSource([&http] { return http.fileBodyBytesSent(); });
    connect(&m_reporter, &SyncReporter::delivered, this, &FolderSyncManager::applyReport);
    m_syncThread.setObjectName(QStringLiteral("store.orlavant.mac.syncQueue"));
    m_syncQueue = new QObject;
    m_syncQueue->moveToThread(&m_syncThread);
    m_syncThread.start(QThread::LowPriority);

    m_totalSyncedCount = m_ledger.totalSyncedCount();
    m_isSyncStopped = m_settings.boolean(SyncStoppedKey).value_or(true);
    if (!m_client.isAuthenticated()) {
        m_isSyncStopped = true;
        m_syncStatusMessage = QStringLiteral("Please log in to activate cloud sync");
    } else {
        if (const std::optional<SupabaseSession> session = m_client.currentSession())
            claimLedgerFor(session->userId);
        restoreSavedFolder();
        m_syncStatusMessage = m_isSyncStopped ? QStringLiteral("Sync paused \u2014 click Start Sync")
                                              : QStringLiteral("Ready to sync");
    }
}

FolderSyncManager::~FolderSyncManager() {
    // A pass waiting on the network is released at once, and one hashing stops between chunks;
    // it records nothing more.
    m_shuttingDown = true;
    m_cancelRequested = true;
    if (m_activeWorkItem)
        m_activeWorkItem->cancelled = true;
    {
        QMutexLocker lock(&m_passMutex);
        if (m_runningPass)
            m_runningPass->abandon();
    }
    m_syncThread.quit();
    m_syncThread.wait();
    delete m_syncQueue;
}

std::optional<QString> FolderSyncManager::watchedFolderPath() const {
    QMutexLocker lock(&m_folderMutex);
    return m_watchedFolder;
}

bool FolderSyncManager::isSyncing() const {
    return m_isSyncing;
}

bool FolderSyncManager::isSyncStopped() const {
    return m_isSyncStopped;
}

QString FolderSyncManager::syncStatusMessage() const {
    return m_syncStatusMessage;
}

std::optional<QDateTime> FolderSyncManager::lastSyncTime() const {
    return m_lastSyncTime;
}

int FolderSyncManager::totalSyncedCount() const {
    return m_totalSyncedCount;
}

int FolderSyncManager::deduplicatedCount() const {
    return m_deduplicatedCount;
}

QString FolderSyncManager::deviceName() const {
    QMutexLocker lock(&m_deviceMutex);
    return m_deviceName;
}

void FolderSyncManager::setDeviceName(const QString& name) {
    QMutexLocker lock(&m_deviceMutex);
    m_deviceName = name.isEmpty() ? QStringLiteral("Mac") : name;
}

std::optional<QString> FolderSyncManager::computeSha256(const QString& filePath) {
    const std::optional<FileScanner::Digest> digest = FileScanner::sha256(filePath);
    if (!digest)
        return std::nullopt;
    return digest->hex;
}

int FolderSyncManager::parallelTransfers() const {
    return std::clamp(m_settings.integer(ParallelTransfersKey).value_or(DefaultParallelTransfers), 1,
                      MaxParallelTransfers);
}

// ---- Property setters (main thread) ----

void FolderSyncManager::setWatchedFolder(const std::optional<QString>& folderPath) {
    {
        QMutexLocker lock(&m_folderMutex);
        if (m_watchedFolder == folderPath)
            return;
        m_watchedFolder = folderPath;
    }
    emit watchedFolderPathChanged();
}

void FolderSyncManager::setIsSyncing(bool value) {
    if (m_isSyncing == value)
        return;
    m_isSyncing = value;
    emit isSyncingChanged();
}

void FolderSyncManager::setIsSyncStopped(bool value) {
    if (m_isSyncStopped.exchange(value) == value)
        return;
    emit isSyncStoppedChanged();
}

void FolderSyncManager::setSyncStatusMessage(const QString& value) {
    // Until the next sign-in the status line says why nothing syncs; the last file of a pass that
    // was under way must not replace it.
    if (m_sessionExpired && value != SupabaseClient::SessionExpiredText)
        return;
    if (m_syncStatusMessage == value)
        return;
    m_syncStatusMessage = value;
    emit syncStatusMessageChanged();
}

void FolderSyncManager::setLastSyncTime(const QDateTime& value) {
    m_lastSyncTime = value;
    emit lastSyncTimeChanged();
}

void FolderSyncManager::setTotalSyncedCount(int value) {
    if (m_totalSyncedCount == value)
        return;
    m_totalSyncedCount = value;
    emit totalSyncedCountChanged();
}

void FolderSyncManager::setDeduplicatedCount(int value) {
    if (m_deduplicatedCount == value)
        return;
    m_deduplicatedCount = value;
    emit deduplicatedCountChanged();
}

// ---- Lifecycle (main thread) ----

void FolderSyncManager::restoreSavedFolder() {
    if (const std::optional<QByteArray> bookmark = m_settings.data(BookmarkKey)) {
        QString error;
        const std::optional<FolderBookmark::Resolved> resolved = FolderBookmark::resolve(*bookmark, &error);
        if (!resolved) {
            logLine(QStringLiteral("[FolderSync] Error restoring saved bookmark: ") + error);
            return;
        }
        if (resolved->isStale) {
            const std::optional<QByteArray> fresh = FolderBookmark::create(resolved->path, &error);
            if (!fresh) {
                logLine(QStringLiteral("[FolderSync] Error restoring saved bookmark: ") + error);
                return;
            }
            m_settings.setData(BookmarkKey, *fresh);
        }
        setWatchedFolder(resolved->path);
        return;
    }
    const std::optional<QString> path = m_settings.string(PathKey);
    if (!path || path->isEmpty() || !QFileInfo::exists(*path))
        return;
    setWatchedFolder(*path);
}

void FolderSyncManager::startSync() {
    if (!m_client.isAuthenticated()) {
        setSyncStatusMessage(QStringLiteral("Please log in first to enable sync"));
        setIsSyncStopped(true);
        notifyStatus();
        return;
    }
    const std::optional<QString> folder = watchedFolderPath();
    if (!folder) {
        setSyncStatusMessage(QStringLiteral("No folder selected. Please select a folder to sync."));
        notifyStatus();
        promptChooseFolder();
        return;
    }
    setIsSyncStopped(false);
    m_settings.setBool(SyncStoppedKey, false);
    setSyncStatusMessage(QStringLiteral("Sync Active"));
    m_cancelRequested = false;
    m_backoff.reset(); // the user asks for it now: no file waits out an earlier failure
    startMonitoring(*folder);
    startPeriodicSync();
    notifyStatus();
    triggerFolderScan();
}

void FolderSyncManager::stopSync() {
    setIsSyncStopped(true);
    m_settings.setBool(SyncStoppedKey, true);
    setSyncStatusMessage(QStringLiteral("Sync Paused by User"));
    haltSyncAndReleaseWatchers();
    notifyStatus();
}

void FolderSyncManager::toggleSync() {
    if (m_isSyncStopped)
        startSync();
    else
        stopSync();
}

void FolderSyncManager::startMonitoring(const QString& folderPath) {
    haltSyncAndReleaseWatchers();
    setWatchedFolder(folderPath);
    m_isAccessingFolder = FolderBookmark::startAccessing(folderPath);
    auto* watcher = new QFileSystemWatcher(this);
    if (!watcher->addPath(folderPath)) {
        delete watcher; // the timer still drives passes
        return;
    }
    // Every event schedules its own delayed trigger; a burst collapses because a trigger is
    // refused while a pass is queued or running.
    connect(watcher, &QFileSystemWatcher::directoryChanged, this,
            [this] { QTimer::singleShot(FolderEventDelayMs, this, &FolderSyncManager::triggerFolderScan); });
    m_folderWatcher = watcher;
}

void FolderSyncManager::startPeriodicSync() {
    if (m_scanTimer) {
        m_scanTimer->stop();
        m_scanTimer->deleteLater();
    }
    m_scanTimer = new QTimer(this);
    m_scanTimer->setObjectName(QStringLiteral("scanTimer"));
    m_scanTimer->setTimerType(Qt::PreciseTimer);
    m_scanTimer->setInterval(ScanIntervalMs);
    connect(m_scanTimer, &QTimer::timeout, this, &FolderSyncManager::triggerFolderScan);
    m_scanTimer->start();
}

void FolderSyncManager::haltSyncAndReleaseWatchers() {
    if (m_scanTimer) {
        m_scanTimer->stop();
        m_scanTimer->deleteLater();
        m_scanTimer = nullptr;
    }
    if (m_folderWatcher) {
        m_folderWatcher->disconnect(this);
        m_folderWatcher->deleteLater();
        m_folderWatcher = nullptr;
    }
    if (m_isAccessingFolder) {
        if (const std::optional<QString> folder = watchedFolderPath())
            FolderBookmark::stopAccessing(*folder);
        m_isAccessingFolder = false;
    }
}

void FolderSyncManager::triggerFolderScan() {
    if (m_isSyncStopped)
        return;
    if (!m_client.isAuthenticated()) {
        setSyncStatusMessage(QStringLiteral("Please log in to sync"));
        notifyStatus();
        return;
    }
    const std::optional<QString> folder = watchedFolderPath();
    if (!folder) {
        setSyncStatusMessage(QStringLiteral("Select a folder to start syncing"));
        notifyStatus();
        return;
    }
    if (m_isScanning) {
        // Remembered, not dropped: whatever prompted it is seen by the pass that follows.
        m_followUpRequested = true;
        return;
    }
    m_isScanning = true;
    m_cancelRequested = false;
    auto workItem = std::make_shared<WorkItem>();
    workItem->passId = ++m_lastPassId;
    m_activeWorkItem = workItem;
    QMetaObject::invokeMethod(
        m_syncQueue,
        [this, folderPath = *folder, workItem, transfers = parallelTransfers()] {
            runPass(workItem, folderPath, transfers);
        },
        Qt::QueuedConnection);
}

void FolderSyncManager::syncNow() {
    m_backoff.reset();
    triggerFolderScan();
}

void FolderSyncManager::promptChooseFolder() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_client.isAuthenticated()) {
                m_dialogs.alert(
                    QStringLiteral("Authentication Required"),
                    QStringLiteral("Please log in to your Orlavant account before selecting a folder "
                                   "to sync."));
                return;
            }
            Dialogs::OpenOptions options;
            options.title = QStringLiteral("Select Orlavant Cloud Sync Directory");
            options.message =
                QStringLiteral("Choose a local directory to sync with your private cloud vault.");
            options.prompt = QStringLiteral("Select Folder to Sync");
            options.chooseFiles = false;
            options.chooseDirectories = true;
            options.allowsMultiple = false;
            const std::optional<QStringList> chosen = m_dialogs.open(options);
            if (chosen && !chosen->isEmpty())
                changeFolder(chosen->first());
        },
        Qt::QueuedConnection);
}

void FolderSyncManager::changeFolder(const QString& folderPath) {
    logLine(QStringLiteral("[FolderSync] Changing folder to: ") + folderPath);
    m_cancelRequested = true;
    if (m_activeWorkItem) {
        m_activeWorkItem->cancelled = true;
        m_activeWorkItem.reset();
    }
    m_followUpRequested = false;
    haltSyncAndReleaseWatchers();
    m_isScanning = false;
    setIsSyncing(false);

    QString error;
    const std::optional<QByteArray> bookmark = FolderBookmark::create(folderPath, &error);
    if (!bookmark) {
        logLine(QStringLiteral("[FolderSync] Failed to create security bookmark: ") + error);
        setSyncStatusMessage(QStringLiteral("Error saving folder permissions: ") + error);
        notifyStatus();
        return;
    }
    const QString path = QDir::cleanPath(folderPath);
    m_settings.setData(BookmarkKey, *bookmark);
    m_settings.setString(PathKey, path);
    setWatchedFolder(path);
    setIsSyncStopped(true);
    m_settings.setBool(SyncStoppedKey, true);
    const QString name = FileScanner::fileName(path);
    setSyncStatusMessage(QStringLiteral("Folder set: ") + name +
                         QStringLiteral(". Ready \u2014 click 'Start Sync' to begin."));
    notifyStatus();
    logLine(QStringLiteral("[FolderSync] Fresh sync state initialized for ") + path +
            QStringLiteral(". Awaiting Start Sync."));
    // Best effort: nobody waits for the outcome.
    m_client.bindDeviceSyncFolder(deviceName(), path, name);
}

void FolderSyncManager::handleLogin(const SupabaseSession& session) {
    // Sync picks up where it was only for the account it was syncing for.
    const bool resume = m_sessionExpired && m_resumeAfterSignIn && !session.userId.isEmpty() &&
                        m_settings.string(LedgerOwnerKey) == session.userId;
    m_sessionExpired = false;
    m_resumeAfterSignIn = false;
    claimLedgerFor(session.userId);
    m_backoff.reset(); // what failed before, for this or another account, may go through now
    setSyncStatusMessage(QStringLiteral("Authenticated. Select folder or click Start Sync."));
    restoreSavedFolder();
    notifyStatus();
    // Best effort: nobody waits for the outcome.
    m_client.registerDevice(deviceName(), deviceType());
    if (resume)
        startSync();
}

void FolderSyncManager::handleSessionExpired(const QString& email) {
    if (m_sessionExpired)
        return;
    logLine(QStringLiteral("[FolderSync] Session expired; sync waits for the next sign-in."));
    // Running means watching: after a restart the engine may be unpaused yet not started.
    m_resumeAfterSignIn = !m_isSyncStopped && m_scanTimer;
    haltSyncAndReleaseWatchers();
    setIsSyncStopped(true); // memory only: the stored flag keeps what the user chose
    setSyncStatusMessage(SupabaseClient::SessionExpiredText);
    m_sessionExpired = true;
    notifyStatus();
    m_notifications.notifySessionExpired(email);
}

void FolderSyncManager::claimLedgerFor(const QString& userId) {
    if (userId.isEmpty())
        return; // nothing to tell accounts apart by
    const std::optional<QString> owner = m_settings.string(LedgerOwnerKey);
    // A ledger from before owners were recorded is taken to be the first account's that signs in.
    if (owner && !owner->isEmpty() && *owner != userId) {
        if (!m_ledger.switchOwner(*owner, userId))
            return; // the files could not move: keep the ledger and its owner as they are
        logLine(QStringLiteral("[FolderSync] Another account signed in; the previous account's ledger "
                               "is set aside until it signs in again."));
    }
    if (owner != userId)
        m_settings.setString(LedgerOwnerKey, userId);
    setTotalSyncedCount(m_ledger.totalSyncedCount());
}

void FolderSyncManager::handleLogout() {
    m_sessionExpired = false;
    m_resumeAfterSignIn = false;
    haltSyncAndReleaseWatchers();
    setIsSyncStopped(true);
    setSyncStatusMessage(QStringLiteral("Logged out. Sync engine inactive."));
    notifyStatus();
}

void FolderSyncManager::notifyStatusPublic() {
    notifyStatus();
}

// The values are read when the call runs, not when it was scheduled.
void FolderSyncManager::notifyStatus() {
    onMainThread([this] {
        if (!onStatusChanged)
            return;
        const std::optional<QString> folder = watchedFolderPath();
        onStatusChanged(folder, folder.has_value(), m_totalSyncedCount, m_syncStatusMessage, m_isSyncStopped);
    });
}

void FolderSyncManager::onMainThread(std::function<void()> step) {
    QMetaObject::invokeMethod(this, std::move(step), Qt::QueuedConnection);
}

// ---- The pass (sync thread) ----

void FolderSyncManager::runPass(const std::shared_ptr<WorkItem>& workItem, const QString& folderPath,
                                int parallelTransfers) {
    const auto cancelled = [this, workItem] {
        return workItem->cancelled || m_cancelRequested || m_shuttingDown;
    };
    if (cancelled()) {
        // Cancelled before it started: it never ran, but whoever waits for it hears that it ended.
        SyncEvent ended;
        ended.type = SyncEvent::Type::PassEnded;
        ended.passId = workItem->passId;
        ended.end = SyncEvent::End::CancelledEarly;
        m_reporter.post(std::move(ended));
        return;
    }
    SyncPass::Options options;
    options.passId = workItem->passId;
    options.folderPath = folderPath;
    options.deviceName = deviceName();
    options.parallelTransfers = parallelTransfers;
    SyncPass::Conditions conditions;
    conditions.isCancelled = cancelled;
    conditions.shouldStop = [this, cancelled, folderPath] {
        const std::optional<QString> watched = watchedFolderPath();
        return cancelled() || m_isSyncStopped || !watched || *watched != folderPath;
    };
    SyncPass pass({m_client, m_ledger, m_digests, m_backoff, m_reporter, m_clock, m_reportedUndecodable},
                  std::move(options), std::move(conditions));
    {
        QMutexLocker lock(&m_passMutex);
        m_runningPass = &pass;
        if (m_shuttingDown)
            pass.abandon();
    }
    pass.run();
    QMutexLocker lock(&m_passMutex);
    m_runningPass = nullptr;
}

// ---- The pass's reports (main thread) ----

void FolderSyncManager::applyReport(const SyncReportBatch& batch) {
    // Texts of one batch collapse into the last one, unless every step is to be seen.
    const bool everyText = m_reporter.minimumInterval().count() == 0;
    std::optional<QString> text;
    const auto showText = [&] {
        if (!text)
            return;
        setSyncStatusMessage(*text);
        notifyStatus();
        text.reset();
    };
    for (const SyncEvent& event : batch.events) {
        // A folder change cancels the pass; what it still reports must not undo the change.
        const bool current = m_activeWorkItem && m_activeWorkItem->passId == event.passId;
        const bool showProgress = current && !m_isSyncStopped;
        switch (event.type) {
        case SyncEvent::Type::PassStarted:
            if (!current)
                break;
            setIsSyncing(true);
            text = QStringLiteral("Scanning files in ") + event.text + QStringLiteral("...");
            break;
        case SyncEvent::Type::TransferStarted:
            if (showProgress)
                text = QStringLiteral("Syncing: ") + event.text + QStringLiteral("...");
            break;
        case SyncEvent::Type::BackendFailed:
            if (showProgress)
                text = QStringLiteral("Sync notice: ") + event.text;
            break;
        case SyncEvent::Type::FallbackStarted:
            if (showProgress)
                text = QStringLiteral("Uploading: ") + event.text + QStringLiteral("...");
            break;
        case SyncEvent::Type::FileFinished:
            applyOutcome(event.outcome);
            break;
        case SyncEvent::Type::PassEnded:
            showText();
            endPass(event, current);
            break;
        }
        if (everyText)
            showText();
    }
    showText();
}

void FolderSyncManager::applyOutcome(const FileOutcome& outcome) {
    switch (outcome.kind) {
    case FileOutcome::Kind::Uploaded:
        setTotalSyncedCount(m_ledger.totalSyncedCount());
        if (onFileSynced)
            onFileSynced(outcome.fileName, false);
        if (outcome.uploadNumber <= MaxFileNotificationsPerPass)
            m_notifications.notifyFileUploaded(outcome.fileName);
        break;
    case FileOutcome::Kind::Deduplicated:
        setDeduplicatedCount(m_deduplicatedCount + 1);
        setTotalSyncedCount(m_ledger.totalSyncedCount());
        if (onFileSynced)
            onFileSynced(outcome.fileName, true);
        break;
    case FileOutcome::Kind::Failed:
    case FileOutcome::Kind::SkippedInvalidName:
    case FileOutcome::Kind::SkippedUnreadable:
        break; // logged by the pass; for activity displays
    }
}

void FolderSyncManager::endPass(const SyncEvent& ended, bool current) {
    switch (ended.end) {
    case SyncEvent::End::CannotRead:
        if (current) {
            setIsSyncing(false);
            setSyncStatusMessage(QStringLiteral("Unable to read folder contents"));
            notifyStatus();
        }
        break;
    case SyncEvent::End::CancelledEarly:
        break; // the folder change that cancelled it reset the state itself
    case SyncEvent::End::Complete:
    case SyncEvent::End::Stopped:
        // A folder that was removed lets go of its watch; once it is back, it is watched again.
        if (m_folderWatcher && m_folderWatcher->directories().isEmpty()) {
            if (const std::optional<QString> folder = watchedFolderPath())
                m_folderWatcher->addPath(*folder);
        }
        setIsSyncing(false);
        setLastSyncTime(m_clock.now());
        setTotalSyncedCount(m_ledger.totalSyncedCount());
        if (ended.uploadedCount < 1 && ended.deduplicatedCount < 1) {
            if (!m_isSyncStopped)
                setSyncStatusMessage(
                    QStringLiteral("Up to date (%1 files in cloud vault)").arg(m_totalSyncedCount));
        } else {
            setSyncStatusMessage(QStringLiteral("Sync complete: %1 uploaded, %2 deduplicated")
                                     .arg(ended.uploadedCount)
                                     .arg(ended.deduplicatedCount));
            m_notifications.notifyBatchComplete(ended.uploadedCount, ended.deduplicatedCount);
        }
        notifyStatus();
        break;
    }
    if (current) {
        m_isScanning = false;
        m_activeWorkItem.reset();
    }
    emit passFinished();
    if (current && m_followUpRequested) {
        m_followUpRequested = false;
        triggerFolderScan();
    }
}
