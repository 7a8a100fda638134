#include "web/WebViewCoordinator.h"

#include "app/AppState.h"
#include "platform/Dialogs.h"
#include "platform/HttpClient.h"
#include "platform/Log.h"
#include "platform/VaultError.h"
#include "sync/FolderSyncManager.h"
#include "vault/SupabaseClient.h"
#include "vault/VaultHttp.h"
#include "vault/VaultJson.h"
#include "web/BridgeScripts.h"
#include "web/DesktopActions.h"
#include "web/DownloadNames.h"
#include "web/WebViewBox.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QWebEngineDownloadRequest>
#include <QWebEngineHistory>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>
#include <chrono>

namespace {

const QString LogPrefix = QStringLiteral("[WebViewContainer] ");
const QString DialogTitle = QStringLiteral("Orlavant");
constexpr std::chrono::seconds DirectDownloadTimeout{60};

// Chromium's net error codes that mean "the load was cancelled": another navigation replaced it,
// the user stopped it, or the policy turned it into a download.
bool isCancelled(const QWebEngineLoadingInfo& info) {
    constexpr int ErrAborted = -3;
    return info.status() == QWebEngineLoadingInfo::LoadStoppedStatus ||
           (info.errorDomain() != QWebEngineLoadingInfo::HttpStatusCodeDomain &&
            info.errorCode() == ErrAborted);
}

// The texts users know from the rest of the client for the common transport failures; the
// engine's own text otherwise.
QString describeLoadError(const QWebEngineLoadingInfo& info) {
    if (info.errorDomain() != QWebEngineLoadingInfo::HttpStatusCodeDomain) {
        switch (info.errorCode()) {
        case -102: // CONNECTION_REFUSED
        case -109: // ADDRESS_UNREACHABLE
            return VaultError::url(VaultError::CannotConnectToHost).description();
        case -105: // NAME_NOT_RESOLVED
            return VaultError::url(VaultError::CannotFindHost).description();
        case -7:   // TIMED_OUT
        case -118: // CONNECTION_TIMED_OUT
            return VaultError::url(VaultError::TimedOut).description();
        case -100: // CONNECTION_CLOSED
        case -101: // CONNECTION_RESET
        case -21:  // NETWORK_CHANGED
            return VaultError::url(VaultError::NetworkConnectionLost).description();
        default:
            break;
        }
    }
    return info.errorString().isEmpty() ? QStringLiteral("The page could not be loaded.")
                                        : info.errorString();
}

// What a completed direct download is called: the page's name, else the server's, else the
// address's last component, else the temporary file's.
QString wantedName(const std::optional<QString>& suggested, const HttpResponse& response,
                   const QUrl& address) {
    if (suggested)
        return *suggested;
    QString name = DownloadNames::contentDispositionFileName(response.header("Content-Disposition"));
    if (name.isEmpty())
        name = address.fileName(QUrl::FullyDecoded);
    if (name.isEmpty())
        name = QFileInfo(response.bodyFilePath).fileName();
    return name;
}

} // namespace

WebViewCoordinator::WebViewCoordinator(const Services& services, QObject* parent)
    : QObject(parent)
    , m_appState(services.appState)
    , m_webViewBox(services.webViewBox)
    , m_folderSync(services.folderSync)
    , m_client(services.client)
    , m_http(services.http)
    , m_dialogs(services.dialogs)
    , m_desktop(services.desktop ? services.desktop : std::make_shared<SystemDesktopActions>()) {}

WebViewCoordinator::~WebViewCoordinator() = default;

void WebViewCoordinator::post(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void WebViewCoordinator::evaluate(const QString& script) {
    if (QWebEngineView* view = m_webViewBox.webView())
        view->page()->runJavaScript(script);
}

// --- Observation -------------------------------------------------------------------------------

void WebViewCoordinator::setupObservation(QWebEngineView* view) {
    for (const auto& connection : std::as_const(m_observations))
        disconnect(connection);
    m_observations.clear();
    if (!view)
        return;
    QPointer<QWebEngineView> watched(view);
    m_observations << connect(view, &QWebEngineView::loadProgress, this, [this](int percent) {
        post([this, percent] { m_appState.setProgress(percent / 100.0); });
    });
    // For a page without a title the engine reports its file name or address instead; only the
    // document itself can tell the two apart. A title change can be announced before the new
    // document is in place, so the end of the load asks again, and an answer that comes from
    // another document than the one shown is dropped.
    const auto readTitle = [this, watched] {
        post([this, watched] {
            if (!watched)
                return;
            QPointer<WebViewCoordinator> self(this);
            watched->page()->runJavaScript(QStringLiteral("[document.title, location.href]"),
                                           [self, watched](const QVariant& answer) {
                                               const QVariantList values = answer.toList();
                                               if (!self || !watched || values.size() != 2 ||
                                                   QUrl(values.at(1).toString()) != watched->url())
                                                   return;
                                               const QString title = values.at(0).toString();
                                               if (!title.isEmpty())
                                                   self->m_appState.setCurrentTitle(title);
                                           });
        });
    };
    m_observations << connect(view, &QWebEngineView::titleChanged, this, readTitle);
    m_observations << connect(view, &QWebEngineView::loadFinished, this, readTitle);
    m_observations << connect(view, &QWebEngineView::urlChanged, this, [this, watched](const QUrl&) {
        post([this, watched] {
            if (!watched)
                return;
            const QUrl url = watched->url();
            if (!url.isEmpty())
                m_appState.setCurrentUrl(url);
            updateHistory();
        });
    });
    // History has no change signal of its own; it can only change when a load starts or ends.
    m_observations << connect(view, &QWebEngineView::loadStarted, this,
                              [this] { post([this] { updateHistory(); }); });
    m_observations << connect(view, &QWebEngineView::loadFinished, this,
                              [this](bool) { post([this] { updateHistory(); }); });
}

void WebViewCoordinator::updateHistory() {
    if (QWebEngineView* view = m_webViewBox.webView()) {
        m_appState.setCanGoBack(view->history()->canGoBack());
        m_appState.setCanGoForward(view->history()->canGoForward());
    }
}

// --- Navigation ---------------------------------------------------------------------------------

void WebViewCoordinator::handleLoadingChanged(const QWebEngineLoadingInfo& info) {
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        post([this] {
            m_appState.setIsLoading(true);
            m_appState.setErrorMessage(std::nullopt);
        });
        return;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        post([this] { pageFinished(); });
        return;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        return;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        break;
    }
    if (isCancelled(info))
        return;
    // An HTTP error status still delivers a page: the navigation itself succeeded.
    if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain) {
        post([this] { pageFinished(); });
        return;
    }
    const QString description = describeLoadError(info);
    post([this, description] {
        m_appState.setIsLoading(false);
        m_appState.setErrorMessage(description);
    });
}

void WebViewCoordinator::handleLoadTimedOut() {
    const QString description = VaultError::url(VaultError::TimedOut).description();
    post([this, description] {
        m_appState.setIsLoading(false);
        m_appState.setErrorMessage(description);
    });
}

void WebViewCoordinator::pageFinished() {
    m_appState.setIsLoading(false);
    m_appState.setErrorMessage(std::nullopt);
    sendSyncStatusToWeb();
    evaluate(BridgeScripts::loginToken());
}

static bool isDownloadAddress(const QString& address) {
    return address.contains(QLatin1String("/download")) || address.contains(QLatin1String("/archive"));
}

bool WebViewCoordinator::decideNavigationAction(const QUrl& url) {
    if (url.isEmpty())
        return true;
    const QString address = url.toString(QUrl::FullyEncoded);
    if (isDownloadAddress(address)) {
        downloadUrlDirectly(address, std::nullopt);
        return false;
    }
    return true;
}

void WebViewCoordinator::handleNewWindowRequest(const QUrl& url) {
    if (url.isEmpty())
        return;
    const QString address = url.toString(QUrl::FullyEncoded);
    if (isDownloadAddress(address)) {
        downloadUrlDirectly(address, std::nullopt);
    } else if (address.contains(QLatin1String("/view"))) {
        m_desktop->openUrl(url);
    } else if (QWebEngineView* view = m_webViewBox.webView()) {
        view->load(url);
    }
}

// --- Script dialogs and file chooser --------------------------------------------------------------

void WebViewCoordinator::showAlert(const QString& message) {
    m_dialogs.alert(DialogTitle, message);
}

bool WebViewCoordinator::askConfirm(const QString& message) {
    return m_dialogs.confirm(DialogTitle, message);
}

QStringList WebViewCoordinator::chooseFiles(bool allowsMultiple) {
    Dialogs::OpenOptions options;
    options.message = QStringLiteral("Choose files to upload to Orlavant");
    options.prompt = QStringLiteral("Upload");
    options.chooseFiles = true;
    options.chooseDirectories = false;
    options.allowsMultiple = allowsMultiple;
    const auto chosen = m_dialogs.open(options);
    if (!chosen)
        return {};
    return allowsMultiple ? *chosen : chosen->mid(0, 1);
}

// --- Script bridge -----------------------------------------------------------------------------

void WebViewCoordinator::handleScriptMessage(const QString& handlerName, const QJsonValue& body) {
    if (handlerName != BridgeScripts::HandlerName || !body.isObject())
        return;
    const QJsonObject message = body.toObject();
    const std::optional<QString> actionText = VaultJson::string(message, QStringLiteral("action"));
    if (!actionText)
        return;
    const QString& action = *actionText;

    if (action == QLatin1String("loginSuccess")) {
        // The page's login is accepted as it is; the native session is the client's own.
        if (!VaultJson::string(message, QStringLiteral("token")))
            return;
    } else if (action == QLatin1String("logout")) {
        post([this] {
            m_appState.handleLogout();
            if (const auto url = m_appState.currentUrl())
                m_webViewBox.load(*url);
        });
    } else if (action == QLatin1String("chooseFolder")) {
        post([this] { m_folderSync.promptChooseFolder(); });
    } else if (action == QLatin1String("toggleSync")) {
        post([this] {
            if (m_folderSync.isSyncStopped())
                m_folderSync.startSync();
            else
                m_folderSync.stopSync();
        });
    } else if (action == QLatin1String("startSync")) {
        post([this] { m_folderSync.startSync(); });
    } else if (action == QLatin1String("stopSync")) {
        post([this] { m_folderSync.stopSync(); });
    } else if (action == QLatin1String("getSyncStatus")) {
        sendSyncStatusToWeb();
    } else if (action == QLatin1String("triggerSync")) {
        post([this] { m_folderSync.triggerFolderScan(); });
    } else if (action == QLatin1String("downloadFile") || action == QLatin1String("downloadAllFiles")) {
        const std::optional<QString> url = VaultJson::string(message, QStringLiteral("url"));
        if (!url)
            return;
        downloadUrlDirectly(*url, VaultJson::string(message, QStringLiteral("filename")));
    } else {
        return;
    }
    Q_EMIT scriptMessageAccepted(action, message);
}

void WebViewCoordinator::setupSyncCallbacks() {
    QPointer<WebViewCoordinator> self(this);
    m_folderSync.onStatusChanged = [self](const std::optional<QString>& folderPath, bool isWatching,
                                          int count, const QString& message, bool isStopped) {
        if (self)
            self->sendSyncStatusToWeb(folderPath, isWatching, count, message, isStopped);
    };
    m_folderSync.onFileSynced = [self](const QString& fileName, bool flag) {
        const QString script = BridgeScripts::fileSynced(fileName, flag);
        if (self)
            self->post([self, script] { self->evaluate(script); });
    };
}

void WebViewCoordinator::sendSyncStatusToWeb(std::optional<QString> folderPath,
                                             std::optional<bool> isWatching, std::optional<int> count,
                                             std::optional<QString> message, std::optional<bool> isStopped) {
    if (!folderPath)
        folderPath = m_folderSync.watchedFolderPath();
    if (!count)
        count = m_folderSync.totalSyncedCount();
    if (!message)
        message = m_folderSync.syncStatusMessage();
    if (!isStopped)
        isStopped = m_folderSync.isSyncStopped();
    if (!isWatching)
        isWatching = folderPath.has_value();
    const QString script =
        BridgeScripts::statusPush(folderPath.value_or(QString()), *isWatching, *count, *message, *isStopped);
    post([this, script] { evaluate(script); });
}

// --- Downloads ---------------------------------------------------------------------------------

void WebViewCoordinator::downloadUrlDirectly(const QString& urlStr,
                                             const std::optional<QString>& suggestedFilename) {
    const QString apiBaseUrl = m_folderSync.apiBaseUrl;
    const auto address = DownloadNames::resolveAddress(apiBaseUrl, urlStr);
    if (!address)
        return;
    const auto directory = DownloadNames::downloadsDirectory();
    if (!directory) {
        logLine(LogPrefix + QStringLiteral("Direct download failed: there is no Downloads folder."));
        return;
    }

    // The token belongs to the vault's own origin; a page-supplied address elsewhere gets none.
    const bool withSession =
        m_client.isAuthenticated() && DownloadNames::sameOrigin(*address, QUrl(apiBaseUrl));
    HttpRequest request = VaultHttp::backendRequest("GET", *address, std::nullopt);
    request.timeout = DirectDownloadTimeout;
    request.saveToDirectory = *directory;
    // With the session, through the client: a token that expired while the window stayed open is
    // renewed instead of failing the download.
    QFuture<HttpResponse> sent =
        withSession ? m_client.sendToBackend(std::move(request)) : m_http.send(std::move(request));

    // The completion outlives this coordinator if need be: it needs only AppState and the desktop.
    QPointer<AppState> appState(&m_appState);
    std::shared_ptr<DesktopActions> desktop = m_desktop;
    const QUrl url = *address;
    const QString downloads = *directory;
    std::move(sent)
        .then(QtFuture::Launch::Sync,
              [=](const HttpResponse& response) {
                  if (response.bodyFilePath.isEmpty()) {
                      logLine(LogPrefix + QStringLiteral("Direct download failed: unknown error"));
                      return;
                  }
                  // An error page is not the file the user asked for.
                  if (response.status < 200 || response.status > 299) {
                      QFile::remove(response.bodyFilePath);
                      logLine(LogPrefix +
                              QStringLiteral("Direct download failed: the server answered with status %1.")
                                  .arg(response.status));
                      return;
                  }
                  const QString name =
                      DownloadNames::safeFileName(wantedName(suggestedFilename, response, url));
                  QString error;
                  const auto destination =
                      DownloadNames::moveToFreeName(response.bodyFilePath, downloads, name, &error);
                  if (!destination) {
                      QFile::remove(response.bodyFilePath);
                      logLine(LogPrefix + QStringLiteral("Failed to move downloaded file: ") + error);
                      return;
                  }
                  QMetaObject::invokeMethod(
                      QCoreApplication::instance(),
                      [appState, desktop, path = *destination] {
                          if (!appState)
                              return;
                          appState->setLastDownloadedFile(path);
                          desktop->playSound(QStringLiteral("Glass"));
                          desktop->revealFile(path);
                      },
                      Qt::QueuedConnection);
              })
        .onFailed([](const VaultError& error) {
            logLine(LogPrefix + QStringLiteral("Direct download failed: ") + error.description());
        })
        .onFailed([] { logLine(LogPrefix + QStringLiteral("Direct download failed: unknown error")); });
}

void WebViewCoordinator::handleDownloadRequested(QWebEngineDownloadRequest* download) {
    const auto directory = DownloadNames::downloadsDirectory();
    if (!directory) {
        download->cancel();
        return;
    }
    const QString destination = DownloadNames::freeDestination(
        *directory, DownloadNames::safeFileName(download->suggestedFileName()));
    download->setDownloadDirectory(*directory);
    download->setDownloadFileName(QFileInfo(destination).fileName());
    connect(download, &QWebEngineDownloadRequest::isFinishedChanged, this, [this, download] {
        if (download->state() == QWebEngineDownloadRequest::DownloadCompleted)
            post([this] { m_desktop->playSound(QStringLiteral("Glass")); });
    });
    download->accept();
}
