#pragma once

#include <QString>

// Start at login, the freedesktop way: an entry `orlavant.desktop` in the user's autostart
// folder ($XDG_CONFIG_HOME/autostart) that starts the program in the background. Whether it is on
// is read from that entry each time, so a change made elsewhere (a desktop's settings page, the
// user deleting the file) is what the program shows.
class Autostart {
public:
    // The option the entry starts the program with: no window, the tray icon only.
    static constexpr const char* BackgroundOption = "--background";

    // `executable` is what the entry starts: the running program's path when empty.
    explicit Autostart(QString directory = defaultDirectory(), QString executable = {});

    static QString defaultDirectory();
    QString entryPath() const;
    QString executable() const { return m_executable; }

    // An entry is there and not switched off (Hidden, or the GNOME key set to false).
    bool isEnabled() const;
    // Writes or removes the entry. False, with `error` saying why in words for the user, when
    // that was not possible; the state is then what it was.
    bool setEnabled(bool enabled, QString* error = nullptr);

    // The entry's Exec value for `program` started in the background: the path quoted and
    // escaped as the desktop entry format wants it.
    static QString execValue(const QString& program);
    // The file as written for `program`.
    static QByteArray entryText(const QString& program);

private:
    QString m_directory;
    QString m_executable;
};
