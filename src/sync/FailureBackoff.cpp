#include "sync/FailureBackoff.h"

std::chrono::seconds FailureBackoff::delayAfter(int failures) {
    std::chrono::seconds delay = FirstDelay;
    for (int i = 1; i < failures && delay < MaxDelay; ++i)
        delay *= 2;
    return std::min(delay, MaxDelay);
}

bool FailureBackoff::isWaiting(const QString& relativePath, const FileScanner::Facts& facts,
                               const QDateTime& now) {
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.find(relativePath);
    if (it == m_entries.end())
        return false;
    if (!it->facts.sameAs(facts)) {
        m_entries.erase(it);
        return false;
    }
    return now < it->due;
}

QDateTime FailureBackoff::recordFailure(const QString& relativePath, const FileScanner::Facts& facts,
                                        const QDateTime& now) {
    QMutexLocker lock(&m_mutex);
    Entry& entry = m_entries[relativePath];
    entry.failures = entry.facts.sameAs(facts) ? entry.failures + 1 : 1;
    entry.facts = facts;
    entry.due = now.addSecs(delayAfter(entry.failures).count());
    return entry.due;
}

void FailureBackoff::recordSuccess(const QString& relativePath) {
    QMutexLocker lock(&m_mutex);
    m_entries.remove(relativePath);
}

void FailureBackoff::reset() {
    QMutexLocker lock(&m_mutex);
    m_entries.clear();
}

int FailureBackoff::size() const {
    QMutexLocker lock(&m_mutex);
    return int(m_entries.size());
}
