#pragma once

#include <QWidget>
#include <optional>

class Clock;
class GradientButton;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class SupabaseClient;

// The screen shown while nobody is signed in: e-mail and password sign-in or sign-up, the
// demo sign-in behind five quick clicks on the logo, and the hosted project's settings. It never
// navigates: the main window replaces it when the client becomes authenticated.
class LoginView : public QWidget {
    Q_OBJECT
public:
    LoginView(SupabaseClient& supabase, const Clock& clock, QWidget* parent = nullptr);
    ~LoginView() override;

    // Quick logo clicks further apart than this restart the run.
    static constexpr qint64 MaxLogoTapGapMs = 3000;
    static constexpr qint64 LogoTapsForDemo = 5;

    QString email() const;
    QString password() const;
    bool isSignUp() const { return m_isSignUp; }
    bool isLoading() const { return m_isLoading; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    bool showSettings() const { return m_showSettings; }
    qint64 logoTapCount() const { return m_logoTapCount; }

    void handleAuth();
    void handleLogoTap();
    void toggleMode();
    // The "Cloud Vault Settings" action: pre-fill from the client, then open or close.
    void toggleSettings();
    // "Save Configuration".
    void saveSettings();

private:
    void finishRequest(const std::optional<QString>& error);
    void setShowSettings(bool show);
    void refresh();
    QWidget* buildPopover();

    SupabaseClient& m_supabase;
    const Clock& m_clock;

    bool m_isSignUp = false;
    bool m_isLoading = false;
    std::optional<QString> m_errorMessage;
    bool m_showSettings = false;
    qint64 m_logoTapCount = 0;
    std::optional<qint64> m_lastLogoTapMs; // absent: the distant past

    QLabel* m_heading;
    QFrame* m_errorRow;
    QLabel* m_errorText;
    QLineEdit* m_emailField;
    QLineEdit* m_passwordField;
    GradientButton* m_submit;
    QPushButton* m_modeToggle;
    QPushButton* m_settingsButton;
    QFrame* m_popover;
    QLineEdit* m_customUrlField;
    QLineEdit* m_customAnonKeyField;
};
