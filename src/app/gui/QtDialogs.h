#pragma once

#include "platform/Dialogs.h"

#include <QPointer>
#include <QWidget>
#include <memory>

class QFileDialog;

// The application's dialogs: Qt's file dialogs and message boxes, modal to the main window.
class QtDialogs final : public Dialogs {
public:
    void setParentWindow(QWidget* window) { m_parent = window; }

    std::optional<QStringList> open(const OpenOptions& options) override;
    std::optional<QString> save(const SaveOptions& options) override;
    void alert(const QString& title, const QString& message) override;
    bool confirm(const QString& title, const QString& message) override;

    // The file dialogs as they are shown, built apart from running them. Qt's own dialog rather
    // than the desktop's, since only that one shows a message and a custom accept button: the
    // message goes in a line of its own above the dialog's fields, the title in the title bar
    // (the message, when there is no title).
    static std::unique_ptr<QFileDialog> openDialog(const OpenOptions& options, QWidget* parent);
    static std::unique_ptr<QFileDialog> saveDialog(const SaveOptions& options, QWidget* parent);

private:
    QPointer<QWidget> m_parent;
};
