#include "sync/SyncPass.h"

#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/VaultError.h"
#include "sync/DigestCache.h"
#include "sync/FailureBackoff.h"
#include "sync/StoragePath.h"
#include "sync/SyncLedger.h"
#include "sync/SyncReporter.h"
#include "vault/MediaTypes.h"
#include "vault/SupabaseClient.h"

#include <QFileInfo>
#include <QFuture>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

// Log lines carry the whole error; status texts only its user-facing description.
QString plainDescription(const VaultError& error) {
    return QStringLiteral("%1 (%2 %3)").arg(error.description(), error.domain()).arg(error.code());
}

VaultError asVaultError(const std::exception& error) {
    return VaultError(QStringLiteral("FolderSync"), -1, QString::fromLocal8Bit(error.what()));
}

// The program is closing and ended the request: that says nothing about the file.
bool isCancellation(const std::optional<VaultError>& error) {
    return error && error->domain() == VaultError::UrlDomain && error->code() == VaultError::Cancelled;
}

} // namespace

struct SyncPass::Hashed {
    enum class State { Ready, Gone, Unreadable, ChangedWhileRead };
    int index = 0; // into m_work
    State state = State::Gone;
    FileScanner::Facts facts;
    QString digest;
};

struct SyncPass::Transfer {
    enum class Stage { Backend, Storage, Registry };
    int id = 0;
    WorkFile file;
    QString digest;
    QString containingFolder;
    Stage stage = Stage::Backend;
    QString remotePath;
    QString mimeType;
    std::optional<VaultError> backendError;
    QFuture<DeduplicateResult> backend;
    QFuture<bool> storage;
    QFuture<DeduplicateResult> registration;
};

// Where the hasher and the vault calls' continuations leave their news for the coordinator.
struct SyncPass::Mailbox {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Hashed> hashed;
    int hashedTaken = 0; // by the coordinator, which the hasher keeps a bounded lead over
    bool hasherDone = false;
    std::deque<int> completions; // transfer ids whose current vault call has finished
    bool abandoned = false;
};

SyncPass::SyncPass(const Dependencies& dependencies, Options options, Conditions conditions)
    : m_deps(dependencies)
    , m_options(std::move(options))
    , m_conditions(std::move(conditions))
    , m_mailbox(std::make_shared<Mailbox>()) {}

SyncPass::~SyncPass() {
    halt();
    if (m_hasher.joinable())
        m_hasher.join();
}

void SyncPass::abandon() {
    {
        std::lock_guard lock(m_mailbox->mutex);
        m_mailbox->abandoned = true;
    }
    halt();
}

void SyncPass::halt() {
    m_halted = true;
    std::lock_guard lock(m_mailbox->mutex);
    m_mailbox->wake.notify_all();
}

SyncEvent SyncPass::event(SyncEvent::Type type, const QString& text) const {
    SyncEvent event;
    event.type = type;
    event.passId = m_options.passId;
    event.text = text;
    return event;
}

void SyncPass::post(SyncEvent::Type type, const QString& text) {
    m_deps.reporter.post(event(type, text));
}

void SyncPass::finish(SyncEvent::End end) {
    halt();
    if (m_hasher.joinable())
        m_hasher.join();
    m_deps.digests.save();
    SyncEvent ended = event(SyncEvent::Type::PassEnded);
    ended.end = end;
    ended.uploadedCount = m_uploaded;
    ended.deduplicatedCount = m_deduplicated;
    m_deps.reporter.post(std::move(ended));
}

void SyncPass::run() {
    post(SyncEvent::Type::PassStarted, FileScanner::fileName(m_options.folderPath));
    m_deps.reporter.beginProgress(m_options.passId, 0, 0);

    // Collect.
    const FileScanner::Collection collection =
        FileScanner::collectCandidates(m_options.folderPath, m_conditions.isCancelled);
    if (collection.outcome == FileScanner::Outcome::CannotEnumerate)
        return finish(SyncEvent::End::CannotRead);
    if (collection.outcome == FileScanner::Outcome::Cancelled)
        return finish(SyncEvent::End::CancelledEarly);
    m_candidates = collection.candidates;
    reportUndecodable(collection.undecodableNames);

    // Filter by the ledger: what it knows costs one lookup, no read.
    bool cancelled = false;
    m_work = filter(m_candidates, &cancelled);
    if (cancelled)
        return finish(SyncEvent::End::CancelledEarly);
    qint64 bytes = 0;
    for (const WorkFile& file : std::as_const(m_work))
        bytes += file.facts.size;
    m_deps.reporter.beginProgress(m_options.passId, int(m_work.size()), bytes);

    // Hash ahead on a thread of its own, transfer and record here.
    m_hasher = std::thread([this] { hashAhead(); });
    transferAll();
    bool abandoned = false;
    {
        std::lock_guard lock(m_mailbox->mutex);
        abandoned = m_mailbox->abandoned;
    }
    if (abandoned)
        return finish(SyncEvent::End::Stopped);
    // A stop noticed after the last file that needed work, while more candidates follow, is
    // where the one-file-at-a-time pass noticed it too.
    if (!m_halted && m_lastCandidateStarted < int(m_candidates.size()) - 1)
        stopBeforeNextFile(int(m_candidates.size()) - 1);
    finish(m_halted || m_abortLogged ? SyncEvent::End::Stopped : SyncEvent::End::Complete);
}

void SyncPass::reportUndecodable(const QStringList& names) {
    // Once per name, not on every 30-second pass.
    for (const QString& name : names) {
        if (m_deps.reportedUndecodable.contains(name))
            continue;
        m_deps.reportedUndecodable.insert(name);
        logLine(QStringLiteral("[FolderSync] Skipping a file whose name is not valid UTF-8: ") + name);
        SyncEvent skipped = event(SyncEvent::Type::FileFinished);
        skipped.outcome.kind = FileOutcome::Kind::SkippedInvalidName;
        skipped.outcome.fileName = FileScanner::fileName(name);
        skipped.outcome.relativePath = FileScanner::relativePath(name, m_options.folderPath);
        skipped.outcome.reason = QStringLiteral("Its name is not valid UTF-8; rename it to sync it.");
        skipped.outcome.at = m_deps.clock.now();
        m_deps.reporter.post(std::move(skipped));
    }
}

QList<SyncPass::WorkFile> SyncPass::filter(const QStringList& candidates, bool* cancelled) {
    QList<WorkFile> work;
    QSet<QString> seen;
    seen.reserve(candidates.size());
    const QDateTime now = m_deps.clock.now();
    for (int i = 0; i < candidates.size(); ++i) {
        if (m_conditions.isCancelled()) {
            *cancelled = true;
            return {};
        }
        const QString& path = candidates[i];
        const QString relativePath = FileScanner::relativePath(path, m_options.folderPath);
        seen.insert(relativePath);
        const std::optional<FileScanner::Facts> facts = FileScanner::readFacts(path);
        if (!facts || m_deps.ledger.isSynced(relativePath, facts->size, facts->modified) ||
            m_deps.backoff.isWaiting(relativePath, *facts, now))
            continue;
        work.append(WorkFile{path, relativePath, FileScanner::fileName(path), *facts, i});
    }
    // Digests of files no longer in the folder (or of another folder) are not needed again.
    m_deps.digests.retainOnly(seen);
    return work;
}

void SyncPass::hashAhead() {
    // Enough of a lead to keep every transfer slot fed, not so much that a stop wastes reading.
    const int lead = 2 * m_options.parallelTransfers + 2;
    for (int index = 0; index < m_work.size(); ++index) {
        {
            std::unique_lock lock(m_mailbox->mutex);
            m_mailbox->wake.wait(lock, [&] { return m_halted || index - m_mailbox->hashedTaken < lead; });
        }
        if (m_halted || m_conditions.isCancelled())
            break;
        Hashed hashed = hash(index);
        if (m_halted || m_conditions.isCancelled())
            break; // a hash cut short says nothing about the file
        std::lock_guard lock(m_mailbox->mutex);
        m_mailbox->hashed.push_back(std::move(hashed));
        m_mailbox->wake.notify_all();
    }
    std::lock_guard lock(m_mailbox->mutex);
    m_mailbox->hasherDone = true;
    m_mailbox->wake.notify_all();
}

SyncPass::Hashed SyncPass::hash(int index) {
    const WorkFile& file = m_work.at(index);
    Hashed hashed;
    hashed.index = index;
    // Read again: the filter may have met the file a long while ago.
    const std::optional<FileScanner::Facts> facts = FileScanner::readFacts(file.path);
    if (!facts)
        return hashed;
    if (!facts->sameAs(file.facts) && m_deps.ledger.isSynced(file.relativePath, facts->size, facts->modified))
        return hashed;
    hashed.facts = *facts;
    if (const std::optional<QString> known = m_deps.digests.lookup(file.relativePath, *facts)) {
        hashed.state = Hashed::State::Ready;
        hashed.digest = *known;
        return hashed;
    }
    FileScanner::HashControl control;
    control.isCancelled = [this] { return m_halted || m_conditions.isCancelled(); };
    control.onRead = [this](qint64 bytes) { m_deps.reporter.addBytesHashed(bytes); };
    const std::optional<FileScanner::Digest> digest = FileScanner::sha256(file.path, control);
    if (!digest) {
        hashed.state = Hashed::State::Unreadable;
    } else if (!digest->factsAtEnd.sameAs(*facts) || digest->bytesRead != facts->size) {
        hashed.state = Hashed::State::ChangedWhileRead;
    } else {
        hashed.state = Hashed::State::Ready;
        hashed.digest = digest->hex;
        m_deps.digests.store(file.relativePath, *facts, digest->hex);
    }
    return hashed;
}

void SyncPass::transferAll() {
    const int transferSlots = m_options.parallelTransfers;
    for (;;) {
        std::deque<int> completions;
        std::optional<Hashed> next;
        {
            std::unique_lock lock(m_mailbox->mutex);
            Mailbox& box = *m_mailbox;
            const auto canTake = [&] {
                return !m_halted && m_inFlight < transferSlots && !box.hashed.empty();
            };
            const auto drained = [&] {
                return m_inFlight == 0 && (m_halted || (box.hasherDone && box.hashed.empty()));
            };
            box.wake.wait(
                lock, [&] { return box.abandoned || !box.completions.empty() || canTake() || drained(); });
            if (box.abandoned)
                return;
            completions.swap(box.completions);
            if (completions.empty() && drained())
                return;
            if (canTake()) {
                next = std::move(box.hashed.front());
                box.hashed.pop_front();
                ++box.hashedTaken;
                box.wake.notify_all();
            }
        }
        for (const int id : completions)
            onCompletion(id);
        if (next)
            onHashed(*next);
    }
}

// The stop test between files; logs the abort once.
bool SyncPass::stopBeforeNextFile(int nextCandidateIndex) {
    if (!m_conditions.shouldStop())
        return false;
    if (!m_abortLogged && nextCandidateIndex > m_lastCandidateStarted) {
        m_abortLogged = true;
        logLine(QStringLiteral("[FolderSync] Sync scan aborted mid-batch due to folder change or pause."));
    }
    halt();
    return true;
}

void SyncPass::onHashed(const Hashed& hashed) {
    const WorkFile& file = m_work.at(hashed.index);
    if (stopBeforeNextFile(file.candidateIndex))
        return;
    m_lastCandidateStarted = file.candidateIndex;
    switch (hashed.state) {
    case Hashed::State::Gone:
        m_deps.reporter.addFilesDone(1);
        return;
    case Hashed::State::ChangedWhileRead:
        logLine(QStringLiteral("[FolderSync] ") + file.fileName +
                QStringLiteral(" changed while it was being read; the next pass syncs it."));
        m_deps.reporter.addFilesDone(1);
        return;
    case Hashed::State::Unreadable: {
        logLine(QStringLiteral("[FolderSync] Could not compute hash for: ") + file.fileName);
        SyncEvent skipped = event(SyncEvent::Type::FileFinished);
        skipped.outcome.kind = FileOutcome::Kind::SkippedUnreadable;
        skipped.outcome.fileName = file.fileName;
        skipped.outcome.relativePath = file.relativePath;
        skipped.outcome.reason = QStringLiteral("The file could not be read.");
        skipped.outcome.at = m_deps.clock.now();
        skipped.outcome.retryAt =
            m_deps.backoff.recordFailure(file.relativePath, hashed.facts, skipped.outcome.at);
        m_deps.reporter.post(std::move(skipped));
        m_deps.reporter.addFilesDone(1);
        return;
    }
    case Hashed::State::Ready: {
        WorkFile current = file;
        current.facts = hashed.facts;
        startTransfer(current, hashed.digest);
        return;
    }
    }
}

template <typename T> void SyncPass::whenDone(const T& future, int transferId) {
    // Runs on whichever thread finishes the call, or here when it already has.
    T(future).then(QtFuture::Launch::Sync, [mailbox = m_mailbox, transferId](const T&) {
        std::lock_guard lock(mailbox->mutex);
        mailbox->completions.push_back(transferId);
        mailbox->wake.notify_all();
    });
}

void SyncPass::startTransfer(const WorkFile& file, const QString& digest) {
    auto transfer = std::make_shared<Transfer>();
    transfer->file = file;
    transfer->digest = digest;
    transfer->containingFolder = FileScanner::parentPath(file.path);
    const int id = m_nextTransferId++;
    transfer->id = id;
    m_transfers.insert(id, transfer);
    ++m_inFlight;
    post(SyncEvent::Type::TransferStarted, file.fileName);
    transfer->backend =
        m_deps.client.syncToCloudVault(file.path, digest, file.facts.size, file.relativePath,
                                       m_options.deviceName, std::nullopt, transfer->containingFolder);
    whenDone(transfer->backend, id);
}

void SyncPass::onCompletion(int transferId) {
    const std::shared_ptr<Transfer> transfer = m_transfers.value(transferId);
    if (!transfer)
        return;
    switch (transfer->stage) {
    case Transfer::Stage::Backend:
        return onBackendDone(*transfer);
    case Transfer::Stage::Storage:
        return onStorageDone(*transfer);
    case Transfer::Stage::Registry:
        return onRegistered(*transfer);
    }
}

void SyncPass::onBackendDone(Transfer& transfer) {
    std::optional<DeduplicateResult> result;
    try {
        result = transfer.backend.result();
    } catch (const VaultError& error) {
        transfer.backendError = error;
    } catch (const std::exception& error) {
        transfer.backendError = asVaultError(error);
    }
    const QString& name = transfer.file.fileName;
    if (transfer.backendError)
        logLine(QStringLiteral("[FolderSync] Sovereign sync error for ") + name + QStringLiteral(": ") +
                plainDescription(*transfer.backendError));

    if (m_conditions.isCancelled() || isCancellation(transfer.backendError)) {
        // Nobody waits for this folder any more: start nothing, count nothing. What the vault
        // confirmed is still recorded, which spares the next pass over this folder an exchange.
        if (result)
            recordIfUnchanged(transfer);
        halt();
        return endTransfer(transfer.id);
    }
    if (result) {
        recordIfUnchanged(transfer);
        m_deps.backoff.recordSuccess(transfer.file.relativePath);
        SyncEvent finished = event(SyncEvent::Type::FileFinished);
        finished.outcome.fileName = name;
        finished.outcome.relativePath = transfer.file.relativePath;
        finished.outcome.at = m_deps.clock.now();
        if (result->deduplicated) {
            ++m_deduplicated;
            finished.outcome.kind = FileOutcome::Kind::Deduplicated;
        } else {
            finished.outcome.kind = FileOutcome::Kind::Uploaded;
            finished.outcome.uploadNumber = ++m_uploaded;
        }
        m_deps.reporter.post(std::move(finished));
        return endTransfer(transfer.id);
    }

    // The fallback: straight into the hosted storage, then the registry.
    if (transfer.backendError)
        post(SyncEvent::Type::BackendFailed, transfer.backendError->description());
    post(SyncEvent::Type::FallbackStarted, name);
    const std::optional<SupabaseSession> session = m_deps.client.currentSession();
    transfer.remotePath =
        StoragePath::forFile(session ? std::optional<QString>(session->userId) : std::nullopt,
                             m_options.deviceName, m_options.folderPath, transfer.digest, name);
    transfer.mimeType = mimeTypeFor(QFileInfo(name).suffix());
    transfer.stage = Transfer::Stage::Storage;
    transfer.storage =
        m_deps.client.uploadToStorage(transfer.file.path, transfer.remotePath, transfer.mimeType);
    whenDone(transfer.storage, transfer.id);
}

void SyncPass::onStorageDone(Transfer& transfer) {
    bool uploaded = false;
    std::optional<VaultError> error;
    try {
        uploaded = transfer.storage.result();
    } catch (const VaultError& thrown) {
        error = thrown;
    } catch (const std::exception& thrown) {
        error = asVaultError(thrown);
    }
    if (error)
        logLine(QStringLiteral("[FolderSync] Upload failed for ") + transfer.file.fileName +
                QStringLiteral(": ") + plainDescription(*error));
    if (isCancellation(error))
        return endTransfer(transfer.id);
    if (!uploaded) {
        const std::optional<VaultError> reason = error ? error : transfer.backendError;
        return fail(transfer, reason ? reason->description() : QStringLiteral("The vault refused the file."));
    }
    // The stored bytes are what the digest names only if the file stayed as it was hashed; the
    // registry must never point the digest at other content.
    const std::optional<FileScanner::Facts> now = FileScanner::readFacts(transfer.file.path);
    if (!now || !now->sameAs(transfer.file.facts)) {
        logLine(QStringLiteral("[FolderSync] ") + transfer.file.fileName +
                QStringLiteral(" changed while it was being uploaded; the next pass syncs it again."));
        return endTransfer(transfer.id);
    }
    transfer.stage = Transfer::Stage::Registry;
    transfer.registration = m_deps.client.registerOrDeduplicate(
        transfer.digest, transfer.file.fileName, transfer.remotePath, transfer.file.facts.size,
        transfer.mimeType, m_options.deviceName, transfer.containingFolder);
    whenDone(transfer.registration, transfer.id);
}

void SyncPass::onRegistered(Transfer& transfer) {
    // The object is stored; a failed registration does not undo that (its outcome is not read).
    recordIfUnchanged(transfer);
    m_deps.backoff.recordSuccess(transfer.file.relativePath);
    SyncEvent finished = event(SyncEvent::Type::FileFinished);
    finished.outcome.kind = FileOutcome::Kind::Uploaded;
    finished.outcome.fileName = transfer.file.fileName;
    finished.outcome.relativePath = transfer.file.relativePath;
    finished.outcome.at = m_deps.clock.now();
    finished.outcome.uploadNumber = ++m_uploaded;
    m_deps.reporter.post(std::move(finished));
    endTransfer(transfer.id);
}

void SyncPass::endTransfer(int transferId) {
    m_transfers.remove(transferId);
    --m_inFlight;
    m_deps.reporter.addFilesDone(1);
}

// Neither path took the file: it waits before the next attempt instead of costing every pass.
void SyncPass::fail(Transfer& transfer, const QString& reason) {
    SyncEvent failed = event(SyncEvent::Type::FileFinished);
    failed.outcome.kind = FileOutcome::Kind::Failed;
    failed.outcome.fileName = transfer.file.fileName;
    failed.outcome.relativePath = transfer.file.relativePath;
    failed.outcome.reason = reason;
    failed.outcome.at = m_deps.clock.now();
    failed.outcome.retryAt =
        m_deps.backoff.recordFailure(transfer.file.relativePath, transfer.file.facts, failed.outcome.at);
    logLine(QStringLiteral("[FolderSync] Could not sync %1 (%2); trying again in %3 s.")
                .arg(transfer.file.fileName, reason)
                .arg(failed.outcome.at.secsTo(failed.outcome.retryAt)));
    m_deps.reporter.post(std::move(failed));
    endTransfer(transfer.id);
}

bool SyncPass::recordIfUnchanged(const Transfer& transfer) {
    const std::optional<FileScanner::Facts> now = FileScanner::readFacts(transfer.file.path);
    if (!now || !now->sameAs(transfer.file.facts)) {
        logLine(QStringLiteral("[FolderSync] ") + transfer.file.fileName +
                QStringLiteral(" changed while it was being synced; the next pass syncs it again."));
        return false;
    }
    m_deps.ledger.recordSync(transfer.file.relativePath, transfer.file.facts.size,
                             transfer.file.facts.modified, transfer.digest);
    m_deps.digests.forget(transfer.file.relativePath);
    return true;
}
