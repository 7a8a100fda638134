#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace vault {

// Content-addressed file storage: every blob lives under its SHA-256 digest. New content is
// written to a temporary file, hashed as it arrives, fsynced and only then renamed into place,
// so a blob that exists is always complete and a crash leaves at most a stray temporary file.
class BlobStore {
public:
    explicit BlobStore(std::filesystem::path root); // creates blobs/ and tmp/, clears tmp/

    // One incoming blob. Nothing is visible in the store until commit() succeeds; destroying
    // an uncommitted writer removes its temporary file.
    class Writer {
    public:
        ~Writer();
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;
        bool write(const char* data, std::size_t size); // false on a disk error
        std::uint64_t size() const { return m_size; }
        // Ends hashing and gives the digest of everything written (callable once).
        std::string finishDigest();
        // Moves the finished content under its digest; false on a disk error.
        bool commit();

    private:
        friend class BlobStore;
        Writer(BlobStore& store, std::filesystem::path tempPath, int fd);
        BlobStore& m_store;
        std::filesystem::path m_tempPath;
        int m_fd = -1;
        std::uint64_t m_size = 0;
        struct Hash;
        std::unique_ptr<Hash> m_hash;
        std::string m_digest;
        bool m_committed = false;
        // The HTTP layer hands over a few KiB at a time; writing and hashing in large runs
        // keeps a 1 GB upload from costing hundreds of thousands of system calls.
        std::string m_buffer;
        bool flushBuffer();
        bool m_flushFailed = false;
    };

    std::unique_ptr<Writer> begin(); // nullptr when no temporary file can be created

    bool contains(const std::string& digest) const;
    std::optional<std::uint64_t> sizeOf(const std::string& digest) const;
    // Where the blob lives; only for a digest that passed isLowerHexDigest().
    std::filesystem::path pathFor(const std::string& digest) const;
    // Removes blobs whose digest `referenced()` does not list; returns how many went. Holds
    // off every holdWhileReferencing() for its whole run, so no blob appears between the
    // listing and the removal.
    std::size_t removeUnreferenced(const std::function<std::vector<std::string>()>& referenced);
    // Held from before content is committed until the database references it, when nothing
    // referenced it beforehand: a sweep in between would take it for an orphan.
    std::shared_lock<std::shared_mutex> holdWhileReferencing();

private:
    std::shared_mutex m_sweep;
    std::filesystem::path m_blobs;
    std::filesystem::path m_tmp;
};

} // namespace vault
