#pragma once

#include <QMainWindow>

class AppState;
class WebViewBox;
class QAction;

// The program's one window: the menus that drive the application state and the browser view,
// the theme background, the minimum size, and the content it is given. Closing it only hides
// it: the program goes on syncing in the background until "Quit Orlavant" (in the "Orlavant"
// menu, Ctrl+Q) asks for its end.
class AppWindow : public QMainWindow {
    Q_OBJECT
public:
    AppWindow(AppState& appState, WebViewBox& webViewBox, QWidget* content, QWidget* parent = nullptr);

    // A menu action by the title the user sees (ampersands as shown, no mnemonic marks); the
    // menu bar is the user's way in.
    QAction* action(const QString& title) const;
    // An action's text as a menu shows it: "&&" is one "&", a lone "&" marks a mnemonic.
    static QString shownText(const QString& text);
    // The reverse: a title as an action's text, its own ampersands shown.
    static QString actionText(const QString& title);

Q_SIGNALS:
    void quitRequested();
    // The user closed the window; it is hidden and the program goes on.
    void closedToBackground();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildApplicationMenu();
    void buildNavigationMenu();
    void buildServerMenu();
    void openPage(const QString& page);
    void loadCurrentUrl();

    AppState& m_appState;
    WebViewBox& m_webViewBox;
};
