#pragma once

#include <filesystem>

namespace vault {

// An exclusive lock on a data folder for the life of this object (vault.lock inside it), so
// two servers never share one database and one blob store. The kernel drops the lock when its
// holder dies, so a killed server never leaves a folder locked. The holder's process id is
// written into the file for the message a second server gives.
class DataFolderLock {
public:
    // Throws std::runtime_error naming the holder when another process has the folder.
    explicit DataFolderLock(const std::filesystem::path& dataDir);
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

private:
    int m_fd = -1;
};

} // namespace vault
