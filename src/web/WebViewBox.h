#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>
#include <chrono>

// Holder of a weak reference to the browser view, through which the menus and the script
// bridge drive it. Every operation does nothing while no view is attached.
class WebViewBox : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds LoadTimeout{15};

    // `webDirectory` is the folder a file page may read; empty looks it up at every load.
    explicit WebViewBox(QString webDirectory = {}, QObject* parent = nullptr);

    QWebEngineView* webView() const { return m_webView; }
    void setWebView(QWebEngineView* view);

    void goBack();
    void goForward();
    void reload();
    // File URLs load from disk (the page may read the whole web directory); anything else is
    // requested with a 15-second time-out.
    void load(const QUrl& url);

    QString webDirectory() const;

Q_SIGNALS:
    void webViewChanged();
    // A remote load made no progress for LoadTimeout and was stopped.
    void loadTimedOut(const QUrl& url);

private:
    QString m_webDirectory;
    QPointer<QWebEngineView> m_webView;
    QTimer m_loadTimer;
    QUrl m_timedUrl;
    QList<QMetaObject::Connection> m_viewConnections;
};
