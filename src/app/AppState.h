#pragma once

#include "app/ServerEnvironment.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <optional>

class FolderSyncManager;
class HttpClient;
class SupabaseClient;

// The central observable application state: which server setup is in use, its base URL and
// reachability, and the state of the page the embedded web application shows. Main thread only.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString baseUrl READ baseUrl NOTIFY baseUrlChanged)
    Q_PROPERTY(QString customUrlInput READ customUrlInput NOTIFY customUrlInputChanged)
    Q_PROPERTY(QUrl currentUrl READ currentUrlValue NOTIFY currentUrlChanged)
    Q_PROPERTY(QString currentTitle READ currentTitle WRITE setCurrentTitle NOTIFY currentTitleChanged)
    Q_PROPERTY(bool canGoBack READ canGoBack WRITE setCanGoBack NOTIFY canGoBackChanged)
    Q_PROPERTY(bool canGoForward READ canGoForward WRITE setCanGoForward NOTIFY canGoForwardChanged)
    Q_PROPERTY(bool isLoading READ isLoading WRITE setIsLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(double progress READ progress WRITE setProgress NOTIFY progressChanged)

public:
    // Where the web directory search starts; tests point these at temporary folders.
    struct WebLocations {
        QString installedWebDirectory; // stands for the bundle's "web" resource
        QString executablePath;        // the program's first argument
        QString workingDirectory;      // the current directory
    };
    static WebLocations defaultWebLocations();

    AppState(FolderSyncManager& folderSync, SupabaseClient& client, HttpClient& http,
             WebLocations locations = defaultWebLocations(), QObject* parent = nullptr);
    ~AppState() override;

    ServerEnvironment environment() const { return m_environment; }
    // Every assignment re-applies the setup, also when the value is unchanged.
    void setEnvironment(ServerEnvironment environment);
    QString baseUrl() const { return m_baseUrl; }
    QString customUrlInput() const { return m_customUrlInput; }
    bool showingServerSettings() const { return m_showingServerSettings; }
    void setShowingServerSettings(bool showing);
    std::optional<QUrl> currentUrl() const { return m_currentUrl; }
    QUrl currentUrlValue() const { return m_currentUrl.value_or(QUrl()); }
    void setCurrentUrl(const std::optional<QUrl>& url);
    QString currentTitle() const { return m_currentTitle; }
    void setCurrentTitle(const QString& title);
    bool canGoBack() const { return m_canGoBack; }
    void setCanGoBack(bool value);
    bool canGoForward() const { return m_canGoForward; }
    void setCanGoForward(bool value);
    bool isLoading() const { return m_isLoading; }
    void setIsLoading(bool value);
    double progress() const { return m_progress; }
    void setProgress(double value);
    ServerStatus serverStatus() const { return m_serverStatus; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    void setErrorMessage(const std::optional<QString>& message);
    std::optional<QString> lastDownloadedFile() const { return m_lastDownloadedFile; }
    void setLastDownloadedFile(const std::optional<QString>& path);
    FolderSyncManager& folderSync() const { return m_folderSync; }

    void setCustomUrl(const QString& address);
    void handleLogout();
    void checkHealth();
    void navigateTo(const QString& page);
    QString resolveWebDirectory() const;
    // The search itself, for callers without an AppState (the web view host).
    static QString resolveWebDirectory(const WebLocations& locations);

Q_SIGNALS:
    void environmentChanged();
    void baseUrlChanged();
    void customUrlInputChanged();
    void showingServerSettingsChanged();
    void currentUrlChanged();
    void currentTitleChanged();
    void canGoBackChanged();
    void canGoForwardChanged();
    void isLoadingChanged();
    void progressChanged();
    void serverStatusChanged();
    void errorMessageChanged();
    void lastDownloadedFileChanged();

private:
    void updateBaseUrl();
    void startHealthMonitoring();
    void setBaseUrl(const QString& url);
    void setServerStatus(const ServerStatus& status);

    FolderSyncManager& m_folderSync;
    SupabaseClient& m_client;
    HttpClient& m_http;
    WebLocations m_locations;

    ServerEnvironment m_environment = ServerEnvironment::embedded;
    QString m_baseUrl = QStringLiteral("embedded://");
    QString m_customUrlInput = QStringLiteral("http://127.0.0.1:8000");
    bool m_showingServerSettings = false;
    std::optional<QUrl> m_currentUrl;
    QString m_currentTitle = QStringLiteral("Orlavant");
    bool m_canGoBack = false;
    bool m_canGoForward = false;
    bool m_isLoading = false;
    double m_progress = 0.0;
    ServerStatus m_serverStatus = ServerStatus::online(QStringLiteral("Embedded Vault"));
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_lastDownloadedFile;
    std::unique_ptr<QTimer> m_healthTimer;
    // Lets a probe that outlives this object find out, on completion, that it is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
