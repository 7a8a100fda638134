#pragma once

#include "platform/Dialogs.h"

#include <QList>
#include <QQueue>
#include <functional>
#include <utility>

// Dialogs whose answers a test sets before the action that asks. Every question is recorded;
// a question with no scripted answer is treated as cancelled (and recorded too).
class TestDialogs final : public Dialogs {
public:
    struct Asked {
        enum Kind { Open, Save, Alert, Confirm } kind;
        QString title;
        QString message;
        OpenOptions open;
        SaveOptions save;
    };

    void setNextOpen(std::optional<QStringList> answer) { m_open.enqueue(std::move(answer)); }
    void setNextSave(std::optional<QString> answer) { m_save.enqueue(std::move(answer)); }
    void setNextConfirm(bool answer) { m_confirm.enqueue(answer); }
    // Runs while the next save dialog is "open", before it answers: what the application does
    // meanwhile (a real modal dialog keeps the event loop turning).
    void setWhileNextSaveIsOpen(std::function<void()> work) { m_whileSaveOpen = std::move(work); }

    const QList<Asked>& asked() const { return m_asked; }
    void clear() { m_asked.clear(); }

    std::optional<QStringList> open(const OpenOptions& options) override;
    std::optional<QString> save(const SaveOptions& options) override;
    void alert(const QString& title, const QString& message) override;
    bool confirm(const QString& title, const QString& message) override;

private:
    QQueue<std::optional<QStringList>> m_open;
    QQueue<std::optional<QString>> m_save;
    QQueue<bool> m_confirm;
    std::function<void()> m_whileSaveOpen;
    QList<Asked> m_asked;
};
