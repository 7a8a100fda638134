#pragma once

#include <memory>

class AppState;
class AppWindow;
class CoreServices;
class DbusNotificationSink;
class QtDialogs;
class SystemClock;
class WebViewBox;

// The application entry: builds everything once, in the order the rest relies on, and owns
// it for the whole run.
class OrlavantApp {
public:
    OrlavantApp();
    ~OrlavantApp();

    AppWindow& window() const { return *m_window; }
    AppState& appState() const { return *m_appState; }
    CoreServices& services() const { return *m_services; }

private:
    std::unique_ptr<SystemClock> m_clock;
    std::unique_ptr<QtDialogs> m_dialogs;
    std::unique_ptr<DbusNotificationSink> m_notificationSink;
    std::unique_ptr<CoreServices> m_services;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<WebViewBox> m_webViewBox;
    std::unique_ptr<AppWindow> m_window;
};
