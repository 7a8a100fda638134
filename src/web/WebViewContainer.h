#pragma once

#include <QWidget>
#include <memory>

class AppState;
class DesktopActions;
class Dialogs;
class FolderSyncManager;
class HttpClient;
class OrlavantWebPage;
class QWebEngineProfile;
class QWebEngineView;
class ScriptMessageBridge;
class SupabaseClient;
class WebViewBox;
class WebViewCoordinator;

// The widget that shows the vault's web application. Creating it creates and configures the
// browser view, attaches it to the box, connects the sync engine and loads AppState's current
// address. The browser profile is the client's own, stored under the application data folder.
class WebViewContainer : public QWidget {
    Q_OBJECT
public:
    static const QString UserAgent;
    static const QString ProfileName;

    struct Services {
        AppState& appState;
        WebViewBox& webViewBox;
        FolderSyncManager& folderSync;
        SupabaseClient& client;
        HttpClient& http;
        Dialogs& dialogs;
        // Defaults to the desktop's own (sound, file manager, browser).
        std::shared_ptr<DesktopActions> desktop = nullptr;
    };

    explicit WebViewContainer(const Services& services, QWidget* parent = nullptr);
    ~WebViewContainer() override;

    QWebEngineView* view() const { return m_view; }
    OrlavantWebPage* page() const { return m_page; }
    QWebEngineProfile* profile() const { return m_profile; }
    WebViewCoordinator& coordinator() const { return *m_coordinator; }

private:
    WebViewCoordinator* m_coordinator;
    QWebEngineProfile* m_profile;
    ScriptMessageBridge* m_bridge;
    QWebEngineView* m_view;
    OrlavantWebPage* m_page;
};
