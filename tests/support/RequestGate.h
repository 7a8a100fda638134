#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Holds the requests of a fake server's handler (which run on the server's own threads) until
// the test opens the gate, or until a given number of them wait together; counts how many were
// ever inside at once. A generous time limit keeps a test that got it wrong from hanging for
// good; it never decides a test's outcome.
class RequestGate {
public:
    // Opens by itself once `count` requests wait at the same time.
    void openWhenWaiting(int count) {
        std::lock_guard lock(m_mutex);
        m_openAt = count;
        m_open = false;
    }
    void close() {
        std::lock_guard lock(m_mutex);
        m_open = false;
        m_openAt = 0;
    }
    void open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

    // Called by a handler: waits while the gate is closed.
    void pass() {
        std::unique_lock lock(m_mutex);
        ++m_inside;
        m_mostInside = std::max(m_mostInside, m_inside);
        if (m_openAt > 0 && m_inside >= m_openAt)
            m_open = true;
        m_changed.notify_all();
        m_changed.wait_for(lock, std::chrono::seconds(60), [this] { return m_open; });
        --m_inside;
    }

    int waiting() const {
        std::lock_guard lock(m_mutex);
        return m_open ? 0 : m_inside;
    }
    int mostInside() const {
        std::lock_guard lock(m_mutex);
        return m_mostInside;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;
    int m_openAt = 0;
    int m_inside = 0;
    int m_mostInside = 0;
};
