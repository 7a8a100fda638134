#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// The file-level building blocks of a sync pass: which entries of the folder are candidates,
// their facts, and their content digest. Everything works on the names the file system holds;
// symbolic links are never followed and only regular files are ever opened.
namespace FileScanner {

enum class Outcome { Complete, CannotEnumerate, Cancelled };

struct Collection {
    Outcome outcome = Outcome::Complete;
    QStringList candidates; // absolute paths, in enumeration order (depth first)
    // Names left out because they are not valid UTF-8: they could neither be uploaded by name
    // nor kept apart in the ledger.
    QStringList undecodableNames;
};

// Enumerates `folderPath` recursively. `isCancelled` is asked before each entry.
Collection collectCandidates(const QString& folderPath, const std::function<bool()>& isCancelled);

// Hidden entries, partial downloads and temporary files are never synced (case-sensitive).
bool isCandidateName(QStringView name);

// The ledger key: the path below the folder. Only the leading folder prefix is removed, so a
// folder name repeated deeper in the tree stays part of the key.
QString relativePath(const QString& filePath, const QString& folderPath);

// The last component of a path, and the path of the directory holding it.
QString fileName(const QString& path);
QString parentPath(const QString& path);

struct Facts {
    qint64 size = 0;
    QDateTime modified;    // UTC, millisecond precision
    qint64 modifiedNs = 0; // full precision, for change detection
    quint64 inode = 0;     // a file replaced by another of the same size and date is still a change

    bool sameAs(const Facts& other) const {
        return size == other.size && modifiedNs == other.modifiedNs && inode == other.inode;
    }
};

// Size and modification date of a regular file (not following links); nullopt otherwise.
std::optional<Facts> readFacts(const QString& filePath);

struct Digest {
    QString hex;      // 64 lower-case hexadecimal digits
    Facts factsAtEnd; // of the open file, once every byte was read
    qint64 bytesRead = 0;
};

// What a long hash may be asked between chunks.
struct HashControl {
    // Answering true ends the hash at the next chunk (sha256 then gives nullopt).
    std::function<bool()> isCancelled;
    // Told the size of every chunk read.
    std::function<void(qint64 bytes)> onRead;
};

// SHA-256 streamed in 64 KiB chunks. nullopt when the path is not a regular file that can be
// opened for reading (a FIFO or device is refused before any read could block), or when the
// control cancelled it.
std::optional<Digest> sha256(const QString& filePath, const HashControl& control = {});

} // namespace FileScanner
