#include "BlobStore.h"

#include "VaultCrypto.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vault {

namespace {

void fsyncDirectory(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

struct BlobStore::Writer::Hash {
    crypto::Sha256 sha;
};

BlobStore::BlobStore(fs::path root)
    : m_blobs(root / "blobs")
    , m_tmp(root / "tmp") {
    fs::create_directories(m_blobs);
    fs::create_directories(m_tmp);
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::replace);
    // Leftovers of uploads that were cut off by a crash: never part of the store.
    for (const auto& entry : fs::directory_iterator(m_tmp)) {
        std::error_code ignored;
        fs::remove(entry.path(), ignored);
    }
}

std::unique_ptr<BlobStore::Writer> BlobStore::begin() {
    std::string name = m_tmp / ("upload-" + crypto::hexEncode(crypto::randomBytes(12)));
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<Writer>(new Writer(*this, name, fd));
}

fs::path BlobStore::pathFor(const std::string& digest) const {
    return m_blobs / digest.substr(0, 2) / digest;
}

bool BlobStore::contains(const std::string& digest) const {
    if (!crypto::isLowerHexDigest(digest))
        return false;
    std::error_code error;
    return fs::is_regular_file(pathFor(digest), error);
}

std::optional<std::uint64_t> BlobStore::sizeOf(const std::string& digest) const {
    if (!crypto::isLowerHexDigest(digest))
        return std::nullopt;
    std::error_code error;
    const auto size = fs::file_size(pathFor(digest), error);
    if (error)
        return std::nullopt;
    return size;
}

std::shared_lock<std::shared_mutex> BlobStore::holdWhileReferencing() {
    return std::shared_lock(m_sweep);
}

std::size_t BlobStore::removeUnreferenced(const std::function<std::vector<std::string>()>& referenced) {
    std::unique_lock exclusive(m_sweep);
    const std::vector<std::string> keep = referenced();
    const std::set<std::string> wanted(keep.begin(), keep.end());
    std::size_t removed = 0;
    std::error_code error;
    for (const auto& shard : fs::directory_iterator(m_blobs, error)) {
        for (const auto& entry : fs::directory_iterator(shard.path(), error)) {
            const std::string name = entry.path().filename().string();
            if (crypto::isLowerHexDigest(name) && !wanted.count(name) && fs::remove(entry.path(), error))
                ++removed;
        }
    }
    return removed;
}

BlobStore::Writer::Writer(BlobStore& store, fs::path tempPath, int fd)
    : m_store(store)
    , m_tempPath(std::move(tempPath))
    , m_fd(fd)
    , m_hash(std::make_unique<Hash>()) {}

BlobStore::Writer::~Writer() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed) {
        std::error_code ignored;
        fs::remove(m_tempPath, ignored);
    }
}

bool BlobStore::Writer::write(const char* data, std::size_t size) {
    if (m_fd < 0 || !m_digest.empty())
        return false;
    m_size += size;
    m_buffer.append(data, size);
    return m_buffer.size() < (1u << 20) || flushBuffer();
}

bool BlobStore::Writer::flushBuffer() {
    m_hash->sha.update(m_buffer.data(), m_buffer.size());
    const char* data = m_buffer.data();
    std::size_t size = m_buffer.size();
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    m_buffer.clear();
    return true;
}

std::string BlobStore::Writer::finishDigest() {
    if (m_digest.empty()) {
        if (!flushBuffer())
            m_flushFailed = true;
        m_digest = m_hash->sha.hex();
    }
    return m_digest;
}

bool BlobStore::Writer::commit() {
    if (m_fd < 0 || m_committed)
        return false;
    const std::string digest = finishDigest();
    const fs::path target = m_store.pathFor(digest);
    std::error_code error;
    // Same digest, same bytes: an existing blob already holds this content, so the copy is
    // dropped without paying for its fsync.
    if (!m_flushFailed && fs::is_regular_file(target, error)) {
        ::close(m_fd);
        m_fd = -1;
        fs::remove(m_tempPath, error);
        m_committed = true;
        return true;
    }
    const bool synced = !m_flushFailed && ::fsync(m_fd) == 0;
    ::close(m_fd);
    m_fd = -1;
    if (!synced)
        return false;
    fs::create_directories(target.parent_path(), error);
    if (error)
        return false;
    fs::rename(m_tempPath, target, error);
    if (error)
        return false;
    fsyncDirectory(target.parent_path());
    m_committed = true;
    return true;
}

} // namespace vault
