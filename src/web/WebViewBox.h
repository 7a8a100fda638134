#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>

class QWebEngineView;

// Holder of a weak reference to the browser view, through which the menus and the script
// bridge drive it. Every operation does nothing while no view is attached.
class WebViewBox : public QObject {
    Q_OBJECT
public:
    explicit WebViewBox(QString webDirectory = {}, QObject* parent = nullptr);

    QWebEngineView* webView() const { return m_webView; }
    void setWebView(QWebEngineView* view);

    void goBack();
    void goForward();
    void reload();
    // File URLs load from disk (the page may read the whole web directory); anything else is
    // requested with a 15-second time-out.
    void load(const QUrl& url);

Q_SIGNALS:
    void webViewChanged();

private:
    QString m_webDirectory;
    QPointer<QWebEngineView> m_webView;
};
