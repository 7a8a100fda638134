#include "platform/FolderBookmark.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

const QByteArray Magic = QByteArrayLiteral("orlavant-folder-bookmark-1\n");

struct Identity {
    quint64 device = 0;
    quint64 inode = 0;
};

std::optional<Identity> directoryIdentity(const QString& path, QString* error) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (error)
            *error = QStringLiteral("The folder \u201C%1\u201D could not be found: %2")
                         .arg(path, QString::fromLocal8Bit(strerror(errno)));
        return std::nullopt;
    }
    if (!S_ISDIR(info.st_mode)) {
        if (error)
            *error = QStringLiteral("\u201C%1\u201D is not a folder.").arg(path);
        return std::nullopt;
    }
    return Identity{quint64(info.st_dev), quint64(info.st_ino)};
}

} // namespace

std::optional<QByteArray> FolderBookmark::create(const QString& folderPath, QString* error) {
    if (folderPath.isEmpty() || !QDir::isAbsolutePath(folderPath)) {
        if (error)
            *error = QStringLiteral("A bookmark needs an absolute folder path.");
        return std::nullopt;
    }
    const QString path = QDir::cleanPath(folderPath);
    const std::optional<Identity> identity = directoryIdentity(path, error);
    if (!identity)
        return std::nullopt;
    QJsonObject object;
    object.insert(QStringLiteral("path"), path);
    // Decimal text: JSON numbers cannot carry every 64-bit value.
    object.insert(QStringLiteral("device"), QString::number(identity->device));
    object.insert(QStringLiteral("inode"), QString::number(identity->inode));
    return Magic + QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<FolderBookmark::Resolved> FolderBookmark::resolve(const QByteArray& data, QString* error) {
    const auto fail = [error](const QString& text) -> std::optional<Resolved> {
        if (error)
            *error = text;
        return std::nullopt;
    };
    if (!data.startsWith(Magic))
        return fail(QStringLiteral("The bookmark data is not in a known format."));
    const QJsonDocument document = QJsonDocument::fromJson(data.mid(Magic.size()));
    const QJsonObject object = document.object();
    const QString path = object.value(QStringLiteral("path")).toString();
    bool deviceOk = false;
    bool inodeOk = false;
    const quint64 device = object.value(QStringLiteral("device")).toString().toULongLong(&deviceOk);
    const quint64 inode = object.value(QStringLiteral("inode")).toString().toULongLong(&inodeOk);
    if (!document.isObject() || path.isEmpty() || !QDir::isAbsolutePath(path) || !deviceOk || !inodeOk)
        return fail(QStringLiteral("The bookmark data is not in a known format."));
    const std::optional<Identity> identity = directoryIdentity(path, error);
    if (!identity)
        return std::nullopt;
    return Resolved{path, identity->device != device || identity->inode != inode};
}
