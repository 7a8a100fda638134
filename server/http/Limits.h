#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vault::http {

// What one client may cost the server. Every limit holds whatever the client sends: a head
// that never ends, a body of any transfer encoding, a connection that only waits.
struct Limits {
    std::size_t maxHeadBytes = 32 * 1024;    // request line and every header together -> 431
    std::size_t maxHeaderCount = 100;        // -> 431
    std::size_t maxTargetBytes = 8 * 1024;   // the request target -> 414
    std::uint64_t maxBodyBytes = 5ULL << 30; // any body, whatever its route reads -> 413
    // Routes that take no body (and unknown paths) read and drop at most this much -> 413.
    std::size_t maxIgnoredBodyBytes = 64 * 1024;
    // Read ahead of a body route's handler, off the worker threads, so a handler of a small
    // JSON body never waits on the network.
    std::size_t bodyPrefetchBytes = 64 * 1024;

    // A connection without a request in progress is closed after this long.
    std::chrono::milliseconds idleTimeout{5'000};
    // The whole head must arrive within this, counted from its first byte -> 408.
    std::chrono::milliseconds headTimeout{10'000};
    // A body must keep up at least minBodyBytesPerSecond on average after this grace, and
    // never stall longer than the grace -> 408.
    std::chrono::milliseconds bodyGrace{30'000};
    std::uint64_t minBodyBytesPerSecond = 32 * 1024;
    // A reply the client does not take within this (per write) ends the connection.
    std::chrono::milliseconds writeTimeout{30'000};

    std::size_t maxConnections = 4096;
    int listenBacklog = 1024;
    int ioThreads = 2;
    std::size_t maxWorkers = 512; // blocking handlers; idle and slow clients hold none
    std::size_t heavyWorkers = 0; // CPU-heavy handlers at once; 0: one less than the cores, at least 1
};

} // namespace vault::http
