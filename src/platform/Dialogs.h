#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Modal questions to the user. The application shows Qt dialogs; tests script the answers
// before the action that asks.
class Dialogs {
public:
    struct OpenOptions {
        QString title;
        QString message;
        QString prompt; // the accept button's text
        bool chooseFiles = true;
        bool chooseDirectories = false;
        bool allowsMultiple = false;
        QString directory; // where the dialog starts; empty for the default
    };
    struct SaveOptions {
        QString title;
        QString message;
        QString prompt;
        QString suggestedName;
        QString directory;
    };

    virtual ~Dialogs() = default;
    // Absolute paths of the chosen entries, or nullopt when the user cancelled.
    virtual std::optional<QStringList> open(const OpenOptions& options) = 0;
    // Absolute path to save to, or nullopt when the user cancelled.
    virtual std::optional<QString> save(const SaveOptions& options) = 0;
    virtual void alert(const QString& title, const QString& message) = 0;
    // True when the user accepted.
    virtual bool confirm(const QString& title, const QString& message) = 0;
};
