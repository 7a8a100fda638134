#include "DataFolderLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace vault {

DataFolderLock::DataFolderLock(const std::filesystem::path& dataDir) {
    const auto file = dataDir / "vault.lock";
    m_fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0)
        throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
    // flock() belongs to this open file, so a second server in the same process is refused too.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        char text[32] = {};
        const ssize_t got = ::pread(m_fd, text, sizeof text - 1, 0);
        const long holder = got > 0 ? std::strtol(text, nullptr, 10) : 0;
        ::close(m_fd);
        m_fd = -1;
        if (error != EWOULDBLOCK)
            throw std::runtime_error("cannot lock " + file.string() + ": " + std::strerror(error));
        throw std::runtime_error("the data folder " + dataDir.string() +
                                 " is in use by another orlavant-vault" +
                                 (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
                                 "; stop that one first, or give this one another --data folder");
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(m_fd, 0) != 0 ||
        ::pwrite(m_fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds all the same; only the message of a second server loses the number.
    }
}

DataFolderLock::~DataFolderLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace vault
