// orlavant-vault: the local vault server. See --help.

#include "HouseholdCommand.h"
#include "VaultServer.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef ORLAVANT_WEB_INSTALL_DIR
#define ORLAVANT_WEB_INSTALL_DIR ""
#endif

namespace fs = std::filesystem;

namespace {

const std::string usage =
    std::string("Usage: orlavant-vault [options]\n") + vault::householdCommandUsage + "Options:\n" +
    "  --listen HOST:PORT   address to serve (default 127.0.0.1:8787; port 0 picks a free one)\n"
    "  --data DIR           data folder (default ${XDG_DATA_HOME:-~/.local/share}/orlavant-vault)\n"
    "  --web DIR            web pages served under /web/ (default: the installed or source pages)\n"
    "  --quota SIZE         storage per household, e.g. 10G (default 10G)\n"
    "  --max-upload SIZE    largest single file, e.g. 4G (default 4G)\n"
    "  --anon-key KEY       apikey of the hosted side (default: kept in DATA/anon.key)\n"
    "  --token-ttl TIME     life of a hosted access token, renewed with its refresh token (default 1h)\n"
    "  --backend-session-ttl TIME\n"
    "                       life of a backend sign-in, which has no refresh (default 30d)\n"
    "  --refresh-reuse-interval TIME\n"
    "                       how long a spent refresh token still gets its successor, for a client\n"
    "                       whose reply was lost (default 10s; 0: never, any reuse ends the session)\n"
    "SIZE takes an optional K, M, G or T suffix (powers of 1024).\n"
    "TIME is seconds, or a number with s, m, h or d.\n"
    "The quota counts each distinct content of a household once, including uploads still on their\n"
    "way; uploads never confirmed and expired upload locations are removed every 10 minutes and\n"
    "at start-up.\n";

std::optional<std::int64_t> parseSize(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno || end == text.c_str() || value < 0)
        return std::nullopt;
    int shift = 0;
    const std::string suffix = end;
    if (suffix == "K" || suffix == "k")
        shift = 10;
    else if (suffix == "M" || suffix == "m")
        shift = 20;
    else if (suffix == "G" || suffix == "g")
        shift = 30;
    else if (suffix == "T" || suffix == "t")
        shift = 40;
    else if (!suffix.empty())
        return std::nullopt;
    if (shift && value > (INT64_MAX >> shift))
        return std::nullopt;
    return static_cast<std::int64_t>(value) << shift;
}

// Seconds, from "90", "90s", "15m", "1h" or "30d"; at most ten years, and more than none
// unless `zeroAllowed`.
std::optional<std::int64_t> parseDuration(const std::string& text, bool zeroAllowed = false) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    const std::string unit = end ? end : "";
    const std::int64_t scale = unit.empty() || unit == "s" ? 1
                               : unit == "m"               ? 60
                               : unit == "h"               ? 3600
                               : unit == "d"               ? 86400
                                                           : 0;
    if (errno || end == text.c_str() || value < (zeroAllowed ? 0 : 1) || scale == 0 ||
        value > 10LL * 366 * 86400 / scale)
        return std::nullopt;
    return value * scale;
}

fs::path defaultDataDir() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return fs::path(xdg) / "orlavant-vault";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : ".") / ".local/share/orlavant-vault";
}

// The installed pages, the build tree's link to them, or the source tree beside the build.
fs::path defaultWebDir() {
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    std::vector<fs::path> candidates;
    if (!error) {
        const fs::path dir = exe.parent_path();
        candidates = {dir / "../share/orlavant/web", dir / "../../share/orlavant/web",
                      dir / "../../resources/web", dir / "../resources/web"};
    }
    if (*ORLAVANT_WEB_INSTALL_DIR)
        candidates.insert(candidates.begin() + (candidates.empty() ? 0 : 1),
                          fs::path(ORLAVANT_WEB_INSTALL_DIR));
    for (const auto& candidate : candidates)
        if (fs::is_directory(candidate, error))
            return fs::canonical(candidate, error);
    return {};
}

// Every client connection is a descriptor: take all the system allows this process, so a
// crowd of clients meets the server's own connection limit, not "too many open files".
void raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && vault::isHouseholdCommand(argv[1]))
        return vault::runHouseholdCommand(argc, argv, defaultDataDir());
    std::string listen = "127.0.0.1:8787";
    vault::VaultServer::Config config;
    config.dataDir = defaultDataDir();
    std::optional<fs::path> webDir;
    std::optional<std::string> anonKey;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "orlavant-vault: " << arg << " needs a value\n" << usage;
                std::exit(2);
            }
            return argv[++i];
        };
        auto size = [&]() {
            const std::string text = value();
            const auto parsed = parseSize(text);
            if (!parsed) {
                std::cerr << "orlavant-vault: " << arg << ": not a size: " << text << "\n";
                std::exit(2);
            }
            return *parsed;
        };
        if (arg == "--listen")
            listen = value();
        else if (arg == "--data")
            config.dataDir = value();
        else if (arg == "--web")
            webDir = fs::path(value());
        else if (arg == "--quota")
            config.quotaBytes = size();
        else if (arg == "--max-upload")
            config.maxUploadBytes = size();
        else if (arg == "--anon-key")
            anonKey = value();
        else if (arg == "--token-ttl" || arg == "--backend-session-ttl" ||
                 arg == "--refresh-reuse-interval") {
            const std::string text = value();
            const bool reuse = arg == "--refresh-reuse-interval";
            const auto seconds = parseDuration(text, reuse);
            if (!seconds) {
                std::cerr << "orlavant-vault: " << arg << ": not a duration: " << text << "\n";
                return 2;
            }
            (reuse                  ? config.refreshReuseSeconds
             : arg == "--token-ttl" ? config.accessTokenSeconds
                                    : config.backendSessionSeconds) = *seconds;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        } else {
            std::cerr << "orlavant-vault: unknown option " << arg << "\n" << usage;
            return 2;
        }
    }

    const auto colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? listen : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    const long port = colon == std::string::npos ? -1 : std::strtol(listen.c_str() + colon + 1, &end, 10);
    if (host.empty() || port < 0 || port > 65535 || (end && *end)) {
        std::cerr << "orlavant-vault: --listen wants HOST:PORT, got " << listen << "\n";
        return 2;
    }

    // Signals are taken by one waiting thread, so no handler runs in the middle of a request.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();

    try {
        config.webDir = webDir ? *webDir : defaultWebDir();
        config.anonKey = anonKey ? *anonKey : vault::loadOrCreateAnonKey(config.dataDir);
        vault::VaultServer server(config);
        std::string reason;
        if (server.bind(host, static_cast<int>(port), &reason) < 0) {
            std::cerr
                << "orlavant-vault: cannot listen on " << listen << ": " << reason
                << (reason == "address already in use"
                        ? " (another program serves there: stop it, or choose another port with --listen)"
                        : "")
                << "\n";
            return 1;
        }
        std::thread stopper([&] {
            int received = 0;
            sigwait(&signals, &received);
            std::cout << "[vault] stopping on " << (received == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
            server.stop();
        });
        std::cout << "[vault] data in " << config.dataDir.string() << "; web pages from "
                  << (config.webDir.empty() ? std::string("(none)") : config.webDir.string()) << std::endl;
        std::cout << "orlavant-vault listening on " << server.baseUrl() << std::endl;
        server.run();
        // Unblock the waiting thread when the server ended by itself.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        std::cout << "[vault] stopped" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "orlavant-vault: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
