#include "sync/FolderSyncManager.h"

#include "platform/Dialogs.h"
#include "platform/FolderBookmark.h"
#include "platform/HostName.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/VaultError.h"
#include "sync/FileScanner.h"
#include "sync/MacNotificationHelper.h"
#include "sync/SyncLedger.h"
#include "vault/MediaTypes.h"
#include "vault/SupabaseClient.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>
#include <condition_variable>
#include <mutex>

namespace {

const QString BookmarkKey = QStringLiteral("orlavant_watched_folder_bookmark");
const QString PathKey = QStringLiteral("orlavant_watched_folder_path");
const QString SyncStoppedKey = QStringLiteral("orlavant_sync_stopped");
// The user id of the account the ledger belongs to.
const QString LedgerOwnerKey = QStringLiteral("orlavant_ledger_owner");
constexpr int ScanIntervalMs = 30'000;
constexpr int FolderEventDelayMs = 1'000;

QString lastComponent(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

QString parentDirectory(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

// Log lines carry the whole error; status texts only its user-facing description.
QString plainDescription(const VaultError& error) {
    return QStringLiteral("%1 (%2 %3)").arg(error.description(), error.domain()).arg(error.code());
}

} // namespace

struct FolderSyncManager::VaultWait {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

FolderSyncManager::FolderSyncManager(Settings& settings, SupabaseClient& client, SyncLedger& ledger,
                                     MacNotificationHelper& notifications, Dialogs& dialogs, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_client(client)
    , m_ledger(ledger)
    , m_notifications(notifications)
    , m_dialogs(dialogs)
    , m_deviceName(deviceDisplayName())
    , m_syncStatusMessage(QStringLiteral("Login required")) {
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
    // A pass waiting on the network is released at once; it records nothing more.
    m_shuttingDown = true;
    m_cancelRequested = true;
    if (m_activeWorkItem)
        m_activeWorkItem->cancelled = true;
    {
        QMutexLocker lock(&m_waitMutex);
        if (m_currentWait) {
            std::lock_guard waitLock(m_currentWait->mutex);
            m_currentWait->done.notify_all();
        }
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

QString FolderSyncManager::storagePath(const std::optional<QString>& userId, const QString& deviceName,
                                       const QString& folderPath, const QString& digest,
                                       const QString& fileName) {
    QString device = deviceName;
    device.replace(u' ', u'_');
    return userId.value_or(QStringLiteral("vault")) + QStringLiteral("/mac/") + device + QLatin1Char('/') +
           lastComponent(folderPath) + QLatin1Char('/') + digest + QLatin1Char('_') + fileName;
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
    if (m_isScanning)
        return;
    m_isScanning = true;
    m_cancelRequested = false;
    auto workItem = std::make_shared<WorkItem>();
    m_activeWorkItem = workItem;
    QMetaObject::invokeMethod(
        m_syncQueue,
        [this, folderPath = *folder, workItem] {
            if (workItem->cancelled)
                return; // cancelled before it started: it never ran
            performScanAndUpload(folderPath, workItem);
            // A folder change may already have let a newer pass in; only the current one clears
            // the flag.
            if (!workItem->cancelled)
                m_isScanning = false;
            onMainThread([this] { emit passFinished(); });
        },
        Qt::QueuedConnection);
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
    const QString name = lastComponent(path);
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

template <typename T> bool FolderSyncManager::waitForVault(const QFuture<T>& future) {
    auto wait = std::make_shared<VaultWait>();
    {
        QMutexLocker lock(&m_waitMutex);
        m_currentWait = wait;
    }
    QFuture<T>(future).then(QtFuture::Launch::Sync, [wait](const QFuture<T>&) {
        std::lock_guard lock(wait->mutex);
        wait->finished = true;
        wait->done.notify_all();
    });
    bool finished;
    {
        std::unique_lock lock(wait->mutex);
        wait->done.wait(lock, [&] { return wait->finished || m_shuttingDown.load(); });
        finished = wait->finished;
    }
    QMutexLocker lock(&m_waitMutex);
    m_currentWait.reset();
    return finished;
}

void FolderSyncManager::performScanAndUpload(const QString& folderPath,
                                             const std::shared_ptr<WorkItem>& workItem) {
    const QString folderName = lastComponent(folderPath);
    onMainThread([this, folderName, workItem] {
        // A folder change may have come first and reset the state this pass would set.
        if (workItem->cancelled)
            return;
        setIsSyncing(true);
        setSyncStatusMessage(QStringLiteral("Scanning files in ") + folderName + QStringLiteral("..."));
        notifyStatus();
    });

    const FileScanner::Collection collection = FileScanner::collectCandidates(
        folderPath, [&] { return workItem->cancelled || m_cancelRequested || m_shuttingDown; });
    if (collection.outcome == FileScanner::Outcome::CannotEnumerate) {
        onMainThread([this, workItem] {
            if (workItem->cancelled)
                return; // the folder it could not read is no longer the watched one
            setIsSyncing(false);
            setSyncStatusMessage(QStringLiteral("Unable to read folder contents"));
            notifyStatus();
        });
        return;
    }
    if (collection.outcome == FileScanner::Outcome::Cancelled)
        return; // the folder change that cancelled it resets the state itself
    // Once per name, not on every 30-second pass.
    for (const QString& name : collection.undecodableNames) {
        if (!m_reportedUndecodable.contains(name)) {
            m_reportedUndecodable.insert(name);
            logLine(QStringLiteral("[FolderSync] Skipping a file whose name is not valid UTF-8: ") + name);
        }
    }

    int uploadedCount = 0;
    int deduplicatedCount = 0;
    int fileNotifications = 0;

    // A pause or folder change made while the current file finishes keeps its own text: the
    // progress of a file nobody waits for any more must not replace it.
    const auto showProgress = [this, &workItem](const QString& text) {
        onMainThread([this, text, workItem] {
            if (workItem->cancelled || m_isSyncStopped)
                return;
            setSyncStatusMessage(text);
            notifyStatus();
        });
    };

    // Records a file only if it is still what was hashed; one still being written is met
    // again by the next pass.
    const auto recordIfUnchanged = [&](const QString& filePath, const QString& relativePath,
                                       const FileScanner::Facts& facts, const QString& digest) {
        const std::optional<FileScanner::Facts> now = FileScanner::readFacts(filePath);
        if (!now || !now->sameAs(facts)) {
            logLine(QStringLiteral("[FolderSync] ") + lastComponent(filePath) +
                    QStringLiteral(" changed while it was being synced; the next pass syncs it again."));
            return;
        }
        m_ledger.recordSync(relativePath, facts.size, facts.modified, digest);
    };
    const auto handUploaded = [&](const QString& fileName) {
        const bool notify = fileNotifications < MaxFileNotificationsPerPass;
        if (notify)
            ++fileNotifications;
        onMainThread([this, fileName, notify] {
            setTotalSyncedCount(m_ledger.totalSyncedCount());
            if (onFileSynced)
                onFileSynced(fileName, false);
            if (notify)
                m_notifications.notifyFileUploaded(fileName);
        });
    };

    for (const QString& filePath : collection.candidates) {
        if (m_shuttingDown)
            return;
        const std::optional<QString> watched = watchedFolderPath();
        if (workItem->cancelled || m_cancelRequested || m_isSyncStopped || !watched ||
            *watched != folderPath) {
            logLine(
                QStringLiteral("[FolderSync] Sync scan aborted mid-batch due to folder change or pause."));
            break;
        }
        const QString fileName = lastComponent(filePath);
        const QString relativePath = FileScanner::relativePath(filePath, folderPath);
        const std::optional<FileScanner::Facts> facts = FileScanner::readFacts(filePath);
        if (!facts)
            continue;
        // Known files are not hashed again: the check needs only the path, size and date.
        if (m_ledger.isSynced(relativePath, facts->size, facts->modified))
            continue;
        const std::optional<FileScanner::Digest> digest = FileScanner::sha256(filePath);
        if (!digest) {
            logLine(QStringLiteral("[FolderSync] Could not compute hash for: ") + fileName);
            continue;
        }
        if (!digest->factsAtEnd.sameAs(*facts) || digest->bytesRead != facts->size) {
            logLine(QStringLiteral("[FolderSync] ") + fileName +
                    QStringLiteral(" changed while it was being read; the next pass syncs it."));
            continue;
        }
        const QString device = deviceName();
        const QString containingFolder = parentDirectory(filePath);
        showProgress(QStringLiteral("Syncing: ") + fileName + QStringLiteral("..."));

        std::optional<DeduplicateResult> result;
        std::optional<VaultError> backendError;
        {
            const QFuture<DeduplicateResult> call = m_client.syncToCloudVault(
                filePath, digest->hex, facts->size, relativePath, device, std::nullopt, containingFolder);
            if (!waitForVault(call))
                return;
            try {
                result = call.result();
            } catch (const VaultError& error) {
                backendError = error;
            } catch (const std::exception& error) {
                backendError =
                    VaultError(QStringLiteral("FolderSync"), -1, QString::fromLocal8Bit(error.what()));
            }
            if (backendError)
                logLine(QStringLiteral("[FolderSync] Sovereign sync error for ") + fileName +
                        QStringLiteral(": ") + plainDescription(*backendError));
        }
        if (workItem->cancelled || m_cancelRequested) {
            // The vault has the file even though nobody waits for the answer any more; keeping
            // the record spares the next pass over this folder a second exchange.
            if (result)
                recordIfUnchanged(filePath, relativePath, *facts, digest->hex);
            break;
        }

        if (result) {
            recordIfUnchanged(filePath, relativePath, *facts, digest->hex);
            if (result->deduplicated) {
                ++deduplicatedCount;
                onMainThread([this, fileName] {
                    setDeduplicatedCount(m_deduplicatedCount + 1);
                    setTotalSyncedCount(m_ledger.totalSyncedCount());
                    if (onFileSynced)
                        onFileSynced(fileName, true);
                });
            } else {
                ++uploadedCount;
                handUploaded(fileName);
            }
            continue;
        }

        if (backendError) {
            showProgress(QStringLiteral("Sync notice: ") + backendError->description());
        }
        showProgress(QStringLiteral("Uploading: ") + fileName + QStringLiteral("..."));
        const std::optional<SupabaseSession> session = m_client.currentSession();
        const QString remotePath =
            storagePath(session ? std::optional<QString>(session->userId) : std::nullopt, device, folderPath,
                        digest->hex, fileName);
        const QString mimeType = mimeTypeFor(QFileInfo(fileName).suffix());
        bool uploaded = false;
        {
            const QFuture<bool> upload = m_client.uploadToStorage(filePath, remotePath, mimeType);
            if (!waitForVault(upload))
                return;
            try {
                uploaded = upload.result();
            } catch (const VaultError& error) {
                logLine(QStringLiteral("[FolderSync] Upload failed for ") + fileName + QStringLiteral(": ") +
                        plainDescription(error));
            } catch (const std::exception& error) {
                logLine(QStringLiteral("[FolderSync] Upload failed for ") + fileName + QStringLiteral(": ") +
                        QString::fromLocal8Bit(error.what()));
            }
        }
        if (uploaded) {
            // The object is stored; a failed registration does not undo that.
            const QFuture<DeduplicateResult> registration = m_client.registerOrDeduplicate(
                digest->hex, fileName, remotePath, facts->size, mimeType, device, containingFolder);
            if (!waitForVault(registration))
                return;
            recordIfUnchanged(filePath, relativePath, *facts, digest->hex);
            ++uploadedCount;
            handUploaded(fileName);
        }
    }

    onMainThread([this, uploadedCount, deduplicatedCount] {
        setIsSyncing(false);
        setLastSyncTime(QDateTime::currentDateTimeUtc());
        setTotalSyncedCount(m_ledger.totalSyncedCount());
        if (uploadedCount < 1 && deduplicatedCount < 1) {
            if (!m_isSyncStopped)
                setSyncStatusMessage(
                    QStringLiteral("Up to date (%1 files in cloud vault)").arg(m_totalSyncedCount));
            notifyStatus();
            return;
        }
        setSyncStatusMessage(QStringLiteral("Sync complete: %1 uploaded, %2 deduplicated")
                                 .arg(uploadedCount)
                                 .arg(deduplicatedCount));
        m_notifications.notifyBatchComplete(uploadedCount, deduplicatedCount);
        notifyStatus();
    });
}
