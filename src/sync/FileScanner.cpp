#include "sync/FileScanner.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace FileScanner {

namespace {

constexpr size_t ChunkSize = 64 * 1024;

Facts factsOf(const struct stat& info) {
    Facts facts;
    facts.size = qint64(info.st_size);
    // Some file systems keep dates far beyond year 2262, where nanoseconds overflow 64 bits: the
    // count wraps (it only has to tell two dates apart), the date itself saturates.
    facts.modifiedNs =
        qint64(quint64(info.st_mtim.tv_sec) * 1'000'000'000ULL + quint64(info.st_mtim.tv_nsec));
    constexpr qint64 LimitSeconds = std::numeric_limits<qint64>::max() / 1000 - 1;
    const qint64 seconds = std::clamp<qint64>(info.st_mtim.tv_sec, -LimitSeconds, LimitSeconds);
    facts.modified =
        QDateTime::fromMSecsSinceEpoch(seconds * 1000 + info.st_mtim.tv_nsec / 1'000'000, Qt::UTC);
    facts.inode = quint64(info.st_ino);
    return facts;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// Walks one directory (already open) depth first. Returns false when cancelled.
bool walk(int dirFd, const QByteArray& dirPath, const std::function<bool()>& isCancelled, Collection& out) {
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(dirFd));
    if (!dir) {
        ::close(dirFd);
        return true; // unreadable below the root: left out silently
    }
    while (dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        // Hidden entries (and so "." and "..") are never returned, nor anything below them.
        if (name[0] == '.')
            continue;
        if (isCancelled && isCancelled())
            return false;
        const QByteArrayView nameBytes(name, qsizetype(std::strlen(name)));
        const QString decoded = QString::fromUtf8(nameBytes);
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat info {};
            if (::fstatat(::dirfd(dir.get()), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        QByteArray childPath = dirPath;
        childPath += '/';
        childPath += nameBytes;
        if (type == DT_DIR) {
            const int childFd =
                ::openat(::dirfd(dir.get()), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd < 0)
                continue;
            if (!walk(childFd, childPath, isCancelled, out))
                return false;
            continue;
        }
        if (!isCandidateName(decoded) || type != DT_REG)
            continue;
        QString candidate = QString::fromUtf8(childPath);
        if (candidate.toUtf8() != childPath) {
            out.undecodableNames.append(candidate);
            continue;
        }
        out.candidates.append(std::move(candidate));
    }
    return true;
}

} // namespace

bool isCandidateName(QStringView name) {
    return !name.startsWith(u'.') && !name.endsWith(u".tmp") && !name.endsWith(u".crdownload") &&
           name != u".DS_Store";
}

Collection collectCandidates(const QString& folderPath, const std::function<bool()>& isCancelled) {
    Collection out;
    QByteArray root = QFile::encodeName(folderPath);
    while (root.size() > 1 && root.endsWith('/'))
        root.chop(1);
    const int fd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        out.outcome = Outcome::CannotEnumerate;
        return out;
    }
    if (root == "/")
        root.clear();
    if (!walk(fd, root, isCancelled, out)) {
        out.outcome = Outcome::Cancelled;
        out.candidates.clear();
    }
    return out;
}

QString relativePath(const QString& filePath, const QString& folderPath) {
    QStringView rest(filePath);
    if (rest.startsWith(folderPath))
        rest = rest.mid(folderPath.size());
    while (rest.startsWith(u'/'))
        rest = rest.mid(1);
    while (rest.endsWith(u'/'))
        rest.chop(1);
    return rest.toString();
}

QString fileName(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

QString parentPath(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

std::optional<Facts> readFacts(const QString& filePath) {
    struct stat info {};
    if (::lstat(QFile::encodeName(filePath).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return factsOf(info);
}

std::optional<Digest> sha256(const QString& filePath, const HashControl& control) {
    // Non-blocking open: a FIFO swapped in for the file must not hang the pass.
    const int fd =
        ::open(QFile::encodeName(filePath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    std::vector<unsigned char> buffer(ChunkSize);
    Digest digest;
    for (;;) {
        if (control.isCancelled && control.isCancelled())
            return std::nullopt;
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (count == 0)
            break;
        EVP_DigestUpdate(context.get(), buffer.data(), size_t(count));
        digest.bytesRead += count;
        if (control.onRead)
            control.onRead(count);
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), value, &length) != 1)
        return std::nullopt;
    digest.hex = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(value), int(length)).toHex());
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    digest.factsAtEnd = factsOf(info);
    return digest;
}

} // namespace FileScanner
