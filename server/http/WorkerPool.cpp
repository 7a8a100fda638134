#include "WorkerPool.h"

#include <algorithm>
#include <system_error>

namespace vault::http {

WorkerPool::WorkerPool(std::size_t maxThreads)
    : m_maxThreads(std::max<std::size_t>(1, maxThreads)) {}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (auto& thread : m_threads)
        thread.join();
}

void WorkerPool::post(std::function<void()> task) {
    std::lock_guard lock(m_mutex);
    m_tasks.push_back(std::move(task));
    // Idle threads already waiting for the queued tasks need no company.
    if (m_idle < m_tasks.size() && m_threads.size() < m_maxThreads) {
        try {
            m_threads.emplace_back([this] { work(); });
            return;
        } catch (const std::system_error&) {
            // The system has no thread to spare: the task waits for one of ours.
            if (m_threads.empty())
                throw;
        }
    }
    m_wake.notify_one();
}

std::size_t WorkerPool::threadCount() const {
    std::lock_guard lock(m_mutex);
    return m_threads.size();
}

void WorkerPool::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_idle;
        m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
        --m_idle;
        if (m_tasks.empty())
            return; // stopping, nothing left
        auto task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace vault::http
