#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

// What a sync pass tells the rest of the program, as plain values: the events of the pass in
// the order they happened, and how far it has got. The engine turns them into its status
// texts, counters, callbacks and notifications; progress displays and activity lists read the
// same values.

// What became of one file.
struct FileOutcome {
    enum class Kind {
        Uploaded,           // the vault stored it as new content
        Deduplicated,       // the vault already held its content
        Failed,             // neither path took it; tried again at `retryAt`
        SkippedInvalidName, // its name is not valid UTF-8 (reported once per name)
        SkippedUnreadable,  // it could not be read; tried again at `retryAt`
    };
    Kind kind = Kind::Uploaded;
    QString fileName;     // the last path component
    QString relativePath; // below the watched folder
    QString reason;       // for the failed and skipped kinds: why, in words for the user
    QDateTime at;         // when it happened (the engine's clock)
    QDateTime retryAt;    // Failed, SkippedUnreadable: when the file is due again
    // Uploaded: its place among the pass's uploads, from 1; the engine announces the first few.
    int uploadNumber = 0;
};

struct SyncEvent {
    enum class Type {
        PassStarted,     // `text`: the folder's name
        TransferStarted, // `text`: the file's name
        BackendFailed,   // `text`: the error's description (the storage fallback follows)
        FallbackStarted, // `text`: the file's name
        FileFinished,    // `outcome`
        PassEnded,       // `end`
    };
    enum class End {
        Complete,       // every file was handled
        Stopped,        // a pause, sign-out or folder change stopped it between files
        CannotRead,     // the folder could not be enumerated
        CancelledEarly, // a folder change (or shutdown) ended it before any file was handled
    };
    Type type = Type::PassStarted;
    quint64 passId = 0;
    QString text;
    FileOutcome outcome;
    End end = End::Complete;
    int uploadedCount = 0;     // PassEnded
    int deduplicatedCount = 0; // PassEnded
};

// How far the running (or last) pass has got. `filesTotal` and `bytesTotal` count the files
// that needed work (new or changed, and not waiting after a failure), known once the folder
// has been read; a file is done whatever its outcome. Bytes sent count file bodies put on the
// wire, so they can exceed `bytesTotal` when a file went out twice (backend, then storage).
struct SyncProgress {
    quint64 passId = 0;
    int filesTotal = 0;
    int filesDone = 0;
    qint64 bytesTotal = 0;
    qint64 bytesHashed = 0;
    qint64 bytesSent = 0;

    bool operator==(const SyncProgress&) const = default;
};

// One delivery to the main thread: the events since the last one, in order, and the progress now.
struct SyncReportBatch {
    QList<SyncEvent> events;
    SyncProgress progress;
};
