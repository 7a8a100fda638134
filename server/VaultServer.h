#pragma once

#include "http/Limits.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vault {

class BlobStore;
class VaultStore;
struct SweepReport;

// The local vault: one HTTP server that speaks both the hosted service's contract (auth,
// REST files table and procedure, storage bucket) and the application backend's (login,
// devices, pre-upload / upload / confirm, web pages), over one account table and one store.
class VaultServer {
public:
    struct Config {
        std::filesystem::path dataDir;
        std::filesystem::path webDir;            // empty: no web pages
        std::string anonKey;                     // the "apikey" the hosted side requires
        std::int64_t quotaBytes = 10LL << 30;    // per household, distinct content
        std::int64_t maxUploadBytes = 4LL << 30; // per object or upload
        std::size_t maxJsonBytes = 1 << 20;      // every JSON request body
        int passwordIterations = 310'000;        // PBKDF2-HMAC-SHA256
        // Hosted sessions: access tokens live an hour, as the hosted service's do, and are renewed
        // with a refresh token. Backend sessions have no refresh, so ending one means typing the
        // password again: a month keeps a desktop that syncs for weeks signed in, while a token
        // copied off a machine still stops working in weeks rather than never (signing out ends
        // it at once).
        std::int64_t accessTokenSeconds = 3600;
        std::int64_t backendSessionSeconds = 30 * 24 * 3600;
        // A spent refresh token is answered with its chain's current token this long (a retry
        // after a lost reply); later, presenting it ends the session.
        std::int64_t refreshReuseSeconds = 10;
        // An upload location takes bytes this long; received bytes then wait this long again
        // for their confirmation. Until then they count against the household's quota.
        std::int64_t uploadLinkSeconds = 15 * 60;
        // How often expired upload tickets, unconfirmed uploads and dead sessions are removed
        // while serving (and once at start-up).
        std::chrono::seconds sweepInterval{10 * 60};
        std::function<std::int64_t()> nowMicros;     // unset: the system clock
        std::function<void(const std::string&)> log; // unset: standard output
        http::Limits transport;                      // what one client may cost: sizes, time-outs, threads
    };

    // Opens (or creates) the data folder and locks it for the life of this object; throws on
    // failure, naming the process that holds the folder when that is the reason.
    explicit VaultServer(Config config);
    ~VaultServer();
    VaultServer(const VaultServer&) = delete;
    VaultServer& operator=(const VaultServer&) = delete;

    // Binds the listening socket without port sharing; port 0 picks a free one. Returns the
    // port, or -1 with the reason (e.g. "address already in use") in `error`.
    int bind(const std::string& host, int port, std::string* error = nullptr);
    // Serves until stop(); call after bind(). Sweeps every sweepInterval meanwhile.
    void run();
    // Safe from any thread and from a signal-waiting thread.
    void stop();
    bool isRunning() const;

    std::string baseUrl() const; // "http://host:port"

    // Removes what nobody can use any more, as the periodic sweep does: upload tickets that
    // expired, failed or were confirmed, content that was uploaded and never confirmed, and
    // sessions (with their refresh tokens) that ended or expired a week ago.
    SweepReport sweep();

    // For tests that compare the client's view with what the vault holds.
    VaultStore& store();
    BlobStore& blobs();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The anon key kept in the data folder (created with a random value on first use), so that a
// launcher can hand the same key to the client on every start.
std::string loadOrCreateAnonKey(const std::filesystem::path& dataDir);

} // namespace vault
