#pragma once

#include "sync/FileScanner.h"
#include "sync/SyncReport.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class Clock;
class DigestCache;
class FailureBackoff;
class SupabaseClient;
class SyncLedger;
class SyncReporter;

// One sweep of the watched folder, in stages: collect the candidates, filter them through the
// ledger (and the failures still waiting), hash what is left on a thread of its own (ahead of
// the transfers, reusing the digests of files hashed before), transfer up to
// `parallelTransfers` files at once through the vault (backend path, else storage and
// registry), and record what the vault confirmed. With one transfer at a time the files go
// exactly in the order of the serial pass.
//
// Everything the pass has to say goes through the reporter as events; it never touches the
// engine's state. run() blocks the calling thread until the pass has ended.
class SyncPass {
public:
    struct Dependencies {
        SupabaseClient& client;
        SyncLedger& ledger;
        DigestCache& digests;
        FailureBackoff& backoff;
        SyncReporter& reporter;
        const Clock& clock;
        // Names already reported as not valid UTF-8, kept from pass to pass by the caller.
        QSet<QString>& reportedUndecodable;
    };
    struct Options {
        quint64 passId = 0;
        QString folderPath;
        QString deviceName;
        int parallelTransfers = 4;
    };
    struct Conditions {
        // A folder change or shutdown: stop collecting and hashing, start no fallback, count
        // nothing more (what the vault has confirmed is still recorded).
        std::function<bool()> isCancelled;
        // Asked before each file: start nothing more (pause, sign-out, the folder changed).
        std::function<bool()> shouldStop;
    };

    SyncPass(const Dependencies& dependencies, Options options, Conditions conditions);
    ~SyncPass();
    SyncPass(const SyncPass&) = delete;
    SyncPass& operator=(const SyncPass&) = delete;

    void run();
    // Any thread: ends run() at once, leaving vault calls in flight unrecorded (program exit).
    void abandon();

private:
    struct WorkFile {
        QString path;
        QString relativePath;
        QString fileName;
        FileScanner::Facts facts;
        int candidateIndex = 0;
    };
    struct Hashed;
    struct Transfer;
    struct Mailbox;

    SyncEvent event(SyncEvent::Type type, const QString& text = {}) const;
    void post(SyncEvent::Type type, const QString& text = {});
    void finish(SyncEvent::End end);

    QList<WorkFile> filter(const QStringList& candidates, bool* cancelled);
    void reportUndecodable(const QStringList& names);
    void hashAhead();
    Hashed hash(int index);
    void transferAll();
    bool stopBeforeNextFile(int nextCandidateIndex);
    void onHashed(const Hashed& hashed);
    void startTransfer(const WorkFile& file, const QString& digest);
    void onCompletion(int transferId);
    void onBackendDone(Transfer& transfer);
    void onStorageDone(Transfer& transfer);
    void onRegistered(Transfer& transfer);
    void endTransfer(int transferId);
    void fail(Transfer& transfer, const QString& reason);
    bool recordIfUnchanged(const Transfer& transfer);
    template <typename T> void whenDone(const T& future, int transferId);
    void halt();

    const Dependencies m_deps;
    const Options m_options;
    const Conditions m_conditions;

    QStringList m_candidates;
    QList<WorkFile> m_work;
    std::shared_ptr<Mailbox> m_mailbox; // shared with vault call continuations that may outlive the pass
    std::thread m_hasher;
    std::atomic<bool> m_halted{false}; // start nothing more; the hasher stops between chunks
    bool m_abortLogged = false;

    // The coordinating thread only.
    QHash<int, std::shared_ptr<Transfer>> m_transfers;
    int m_nextTransferId = 0;
    int m_inFlight = 0;
    int m_lastCandidateStarted = -1;
    int m_uploaded = 0;
    int m_deduplicated = 0;
};
