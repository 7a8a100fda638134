#pragma once

#include <QString>
#include <QWidget>

class AppState;
class Clock;
class Dialogs;
class FolderSyncManager;
class QLabel;
class QLineEdit;
class QStackedLayout;
class QVBoxLayout;
class SupabaseClient;
class WebViewBox;
class SidebarNavItem;

// The content of the program's one window: the login screen while nobody is signed in, then the
// sidebar, the top bar and the screen of the selected entry. The selected entry survives a
// sign-out and a new sign-in; the screens below it start afresh.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    MainWindow(AppState& appState, WebViewBox& webViewBox, SupabaseClient& supabase,
               FolderSyncManager& folderSync, Dialogs& dialogs, const Clock& clock,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    QString activeTab() const { return m_activeTab; }
    void setActiveTab(const QString& tag);
    QString searchText() const { return m_searchText; }
    // The screen shown now: the login screen, the main layout's content, or nullptr when the
    // selected entry has no screen.
    QWidget* currentScreen() const;
    bool isShowingLogin() const;

Q_SIGNALS:
    void activeTabChanged();

private:
    enum class Content { None, Dashboard, Files, Sync };
    static Content contentFor(const QString& tag);

    void updateGate();
    void showContent();
    void clearContent();
    void updateAccount();
    QWidget* buildMainLayout();
    QWidget* buildSidebar();
    QWidget* buildTopBar();

    AppState& m_appState;
    WebViewBox& m_webViewBox;
    SupabaseClient& m_supabase;
    FolderSyncManager& m_folderSync;
    Dialogs& m_dialogs;
    const Clock& m_clock;

    QString m_activeTab = QStringLiteral("dashboard");
    QString m_searchText;

    QStackedLayout* m_gate;
    QWidget* m_login = nullptr;
    QWidget* m_mainLayout;
    QVBoxLayout* m_contentLayout = nullptr;
    QWidget* m_content = nullptr;
    Content m_contentKind = Content::None;
    QList<SidebarNavItem*> m_navItems;
    QLineEdit* m_searchField = nullptr;
    QLabel* m_accountEmail = nullptr;
};
