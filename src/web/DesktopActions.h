#pragma once

#include <QString>
#include <QUrl>

// What the web host asks of the desktop around it: a sound, a file shown in the file manager,
// an address handed to the default browser. Tests record the requests instead.
class DesktopActions {
public:
    virtual ~DesktopActions() = default;
    // A named system sound ("Glass" when a download has arrived).
    virtual void playSound(const QString& name) = 0;
    // Shows the file selected in the file manager.
    virtual void revealFile(const QString& path) = 0;
    // Opens the address with the user's default application for it.
    virtual void openUrl(const QUrl& url) = 0;
};

// The freedesktop way: sound-theme events through canberra-gtk-play (else the bell), the file
// manager's D-Bus ShowItems (else the folder opened), and the desktop's URL handler.
class SystemDesktopActions final : public DesktopActions {
public:
    void playSound(const QString& name) override;
    void revealFile(const QString& path) override;
    void openUrl(const QUrl& url) override;
};
