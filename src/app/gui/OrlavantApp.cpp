#include "app/gui/OrlavantApp.h"

#include "app/AppState.h"
#include "app/CoreServices.h"
#include "app/gui/AppWindow.h"
#include "app/gui/MainWindow.h"
#include "app/gui/QtDialogs.h"
#include "platform/Clock.h"
#include "platform/DbusNotificationSink.h"
#include "web/WebViewBox.h"

#include <QApplication>
#include <QIcon>

OrlavantApp::OrlavantApp()
    : m_clock(std::make_unique<SystemClock>())
    , m_dialogs(std::make_unique<QtDialogs>())
    , m_notificationSink(std::make_unique<DbusNotificationSink>()) {
    // The resources live in a static library: register them before the first lookup.
    Q_INIT_RESOURCE(resources);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/orlavant/orlavant.svg")));

    CoreServices::Options options;
    options.dialogs = m_dialogs.get();
    options.notificationSink = m_notificationSink.get();
    m_services = std::make_unique<CoreServices>(options);

    m_appState = std::make_unique<AppState>(m_services->folderSync, m_services->client, m_services->http);
    m_webViewBox = std::make_unique<WebViewBox>(m_appState->resolveWebDirectory());
    auto* content = new MainWindow(*m_appState, *m_webViewBox, m_services->client, m_services->folderSync,
                                   *m_dialogs, *m_clock);
    m_window = std::make_unique<AppWindow>(*m_appState, *m_webViewBox, content);
    m_dialogs->setParentWindow(m_window.get());
}

// The window goes first: its screens hold references to everything below it.
OrlavantApp::~OrlavantApp() {
    m_window.reset();
}
