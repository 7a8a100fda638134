#pragma once

#include "platform/Dialogs.h"

#include <QPointer>
#include <QWidget>

// The application's dialogs: Qt's file dialogs and message boxes, modal to the main window.
class QtDialogs final : public Dialogs {
public:
    void setParentWindow(QWidget* window) { m_parent = window; }

    std::optional<QStringList> open(const OpenOptions& options) override;
    std::optional<QString> save(const SaveOptions& options) override;
    void alert(const QString& title, const QString& message) override;
    bool confirm(const QString& title, const QString& message) override;

private:
    QPointer<QWidget> m_parent;
};
