#include "app/gui/MainWindow.h"

#include "app/AppState.h"
#include "platform/Clock.h"
#include "sync/FolderSyncManager.h"
#include "ui/Controls.h"
#include "ui/DashboardView.h"
#include "ui/FileBrowserView.h"
#include "ui/FolderSyncView.h"
#include "ui/Icons.h"
#include "ui/LoginView.h"
#include "ui/OrlavantTheme.h"
#include "vault/SupabaseClient.h"
#include "web/WebViewBox.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>

using namespace OrlavantTheme;

namespace {
const QString SampleEmail = QStringLiteral("pellan@orlavant.family");
const QString AvatarInitials = QStringLiteral("PL");
const QString LegalNotice = QStringLiteral("\u00A9 2026 Orlavant. Your files stay in your household.");
} // namespace

// One entry of the sidebar; active when the window's tab equals its tag.
class SidebarNavItem : public QAbstractButton {
public:
    SidebarNavItem(const QString& title, const QString& icon, const QString& tag, QWidget* parent = nullptr)
        : QAbstractButton(parent)
        , m_icon(icon)
        , m_tag(tag) {
        setText(title);
        setObjectName(QStringLiteral("nav_") + tag);
        setCursor(Qt::PointingHandCursor);
        setFixedHeight(34);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    QString tag() const { return m_tag; }
    bool isActive() const { return m_active; }
    void setActive(bool active) {
        m_active = active;
        setProperty("active", active); // readable without this class
        update();
    }
    QSize sizeHint() const override { return {180, 34}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (m_active) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(activeNavBackground);
            painter.drawRoundedRect(QRectF(rect()), 9, 9);
        }
        const int midY = height() / 2;
        // The icon is 13 points in a frame 18 points wide.
        const QPixmap icon = Icons::tinted(m_icon, m_active ? purple : muted, 13, devicePixelRatioF());
        painter.drawPixmap(QPoint(12 + (18 - 13) / 2, midY - 13 / 2), icon);
        painter.setPen(m_active ? purple : ink);
        painter.setFont(OrlavantTheme::uiFont(13, m_active ? QFont::Bold : QFont::Medium));
        painter.drawText(QRect(12 + 18 + 10, 0, width() - 40, height()), Qt::AlignVCenter | Qt::AlignLeft,
                         text());
    }

private:
    QString m_icon;
    QString m_tag;
    bool m_active = false;
};

MainWindow::MainWindow(AppState& appState, WebViewBox& webViewBox, SupabaseClient& supabase,
                       FolderSyncManager& folderSync, Dialogs& dialogs, const Clock& clock, QWidget* parent)
    : QWidget(parent)
    , m_appState(appState)
    , m_webViewBox(webViewBox)
    , m_supabase(supabase)
    , m_folderSync(folderSync)
    , m_dialogs(dialogs)
    , m_clock(clock) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, bg);
    setPalette(palette);

    m_gate = new QStackedLayout(this);
    m_mainLayout = buildMainLayout();
    m_gate->addWidget(m_mainLayout);

    connect(&m_supabase, &SupabaseClient::isAuthenticatedChanged, this, &MainWindow::updateGate);
    connect(&m_supabase, &SupabaseClient::currentSessionChanged, this, &MainWindow::updateAccount);
    updateGate();
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::currentScreen() const {
    if (isShowingLogin())
        return m_login;
    return m_content;
}

bool MainWindow::isShowingLogin() const {
    return m_login && m_gate->currentWidget() == m_login;
}

void MainWindow::updateGate() {
    if (!m_supabase.isAuthenticated()) {
        // Leaving the main layout: its screens end with it (nothing of the last user's files stays
        // on screen); the login screen starts afresh.
        clearContent();
        if (!m_login) {
            m_login = new LoginView(m_supabase, m_clock);
            m_login->setObjectName(QStringLiteral("loginView"));
            m_gate->addWidget(m_login);
        }
        m_gate->setCurrentWidget(m_login);
        return;
    }
    if (m_login) {
        m_gate->removeWidget(m_login);
        m_login->hide();
        // Deleted later: this may run inside the login screen's own continuation.
        m_login->deleteLater();
        m_login = nullptr;
    }
    updateAccount();
    m_gate->setCurrentWidget(m_mainLayout);
    showContent();
}

MainWindow::Content MainWindow::contentFor(const QString& tag) {
    if (tag == QLatin1StringView("dashboard"))
        return Content::Dashboard;
    if (tag == QLatin1StringView("files") || tag == QLatin1StringView("photos") ||
        tag == QLatin1StringView("shared") || tag == QLatin1StringView("trash"))
        return Content::Files;
    if (tag == QLatin1StringView("sync"))
        return Content::Sync;
    return Content::None;
}

void MainWindow::setActiveTab(const QString& tag) {
    if (tag == m_activeTab)
        return;
    m_activeTab = tag;
    for (SidebarNavItem* item : m_navItems)
        item->setActive(item->tag() == m_activeTab);
    if (m_supabase.isAuthenticated())
        showContent();
    Q_EMIT activeTabChanged();
}

void MainWindow::clearContent() {
    if (m_content) {
        m_contentLayout->removeWidget(m_content);
        m_content->hide();
        m_content->deleteLater();
        m_content = nullptr;
    }
    m_contentKind = Content::None;
}

void MainWindow::showContent() {
    const Content kind = contentFor(m_activeTab);
    // The four file entries share one screen: moving between them keeps it (and its list).
    if (m_content && kind == m_contentKind)
        return;
    clearContent();
    switch (kind) {
    case Content::Dashboard:
        m_content = new DashboardView([this] { setActiveTab(QStringLiteral("files")); },
                                      [this] { setActiveTab(QStringLiteral("sync")); });
        break;
    case Content::Files:
        m_content = new FileBrowserView(m_supabase, m_dialogs);
        break;
    case Content::Sync:
        m_content = new FolderSyncView(m_folderSync, m_supabase);
        break;
    case Content::None:
        break;
    }
    m_contentKind = kind;
    if (m_content) {
        m_contentLayout->addWidget(m_content, 1);
        m_content->show(); // now, not on the next turn of the event loop
    }
}

void MainWindow::updateAccount() {
    if (!m_accountEmail)
        return;
    const std::optional<SupabaseSession> session = m_supabase.currentSession();
    const QString email =
        session && session->email && !session->email->isEmpty() ? *session->email : SampleEmail;
    m_accountEmail->setText(email);
}

QWidget* MainWindow::buildMainLayout() {
    auto* layout = new QWidget;
    layout->setObjectName(QStringLiteral("mainLayout"));
    auto* row = new QHBoxLayout(layout);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(buildSidebar());
    row->addWidget(makeRule(border, Qt::Vertical));

    auto* mainColumn = new QWidget;
    auto* column = new QVBoxLayout(mainColumn);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildTopBar());
    column->addWidget(makeRule(border));
    auto* contentArea = new QWidget;
    contentArea->setObjectName(QStringLiteral("contentArea"));
    m_contentLayout = new QVBoxLayout(contentArea);
    m_contentLayout->setContentsMargins(0, 0, 0, 0);
    column->addWidget(contentArea, 1);
    row->addWidget(mainColumn, 1);
    return layout;
}

QWidget* MainWindow::buildSidebar() {
    auto* sidebar = new QFrame;
    styleCard(sidebar, QStringLiteral("sidebar"), bg, Qt::transparent, 0);
    sidebar->setFixedWidth(210);
    auto* column = new QVBoxLayout(sidebar);
    column->setContentsMargins(12, 20, 12, 14);
    column->setSpacing(6);

    // Brand.
    auto* brand = new QHBoxLayout;
    brand->setSpacing(10);
    auto* square = new QFrame;
    styleBox(square, QStringLiteral("brandSquare"), brandGradientCss(), Qt::transparent, 10);
    square->setFixedSize(36, 36);
    auto* squareLayout = new QVBoxLayout(square);
    squareLayout->setContentsMargins(0, 0, 0, 0);
    squareLayout->addWidget(new SymbolLabel(QStringLiteral("cloud.fill"), white, 17), 0, Qt::AlignCenter);
    brand->addWidget(square);
    auto* brandText = new QVBoxLayout;
    brandText->setSpacing(0);
    brandText->addWidget(makeLabel(QStringLiteral("Orlavant"), uiFont(18, QFont::Bold), ink));
    brandText->addWidget(makeLabel(QStringLiteral("Family Cloud"), uiFont(10, QFont::Medium), muted));
    brand->addLayout(brandText, 1);
    column->addLayout(brand);
    column->addSpacing(14);

    auto* upload = new GradientButton(QStringLiteral("+ Upload"));
    upload->setObjectName(QStringLiteral("sidebarUploadButton"));
    upload->setBackground(evenStops({purple, pink}));
    upload->setLabelFont(uiFont(13, QFont::Bold));
    upload->setCornerRadius(10);
    upload->setFixedHeight(38);
    column->addWidget(upload);
    column->addSpacing(14);

    const struct {
        const char* title;
        const char* icon;
        const char* tag;
    } entries[] = {
        {"Dashboard", "house.fill", "dashboard"}, {"My Files", "folder.fill", "files"},
        {"Photos", "photo.fill", "photos"},       {"Sync Engine", "arrow.triangle.2.circlepath", "sync"},
        {"Shared", "arrow.up.right", "shared"},   {"Trash", "trash", "trash"},
    };
    for (const auto& entry : entries) {
        auto* item = new SidebarNavItem(QString::fromUtf8(entry.title), QString::fromUtf8(entry.icon),
                                        QString::fromUtf8(entry.tag));
        item->setActive(item->tag() == m_activeTab);
        connect(item, &QAbstractButton::clicked, this, [this, item] { setActiveTab(item->tag()); });
        m_navItems.append(item);
        column->addWidget(item);
    }
    column->addStretch(1);

    // Plan card: fixed values.
    auto* plan = makeCard(QStringLiteral("planCard"), white, border, 14);
    auto* planColumn = new QVBoxLayout(plan);
    planColumn->setContentsMargins(10, 10, 10, 10);
    planColumn->setSpacing(6);
    planColumn->addWidget(makeLabel(QStringLiteral("Free Family plan"), uiFont(10), muted));
    auto* storage = new QHBoxLayout;
    storage->addWidget(makeLabel(QStringLiteral("Storage"), uiFont(11, QFont::DemiBold), ink));
    storage->addStretch();
    storage->addWidget(makeLabel(QStringLiteral("12.4 GB / 100 GB"), uiFont(11, QFont::Bold), ink));
    planColumn->addLayout(storage);
    auto* track = makeCard(QStringLiteral("planTrack"), soft, Qt::transparent, 3);
    track->setFixedHeight(6);
    auto* trackLayout = new QHBoxLayout(track);
    trackLayout->setContentsMargins(0, 0, 0, 0);
    trackLayout->setSpacing(0);
    auto* fill = new QFrame;
    styleBox(fill, QStringLiteral("planFill"), brandGradientCss(), Qt::transparent, 3);
    // 0.124 of the width: 124 parts filled against 876 empty.
    trackLayout->addWidget(fill, 124);
    trackLayout->addStretch(876);
    planColumn->addWidget(track);
    auto* upgrade = new GradientButton(QStringLiteral("Upgrade plan"));
    upgrade->setObjectName(QStringLiteral("upgradePlanButton"));
    upgrade->setBackground(evenStops({purple, pink}));
    upgrade->setLabelFont(uiFont(11, QFont::DemiBold));
    upgrade->setCornerRadius(8);
    upgrade->setFixedHeight(28);
    planColumn->addWidget(upgrade);
    column->addWidget(plan);
    column->addSpacing(8);

    // Footer: the notice and "Log out".
    auto* footer = new QHBoxLayout;
    footer->setSpacing(4);
    auto* notice = makeLabel(LegalNotice, uiFont(10), muted);
    notice->setWordWrap(true);
    footer->addWidget(notice, 1);
    auto* logOut = new QPushButton(QStringLiteral("Log out"));
    logOut->setObjectName(QStringLiteral("logOutButton"));
    logOut->setFlat(true);
    logOut->setCursor(Qt::PointingHandCursor);
    logOut->setFont(uiFont(10, QFont::Bold));
    logOut->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; border: none; background: transparent; padding: 0; }")
            .arg(css(purple)));
    connect(logOut, &QPushButton::clicked, this, [this] { m_supabase.signOut(); });
    footer->addWidget(logOut, 0, Qt::AlignBottom);
    column->addLayout(footer);
    return sidebar;
}

QWidget* MainWindow::buildTopBar() {
    auto* bar = new QFrame;
    styleCard(bar, QStringLiteral("topBar"), white, Qt::transparent, 0);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(28, 12, 28, 12);
    row->setSpacing(12);

    auto* search = new QWidget;
    search->setMaximumWidth(420);
    auto* searchRow = new QHBoxLayout(search);
    searchRow->setContentsMargins(0, 0, 0, 0);
    searchRow->setSpacing(8);
    searchRow->addWidget(new SymbolLabel(QStringLiteral("magnifyingglass"), muted, 14));
    m_searchField = new QLineEdit;
    m_searchField->setObjectName(QStringLiteral("topSearchField"));
    m_searchField->setPlaceholderText(QStringLiteral("Search your files..."));
    m_searchField->setFrame(false);
    m_searchField->setFont(uiFont(13));
    m_searchField->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none; }"));
    connect(m_searchField, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_searchText = text; });
    searchRow->addWidget(m_searchField, 1);
    row->addWidget(search, 1);
    row->addStretch(0);

    auto* tile = makeCard(QStringLiteral("diamondTile"), soft, Qt::transparent, 9);
    tile->setFixedSize(34, 34);
    auto* tileLayout = new QVBoxLayout(tile);
    tileLayout->setContentsMargins(0, 0, 0, 0);
    tileLayout->addWidget(makeLabel(QStringLiteral("\u2662"), uiFont(14), muted), 0, Qt::AlignCenter);
    row->addWidget(tile);

    auto* avatar = makeCard(QStringLiteral("avatar"), purple, Qt::transparent, 14);
    avatar->setFixedSize(28, 28);
    auto* avatarLayout = new QVBoxLayout(avatar);
    avatarLayout->setContentsMargins(0, 0, 0, 0);
    avatarLayout->addWidget(makeLabel(AvatarInitials, uiFont(11, QFont::Bold), white), 0, Qt::AlignCenter);
    row->addWidget(avatar);

    auto* account = new QVBoxLayout;
    account->setSpacing(0);
    account->addWidget(makeLabel(QStringLiteral("Pellan"), uiFont(12, QFont::Bold), ink));
    m_accountEmail = makeLabel(SampleEmail, uiFont(11), muted);
    m_accountEmail->setObjectName(QStringLiteral("accountEmail"));
    account->addWidget(m_accountEmail);
    row->addLayout(account);
    return bar;
}
