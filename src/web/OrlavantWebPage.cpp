#include "web/OrlavantWebPage.h"

#include "web/WebViewCoordinator.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineUrlRequestInterceptor>

class FileAccessInterceptor : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void setRoot(const QString& directory) {
        QMutexLocker lock(&m_mutex);
        const QFileInfo info(directory);
        m_root = directory.isEmpty()
                     ? QString()
                     : (info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath()));
    }
    QString root() const {
        QMutexLocker lock(&m_mutex);
        return m_root;
    }

    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QUrl url = info.requestUrl();
        if (!url.isLocalFile())
            return;
        const QString root = this->root();
        // Symbolic links inside the folder must not lead out of it either.
        const QFileInfo file(url.toLocalFile());
        const QString path =
            file.exists() ? file.canonicalFilePath() : QDir::cleanPath(file.absoluteFilePath());
        const bool inside = !root.isEmpty() && (path == root || path.startsWith(root + QLatin1Char('/')));
        if (!inside)
            info.block(true);
    }

private:
    mutable QMutex m_mutex;
    QString m_root;
};

OrlavantWebPage::OrlavantWebPage(QWebEngineProfile* profile, WebViewCoordinator& coordinator, QObject* parent)
    : QWebEnginePage(profile, parent)
    , m_coordinator(coordinator)
    , m_interceptor(new FileAccessInterceptor(this)) {
    setUrlRequestInterceptor(m_interceptor);
    connect(this, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest& request) {
        m_coordinator.handleNewWindowRequest(request.requestedUrl());
    });
    connect(this, &QWebEnginePage::loadingChanged, &m_coordinator, &WebViewCoordinator::handleLoadingChanged);
}

OrlavantWebPage::~OrlavantWebPage() {
    setUrlRequestInterceptor(nullptr);
}

void OrlavantWebPage::setFileAccessRoot(const QString& directory) {
    m_interceptor->setRoot(directory);
}

QString OrlavantWebPage::fileAccessRoot() const {
    return m_interceptor->root();
}

bool OrlavantWebPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool) {
    return m_coordinator.decideNavigationAction(url);
}

QWebEnginePage* OrlavantWebPage::createWindow(WebWindowType) {
    // The host never opens a second view; newWindowRequested already decided what happens.
    return nullptr;
}

void OrlavantWebPage::javaScriptAlert(const QUrl&, const QString& message) {
    m_coordinator.showAlert(message);
}

bool OrlavantWebPage::javaScriptConfirm(const QUrl&, const QString& message) {
    return m_coordinator.askConfirm(message);
}

bool OrlavantWebPage::javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) {
    // The host offers no text prompt: the page sees the prompt dismissed.
    return false;
}

QStringList OrlavantWebPage::chooseFiles(FileSelectionMode mode, const QStringList&, const QStringList&) {
    return m_coordinator.chooseFiles(mode == FileSelectOpenMultiple);
}
