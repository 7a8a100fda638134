#include "ui/LoginView.h"

#include "platform/Clock.h"
#include "ui/Async.h"
#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"
#include "vault/SupabaseClient.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

using namespace OrlavantTheme;

namespace {

// The logo square: a single click on it is one tap of the demo run.
class LogoSquare : public QFrame {
public:
    explicit LogoSquare(std::function<void()> onTap, QWidget* parent = nullptr)
        : QFrame(parent)
        , m_onTap(std::move(onTap)) {
        styleBox(this, QStringLiteral("logo"), brandGradientCss(), Qt::transparent, 14);
        setFixedSize(48, 48);
        setCursor(Qt::PointingHandCursor);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new SymbolLabel(QStringLiteral("cloud.fill"), white, 24), 0, Qt::AlignCenter);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            m_onTap();
    }

private:
    std::function<void()> m_onTap;
};

// The settings popover: closing it by a click elsewhere must reach the screen's state.
class Popover : public QFrame {
public:
    Popover(std::function<void()> onHidden, QWidget* parent)
        : QFrame(parent, Qt::Popup)
        , m_onHidden(std::move(onHidden)) {
        // The click that closes the popover is not replayed onto the settings button, or it
        // would open the popover again at once.
        setAttribute(Qt::WA_NoMouseReplay);
    }

protected:
    void hideEvent(QHideEvent* event) override {
        QFrame::hideEvent(event);
        m_onHidden();
    }

private:
    std::function<void()> m_onHidden;
};

QString fieldStyle() {
    return QStringLiteral("QLineEdit { background: %1; border: 1px solid %2; border-radius: 10px; "
                          "padding: 9px 12px; color: %3; }")
        .arg(css(soft), css(border), css(ink));
}

QPushButton* textButton(const QString& text, const QColor& color, const QFont& font) {
    auto* button = new QPushButton(text);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setFont(font);
    button->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; background: transparent; "
                                         "padding: 2px 4px; }")
                              .arg(css(color)));
    return button;
}

} // namespace

LoginView::LoginView(SupabaseClient& supabase, const Clock& clock, QWidget* parent)
    : QWidget(parent)
    , m_supabase(supabase)
    , m_clock(clock) {
    setMinimumSize(520, 620);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, bg);
    setPalette(palette);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 24, 24, 24);
    outer->addStretch(1);

    // Header: logo, title block, tagline.
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(14);
    titleRow->addStretch(1);
    titleRow->addWidget(new LogoSquare([this] { handleLogoTap(); }, this));
    auto* titleBlock = new QVBoxLayout;
    titleBlock->setSpacing(0);
    QFont titleFont = uiFont(30, QFont::Bold);
    titleBlock->addWidget(makeLabel(QStringLiteral("Orlavant"), titleFont, ink));
    titleBlock->addWidget(
        makeLabel(QStringLiteral("Sovereign Home Cloud Storage"), uiFont(12, QFont::DemiBold), purple));
    titleRow->addLayout(titleBlock);
    titleRow->addStretch(1);
    outer->addLayout(titleRow);
    outer->addSpacing(8);
    auto* tagline =
        makeLabel(QStringLiteral("Every photo, document and memory of your household, kept at home."),
                  uiFont(13), muted);
    tagline->setAlignment(Qt::AlignCenter);
    outer->addWidget(tagline);
    outer->addSpacing(22);

    // The form card.
    auto* card = makeCard(QStringLiteral("formCard"), white, border, 20);
    card->setFixedWidth(400);
    addShadow(card, QColor(0, 0, 0, 15), 20, 8);
    auto* form = new QVBoxLayout(card);
    form->setContentsMargins(28, 26, 28, 22);
    form->setSpacing(14);

    m_heading = makeLabel(QString(), uiFont(18, QFont::Bold), ink);
    m_heading->setObjectName(QStringLiteral("heading"));
    form->addWidget(m_heading);

    m_errorRow =
        makeCard(QStringLiteral("errorRow"), colorFromHex(0xEF4444, 0.08), colorFromHex(0xEF4444, 0.20), 10);
    auto* errorLayout = new QHBoxLayout(m_errorRow);
    errorLayout->setContentsMargins(12, 10, 12, 10);
    errorLayout->setSpacing(8);
    errorLayout->addWidget(new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"), red, 14), 0,
                           Qt::AlignTop);
    m_errorText = makeLabel(QString(), uiFont(12), red);
    m_errorText->setObjectName(QStringLiteral("errorText"));
    m_errorText->setWordWrap(true);
    errorLayout->addWidget(m_errorText, 1);
    form->addWidget(m_errorRow);

    auto addField = [&](const QString& label, QLineEdit* field) {
        auto* group = new QVBoxLayout;
        group->setSpacing(6);
        group->addWidget(makeLabel(label, uiFont(12, QFont::DemiBold), ink));
        field->setStyleSheet(fieldStyle());
        field->setFont(uiFont(14));
        group->addWidget(field);
        form->addLayout(group);
    };
    m_emailField = new QLineEdit;
    m_emailField->setObjectName(QStringLiteral("emailField"));
    m_emailField->setPlaceholderText(QStringLiteral("you@family.example"));
    // After a session expired, signing in again should take only the password.
    m_emailField->setText(m_supabase.expiredSessionEmail().value_or(QString()));
    addField(QStringLiteral("Email Address"), m_emailField);
    m_passwordField = new QLineEdit;
    m_passwordField->setObjectName(QStringLiteral("passwordField"));
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_passwordField->setPlaceholderText(QString(12, QChar(0x2022)));
    addField(QStringLiteral("Password"), m_passwordField);

    form->addSpacing(4);
    m_submit = new GradientButton(QString());
    m_submit->setObjectName(QStringLiteral("submitButton"));
    m_submit->setCornerRadius(22);
    m_submit->setDisabledOpacity(0.6);
    m_submit->setFixedHeight(44);
    addShadow(m_submit, colorFromHex(0x8B5CF6, 0.35), 16, 6);
    form->addWidget(m_submit);

    m_modeToggle = textButton(QString(), purple, uiFont(13, QFont::Medium));
    m_modeToggle->setObjectName(QStringLiteral("modeToggle"));
    form->addWidget(m_modeToggle, 0, Qt::AlignHCenter);

    auto* cardRow = new QHBoxLayout;
    cardRow->addStretch(1);
    cardRow->addWidget(card);
    cardRow->addStretch(1);
    outer->addLayout(cardRow);
    outer->addSpacing(14);

    m_settingsButton = textButton(QStringLiteral("Cloud Vault Settings"), muted, uiFont(12));
    m_settingsButton->setObjectName(QStringLiteral("settingsButton"));
    m_settingsButton->setIcon(
        QIcon(Icons::tinted(QStringLiteral("gearshape"), muted, 14, devicePixelRatioF())));
    outer->addWidget(m_settingsButton, 0, Qt::AlignHCenter);
    outer->addStretch(1);

    m_popover = static_cast<QFrame*>(buildPopover());

    // Return in a field does nothing: only the button submits.
    connect(m_emailField, &QLineEdit::textChanged, this, &LoginView::refresh);
    connect(m_passwordField, &QLineEdit::textChanged, this, &LoginView::refresh);
    connect(m_submit, &QAbstractButton::clicked, this, &LoginView::handleAuth);
    connect(m_modeToggle, &QPushButton::clicked, this, &LoginView::toggleMode);
    connect(m_settingsButton, &QPushButton::clicked, this, &LoginView::toggleSettings);
    refresh();
}

LoginView::~LoginView() = default;

QWidget* LoginView::buildPopover() {
    auto* popover = new Popover([this] { m_showSettings = false; }, this);
    popover->setObjectName(QStringLiteral("settingsPopover"));
    popover->setFixedWidth(380);
    popover->setStyleSheet(QStringLiteral("QFrame#settingsPopover { background: white; border: 1px solid %1; "
                                          "border-radius: 8px; }")
                               .arg(css(border)));
    auto* layout = new QVBoxLayout(popover);
    layout->setContentsMargins(18, 16, 18, 16);
    layout->setSpacing(8);
    layout->addWidget(makeLabel(QStringLiteral("Supabase Configuration"), uiFont(14, QFont::Bold), ink));
    layout->addSpacing(4);
    layout->addWidget(makeLabel(QStringLiteral("Supabase Project URL"), uiFont(11), secondary));
    m_customUrlField = new QLineEdit;
    m_customUrlField->setObjectName(QStringLiteral("customUrlField"));
    m_customUrlField->setPlaceholderText(QStringLiteral("https://your-project.supabase.co"));
    layout->addWidget(m_customUrlField);
    layout->addWidget(makeLabel(QStringLiteral("Supabase Anon Key"), uiFont(11), secondary));
    m_customAnonKeyField = new QLineEdit;
    m_customAnonKeyField->setObjectName(QStringLiteral("customAnonKeyField"));
    m_customAnonKeyField->setPlaceholderText(QStringLiteral("Anon public API key"));
    layout->addWidget(m_customAnonKeyField);
    layout->addSpacing(6);
    auto* save = new QPushButton(QStringLiteral("Save Configuration"));
    save->setObjectName(QStringLiteral("saveConfigurationButton"));
    save->setDefault(true);
    save->setCursor(Qt::PointingHandCursor);
    save->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 6px; "
                       "padding: 6px 14px; font-weight: 600; }")
            .arg(css(purple)));
    layout->addWidget(save, 0, Qt::AlignRight);
    connect(save, &QPushButton::clicked, this, &LoginView::saveSettings);
    return popover;
}

QString LoginView::email() const {
    return m_emailField->text();
}

QString LoginView::password() const {
    return m_passwordField->text();
}

void LoginView::handleAuth() {
    m_errorMessage.reset();
    m_isLoading = true;
    refresh();
    // The mode is read when the request starts; the fields are passed exactly as typed.
    auto future =
        m_isSignUp ? m_supabase.signUp(email(), password()) : m_supabase.signIn(email(), password());
    continueOnMain(
        future, this, [this](const SupabaseSession&) { finishRequest(std::nullopt); },
        [this](const QString& error) { finishRequest(error); });
}

void LoginView::handleLogoTap() {
    const qint64 now = m_clock.monotonicMs();
    if (!m_lastLogoTapMs || now - *m_lastLogoTapMs > MaxLogoTapGapMs)
        m_logoTapCount = 1;
    else
        m_logoTapCount += 1;
    m_lastLogoTapMs = now;

    if (m_logoTapCount < LogoTapsForDemo)
        return;
    m_logoTapCount = 0;
    m_isLoading = true;
    m_errorMessage.reset();
    refresh();
    continueOnMain(
        m_supabase.signInDemo(), this, [this](const SupabaseSession&) { finishRequest(std::nullopt); },
        [this](const QString& error) { finishRequest(error); });
}

void LoginView::finishRequest(const std::optional<QString>& error) {
    m_isLoading = false;
    if (error)
        m_errorMessage = error;
    refresh();
}

void LoginView::toggleMode() {
    m_isSignUp = !m_isSignUp;
    m_errorMessage.reset();
    refresh();
}

void LoginView::toggleSettings() {
    // Every opening shows the client's values: unsaved edits are dropped.
    m_customUrlField->setText(m_supabase.supabaseUrl());
    m_customAnonKeyField->setText(m_supabase.supabaseAnonKey());
    setShowSettings(!m_showSettings);
}

void LoginView::saveSettings() {
    m_supabase.configure(m_customUrlField->text(), m_customAnonKeyField->text());
    setShowSettings(false);
}

void LoginView::setShowSettings(bool show) {
    m_showSettings = show;
    if (show) {
        m_popover->adjustSize();
        const QPoint below = m_settingsButton->mapToGlobal(
            QPoint(m_settingsButton->width() / 2, m_settingsButton->height() + 6));
        m_popover->move(below.x() - m_popover->width() / 2, below.y());
        m_popover->show();
        m_customUrlField->setFocus();
    } else if (m_popover->isVisible()) {
        m_popover->hide();
    }
}

void LoginView::refresh() {
    m_heading->setText(m_isSignUp ? QStringLiteral("Create your Family Cloud Account")
                                  : QStringLiteral("Sign in to your Home Vault"));
    m_errorRow->setVisible(m_errorMessage.has_value());
    m_errorText->setText(m_errorMessage.value_or(QString()));
    m_submit->setText(m_isSignUp ? QStringLiteral("Create Family Vault")
                                 : QStringLiteral("Sign In to Orlavant"));
    m_submit->setBusy(m_isLoading);
    // Only emptiness counts: a field of blanks is filled.
    m_submit->setEnabled(!m_isLoading && !email().isEmpty() && !password().isEmpty());
    m_modeToggle->setText(m_isSignUp ? QStringLiteral("Already have an account? Sign In")
                                     : QStringLiteral("Need an account? Sign Up"));
}
