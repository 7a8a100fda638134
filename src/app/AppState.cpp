#include "app/AppState.h"

#include "platform/HttpClient.h"
#include "platform/VaultError.h"
#include "sync/FolderSyncManager.h"
#include "vault/SupabaseClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

const QString loginPage = QStringLiteral("login.html");
constexpr std::chrono::milliseconds healthProbeTimeout{3000};
constexpr std::chrono::milliseconds healthInterval{10000};

QString dropOneTrailingSlash(QString text) {
    if (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return text;
}

// A text the probe or a page address can be sent to: parses strictly and names a host.
std::optional<QUrl> remoteUrl(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

} // namespace

AppState::WebLocations AppState::defaultWebLocations() {
    WebLocations locations;
    locations.installedWebDirectory = QStringLiteral(ORLAVANT_WEB_INSTALL_DIR);
    const QStringList arguments = QCoreApplication::arguments();
    locations.executablePath = arguments.isEmpty() ? QString() : arguments.first();
    locations.workingDirectory = QDir::currentPath();
    return locations;
}

AppState::AppState(FolderSyncManager& folderSync, SupabaseClient& client, HttpClient& http,
                   WebLocations locations, QObject* parent)
    : QObject(parent)
    , m_folderSync(folderSync)
    , m_client(client)
    , m_http(http)
    , m_locations(std::move(locations)) {
    // The order is observable: each step overwrites what the one before set.
    setEnvironment(ServerEnvironment::embedded);
    setBaseUrl(QStringLiteral("embedded://"));
    setServerStatus(ServerStatus::online(QStringLiteral("Embedded Vault")));
    setCurrentUrl(QUrl::fromLocalFile(resolveWebDirectory() + QLatin1Char('/') + loginPage));
    startHealthMonitoring();
}

AppState::~AppState() = default;

void AppState::setEnvironment(ServerEnvironment environment) {
    const bool changed = m_environment != environment;
    m_environment = environment;
    if (changed)
        Q_EMIT environmentChanged();
    updateBaseUrl();
}

void AppState::updateBaseUrl() {
    switch (m_environment) {
    case ServerEnvironment::embedded:
        setBaseUrl(QStringLiteral("embedded://"));
        setServerStatus(ServerStatus::online(QStringLiteral("Embedded Vault")));
        setCurrentUrl(QUrl::fromLocalFile(resolveWebDirectory() + QLatin1Char('/') + loginPage));
        return;
    case ServerEnvironment::local:
        setBaseUrl(QStringLiteral("http://127.0.0.1:8000"));
        break;
    case ServerEnvironment::production:
        setBaseUrl(Production::baseUrl);
        break;
    case ServerEnvironment::custom:
        setBaseUrl(m_customUrlInput);
        break;
    }
    checkHealth();
    // A switch between two servers keeps the page; one away from the embedded files lands on
    // the login page.
    QString page = loginPage;
    if (m_currentUrl && !m_currentUrl->isLocalFile()) {
        const QString last = m_currentUrl->fileName();
        if (!last.isEmpty())
            page = last;
    }
    navigateTo(page);
}

void AppState::setCustomUrl(const QString& address) {
    QString text = address.trimmed();
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    if (!text.startsWith(QLatin1String("http://")) && !text.startsWith(QLatin1String("https://")))
        text.prepend(QLatin1String("http://"));
    if (m_customUrlInput != text) {
        m_customUrlInput = text;
        Q_EMIT customUrlInputChanged();
    }
    setBaseUrl(text);
    checkHealth();
}

void AppState::handleLogout() {
    m_folderSync.handleLogout();
    m_client.signOut();
    navigateTo(loginPage);
}

void AppState::checkHealth() {
    if (m_environment == ServerEnvironment::embedded) {
        setServerStatus(ServerStatus::online(QStringLiteral("Embedded Vault")));
        return;
    }
    setServerStatus(ServerStatus::checking());
    const std::optional<QUrl> url = remoteUrl(dropOneTrailingSlash(m_baseUrl) + QStringLiteral("/health"));
    if (!url) {
        setServerStatus(ServerStatus::offline(QStringLiteral("Invalid URL")));
        return;
    }
    HttpRequest request;
    request.url = *url;
    request.timeout = healthProbeTimeout;
    request.maxBodyBytes = 1024 * 1024; // the body is ignored; a huge one must not pile up
    std::weak_ptr<bool> alive = m_alive;
    m_http.send(std::move(request)).then([this, alive](QFuture<HttpResponse> reply) {
        ServerStatus status = ServerStatus::offline(QStringLiteral("Server not reachable"));
        try {
            const HttpResponse response = reply.result();
            if (response.status >= 200 && response.status <= 299)
                status = ServerStatus::online(QStringLiteral("Connected"));
        } catch (const VaultError& error) {
            status = ServerStatus::offline(error.description());
        }
        // Probes do not wait for each other: the last outcome to arrive wins. One that
        // outlives its AppState changes nothing.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [this, alive, status] {
            if (alive.lock())
                setServerStatus(status);
        });
    });
}

void AppState::startHealthMonitoring() {
    checkHealth();
    m_healthTimer = std::make_unique<QTimer>();
    m_healthTimer->setTimerType(Qt::PreciseTimer);
    m_healthTimer->setInterval(healthInterval);
    connect(m_healthTimer.get(), &QTimer::timeout, this, &AppState::checkHealth);
    m_healthTimer->start();
}

void AppState::navigateTo(const QString& page) {
    if (m_environment == ServerEnvironment::embedded) {
        setCurrentUrl(QUrl::fromLocalFile(resolveWebDirectory() + QLatin1Char('/') + page));
        return;
    }
    QString relative = page;
    if (relative.startsWith(QLatin1Char('/')))
        relative.remove(0, 1);
    if (const std::optional<QUrl> url =
            remoteUrl(dropOneTrailingSlash(m_baseUrl) + QStringLiteral("/web/") + relative))
        setCurrentUrl(*url);
}

QString AppState::resolveWebDirectory() const {
    return resolveWebDirectory(m_locations);
}

QString AppState::resolveWebDirectory(const WebLocations& locations) {
    QStringList candidates;
    // 1. The installed pages (what the application bundle's resource is elsewhere).
    if (!locations.installedWebDirectory.isEmpty())
        candidates << locations.installedWebDirectory;
    // 2. Beside the executable, as an install prefix lays it out: <prefix>/bin/orlavant next to
    //    <prefix>/share/orlavant/web. The build tree mirrors that layout.
    if (!locations.executablePath.isEmpty()) {
        const QFileInfo executable(QDir(locations.workingDirectory), locations.executablePath);
        QDir prefix = executable.absoluteDir();
        prefix.cdUp();
        candidates << prefix.absolutePath() + QStringLiteral("/share/orlavant/web");
    }
    // 3. A source checkout, started from a terminal.
    for (const char* relative :
         {"resources/web", "Resources/web", "OrlavantMac/Resources/web", "consolidated", "../consolidated"})
        candidates << locations.workingDirectory + QLatin1Char('/') + QLatin1String(relative);
    for (const QString& candidate : std::as_const(candidates)) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    // 4. Nothing found: the load will fail visibly in the browser view.
    return locations.workingDirectory + QStringLiteral("/resources/web");
}

void AppState::setShowingServerSettings(bool showing) {
    if (m_showingServerSettings == showing)
        return;
    m_showingServerSettings = showing;
    Q_EMIT showingServerSettingsChanged();
}

void AppState::setBaseUrl(const QString& url) {
    if (m_baseUrl == url)
        return;
    m_baseUrl = url;
    Q_EMIT baseUrlChanged();
}

void AppState::setServerStatus(const ServerStatus& status) {
    if (m_serverStatus == status)
        return;
    m_serverStatus = status;
    Q_EMIT serverStatusChanged();
}

void AppState::setCurrentUrl(const std::optional<QUrl>& url) {
    if (m_currentUrl == url)
        return;
    m_currentUrl = url;
    Q_EMIT currentUrlChanged();
}

void AppState::setCurrentTitle(const QString& title) {
    if (m_currentTitle == title)
        return;
    m_currentTitle = title;
    Q_EMIT currentTitleChanged();
}

void AppState::setCanGoBack(bool value) {
    if (m_canGoBack == value)
        return;
    m_canGoBack = value;
    Q_EMIT canGoBackChanged();
}

void AppState::setCanGoForward(bool value) {
    if (m_canGoForward == value)
        return;
    m_canGoForward = value;
    Q_EMIT canGoForwardChanged();
}

void AppState::setIsLoading(bool value) {
    if (m_isLoading == value)
        return;
    m_isLoading = value;
    Q_EMIT isLoadingChanged();
}

void AppState::setProgress(double value) {
    if (m_progress == value)
        return;
    m_progress = value;
    Q_EMIT progressChanged();
}

void AppState::setErrorMessage(const std::optional<QString>& message) {
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    Q_EMIT errorMessageChanged();
}

void AppState::setLastDownloadedFile(const std::optional<QString>& path) {
    if (m_lastDownloadedFile == path)
        return;
    m_lastDownloadedFile = path;
    Q_EMIT lastDownloadedFileChanged();
}
