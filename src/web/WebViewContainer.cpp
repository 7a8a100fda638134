#include "web/WebViewContainer.h"

#include "app/AppState.h"
#include "web/BridgeScripts.h"
#include "web/OrlavantWebPage.h"
#include "web/ScriptMessageBridge.h"
#include "web/WebViewBox.h"
#include "web/WebViewCoordinator.h"

#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

// The web application recognises the desktop client by this exact text.
const QString WebViewContainer::UserAgent =
    QStringLiteral("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
                   "OrlavantMacApp/1.0");
const QString WebViewContainer::ProfileName = QStringLiteral("orlavant");

WebViewContainer::WebViewContainer(const Services& services, QWidget* parent)
    : QWidget(parent)
    , m_coordinator(
          new WebViewCoordinator({services.appState, services.webViewBox, services.folderSync,
                                  services.client, services.http, services.dialogs, services.desktop},
                                 this))
    , m_profile(new QWebEngineProfile(ProfileName, this)) {
    QWebEngineSettings* settings = m_profile->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    // Pages from the web directory read their siblings and talk to the vault over http.
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    m_profile->setHttpUserAgent(UserAgent);
    connect(m_profile, &QWebEngineProfile::downloadRequested, m_coordinator,
            &WebViewCoordinator::handleDownloadRequested);

    m_view = new QWebEngineView(this);
    m_page = new OrlavantWebPage(m_profile, *m_coordinator, this);

    // The "orlavantMac" handler: a channel object behind a shim that the page sees before any
    // of its own scripts run.
    m_bridge = new ScriptMessageBridge(
        [coordinator = m_coordinator](const QString& handlerName, const QJsonValue& body) {
            coordinator->handleScriptMessage(handlerName, body);
        },
        m_page);
    auto* channel = new QWebChannel(m_page);
    channel->registerObject(BridgeScripts::HandlerName, m_bridge);
    m_page->setWebChannel(channel, QWebEngineScript::MainWorld);
    QWebEngineScript shim;
    shim.setName(QStringLiteral("orlavantMac message handler"));
    shim.setSourceCode(BridgeScripts::messageHandlerShim());
    shim.setInjectionPoint(QWebEngineScript::DocumentCreation);
    shim.setWorldId(QWebEngineScript::MainWorld);
    shim.setRunsOnSubFrames(false);
    m_page->scripts().insert(shim);

    m_view->setPage(m_page);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);

    m_coordinator->setupObservation(m_view);
    services.webViewBox.setWebView(m_view);
    connect(&services.webViewBox, &WebViewBox::loadTimedOut, m_coordinator,
            &WebViewCoordinator::handleLoadTimedOut);
    m_coordinator->setupSyncCallbacks();
    if (const auto url = services.appState.currentUrl())
        services.webViewBox.load(*url);
}

WebViewContainer::~WebViewContainer() {
    // The page must go before its profile, and the coordinator must stop hearing from it.
    m_page->disconnect(m_coordinator);
    delete m_view;
    delete m_page;
}
