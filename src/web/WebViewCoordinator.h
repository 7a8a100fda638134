#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

class AppState;
class DesktopActions;
class Dialogs;
class FolderSyncManager;
class HttpClient;
class QWebEngineDownloadRequest;
class QWebEngineLoadingInfo;
class QWebEngineView;
class SupabaseClient;
class WebViewBox;

// Everything the browser view asks of the host and everything the host tells the page: it
// keeps AppState in step with the view, decides navigations and new windows, answers script
// dialogs and file choosers, receives the page's "orlavantMac" messages, pushes the sync
// engine's state into the page and saves downloads into the Downloads folder.
class WebViewCoordinator : public QObject {
    Q_OBJECT
public:
    struct Services {
        AppState& appState;
        WebViewBox& webViewBox;
        FolderSyncManager& folderSync;
        SupabaseClient& client;
        HttpClient& http;
        Dialogs& dialogs;
        std::shared_ptr<DesktopActions> desktop;
    };

    explicit WebViewCoordinator(const Services& services, QObject* parent = nullptr);
    ~WebViewCoordinator() override;

    // Mirrors progress, history, title and address of `view` into AppState; replaces any
    // earlier observation.
    void setupObservation(QWebEngineView* view);
    // Points the sync engine's two callbacks at this coordinator (held weakly).
    void setupSyncCallbacks();

    // A message the page posted. Anything malformed is ignored.
    void handleScriptMessage(const QString& handlerName, const QJsonValue& body);

    // Pushes the sync state into the page; values not given are read from the engine.
    void sendSyncStatusToWeb(std::optional<QString> folderPath = std::nullopt,
                             std::optional<bool> isWatching = std::nullopt,
                             std::optional<int> count = std::nullopt,
                             std::optional<QString> message = std::nullopt,
                             std::optional<bool> isStopped = std::nullopt);

    // Fetches a page-supplied address into the Downloads folder, then reveals it.
    void downloadUrlDirectly(const QString& urlStr, const std::optional<QString>& suggestedFilename);

    // The page's callbacks.
    bool decideNavigationAction(const QUrl& url);
    void handleNewWindowRequest(const QUrl& url);
    void handleLoadingChanged(const QWebEngineLoadingInfo& info);
    void handleLoadTimedOut();
    void handleDownloadRequested(QWebEngineDownloadRequest* download);
    void showAlert(const QString& message);
    bool askConfirm(const QString& message);
    QStringList chooseFiles(bool allowsMultiple);

Q_SIGNALS:
    // A well-formed message of a known action arrived (its effect may still be queued).
    void scriptMessageAccepted(const QString& action, const QJsonObject& body);

private:
    // Runs `work` on the main thread after the current callback has returned; dropped when
    // this coordinator is gone by then.
    void post(std::function<void()> work);
    void evaluate(const QString& script);
    void pageFinished();
    void updateHistory();

    AppState& m_appState;
    WebViewBox& m_webViewBox;
    FolderSyncManager& m_folderSync;
    SupabaseClient& m_client;
    HttpClient& m_http;
    Dialogs& m_dialogs;
    std::shared_ptr<DesktopActions> m_desktop;
    QList<QMetaObject::Connection> m_observations;
};
