#pragma once

#include <QWebEnginePage>

class WebViewCoordinator;
class FileAccessInterceptor;

// The browser page: hands every decision the engine asks of the host (navigation policy, new
// windows, script dialogs, file choosers) to the coordinator, and confines file:// reads to the
// folder the host granted.
class OrlavantWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    OrlavantWebPage(QWebEngineProfile* profile, WebViewCoordinator& coordinator, QObject* parent = nullptr);
    ~OrlavantWebPage() override;

    // File URLs outside this folder are refused; empty refuses them all.
    void setFileAccessRoot(const QString& directory);
    QString fileAccessRoot() const;

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;
    void javaScriptAlert(const QUrl& securityOrigin, const QString& message) override;
    bool javaScriptConfirm(const QUrl& securityOrigin, const QString& message) override;
    bool javaScriptPrompt(const QUrl& securityOrigin, const QString& message, const QString& defaultValue,
                          QString* result) override;
    QStringList chooseFiles(FileSelectionMode mode, const QStringList& oldFiles,
                            const QStringList& acceptedMimeTypes) override;

private:
    WebViewCoordinator& m_coordinator;
    FileAccessInterceptor* m_interceptor;
};
