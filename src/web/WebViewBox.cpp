#include "web/WebViewBox.h"

#include "app/AppState.h"
#include "web/OrlavantWebPage.h"

#include <QWebEngineHttpRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

WebViewBox::WebViewBox(QString webDirectory, QObject* parent)
    : QObject(parent)
    , m_webDirectory(std::move(webDirectory)) {
    m_loadTimer.setSingleShot(true);
    m_loadTimer.setInterval(LoadTimeout);
    connect(&m_loadTimer, &QTimer::timeout, this, [this] {
        if (!m_webView)
            return;
        m_webView->stop();
        Q_EMIT loadTimedOut(m_timedUrl);
    });
}

QString WebViewBox::webDirectory() const {
    return m_webDirectory.isEmpty() ? AppState::resolveWebDirectory(AppState::defaultWebLocations())
                                    : m_webDirectory;
}

void WebViewBox::setWebView(QWebEngineView* view) {
    for (const auto& connection : std::as_const(m_viewConnections))
        disconnect(connection);
    m_viewConnections.clear();
    m_loadTimer.stop();
    m_webView = view;
    if (view) {
        // The time-out counts from the last sign of progress, like a request's idle time-out.
        m_viewConnections << connect(view, &QWebEngineView::loadProgress, this, [this] {
            if (m_loadTimer.isActive())
                m_loadTimer.start();
        });
        m_viewConnections << connect(view->page(), &QWebEnginePage::loadingChanged, this,
                                     [this](const QWebEngineLoadingInfo& info) {
                                         if (info.status() != QWebEngineLoadingInfo::LoadStartedStatus)
                                             m_loadTimer.stop();
                                     });
    }
    Q_EMIT webViewChanged();
}

void WebViewBox::goBack() {
    if (m_webView)
        m_webView->back();
}

void WebViewBox::goForward() {
    if (m_webView)
        m_webView->forward();
}

void WebViewBox::reload() {
    if (m_webView)
        m_webView->reload();
}

void WebViewBox::load(const QUrl& url) {
    if (!m_webView)
        return;
    m_loadTimer.stop();
    if (url.isLocalFile()) {
        if (auto* page = qobject_cast<OrlavantWebPage*>(m_webView->page()))
            page->setFileAccessRoot(webDirectory());
        m_webView->load(url);
        return;
    }
    m_timedUrl = url;
    m_webView->load(QWebEngineHttpRequest(url));
    m_loadTimer.start();
}
