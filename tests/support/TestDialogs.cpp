#include "support/TestDialogs.h"

std::optional<QStringList> TestDialogs::open(const OpenOptions& options) {
    m_asked.append({Asked::Open, options.title, options.message, options, {}});
    return m_open.isEmpty() ? std::nullopt : m_open.dequeue();
}

std::optional<QString> TestDialogs::save(const SaveOptions& options) {
    m_asked.append({Asked::Save, options.title, options.message, {}, options});
    if (auto work = std::exchange(m_whileSaveOpen, nullptr))
        work();
    return m_save.isEmpty() ? std::nullopt : m_save.dequeue();
}

void TestDialogs::alert(const QString& title, const QString& message) {
    m_asked.append({Asked::Alert, title, message, {}, {}});
}

bool TestDialogs::confirm(const QString& title, const QString& message) {
    m_asked.append({Asked::Confirm, title, message, {}, {}});
    return m_confirm.isEmpty() ? false : m_confirm.dequeue();
}
