#include "web/WebViewBox.h"

#include <QWebEngineView>

WebViewBox::WebViewBox(QString webDirectory, QObject* parent)
    : QObject(parent)
    , m_webDirectory(std::move(webDirectory))
{
}

void WebViewBox::setWebView(QWebEngineView* view)
{
    m_webView = view;
    Q_EMIT webViewChanged();
}

void WebViewBox::goBack()
{
    if (m_webView)
        m_webView->back();
}

void WebViewBox::goForward()
{
    if (m_webView)
        m_webView->forward();
}

void WebViewBox::reload()
{
    if (m_webView)
        m_webView->reload();
}

void WebViewBox::load(const QUrl& url)
{
    if (m_webView)
        m_webView->load(url);
}
