#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// A durable reference to a folder that the settings store can keep: the folder's absolute path
// and its device and inode. Resolving finds the folder again at that path; when something else
// (a different inode) now lives there, the bookmark still resolves but is stale and should be
// replaced by a fresh one. Sandboxed access does not exist here, so starting and stopping it
// always succeed.
class FolderBookmark {
public:
    struct Resolved {
        QString path;
        bool isStale = false;
    };

    // nullopt, with a description in `error`, when `folderPath` is not an existing directory.
    static std::optional<QByteArray> create(const QString& folderPath, QString* error = nullptr);
    // nullopt, with a description in `error`, when the data is not a bookmark or nothing is there.
    static std::optional<Resolved> resolve(const QByteArray& data, QString* error = nullptr);

    static bool startAccessing(const QString& /*folderPath*/) { return true; }
    static void stopAccessing(const QString& /*folderPath*/) {}
};
