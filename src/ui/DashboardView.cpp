#include "ui/DashboardView.h"

#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace OrlavantTheme;

namespace {
// Columns of the recent-files table: Name takes the rest.
constexpr int TypeColumnWidth = 120;
constexpr int ModifiedColumnWidth = 120;
constexpr int SizeColumnWidth = 90;
constexpr int MoreColumnWidth = 40;

const QString Ellipsis = QStringLiteral("\u2022\u2022\u2022");

QFrame* panel(const QString& name) {
    return makeCard(name, white, border, 18);
}
} // namespace

DashboardView::DashboardView(QWidget* parent)
    : DashboardView(nullptr, nullptr, parent) {}

DashboardView::DashboardView(std::function<void()> navigateFiles, std::function<void()> navigateSync,
                             QWidget* parent)
    : QWidget(parent)
    , onNavigateFiles(std::move(navigateFiles))
    , onNavigateSync(std::move(navigateSync)) {
    auto* column = makeScrollingPage(this, QStringLiteral("dashboardPage"), 28, Qt::ScrollBarAlwaysOff);

    // 1. Greeting and the upload button.
    auto* header = new QHBoxLayout;
    auto* greeting = new QVBoxLayout;
    greeting->setSpacing(4);
    greeting->addWidget(makeLabel(QStringLiteral("PRIVATE FAMILY CLOUD"), uiFont(11, QFont::Bold), purple));
    greeting->addWidget(
        makeLabel(QStringLiteral("Welcome back, Pellan \U0001F44B"), uiFont(28, QFont::Bold), ink));
    greeting->addWidget(makeLabel(QStringLiteral("Your memories and documents, safely stored in one place."),
                                  uiFont(14), muted));
    header->addLayout(greeting, 1);
    auto* upload = new GradientButton(QStringLiteral("Upload files"));
    upload->setObjectName(QStringLiteral("uploadFilesButton"));
    upload->setSymbol(QStringLiteral("arrow.up"));
    upload->setCornerRadius(12);
    upload->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    upload->setFixedHeight(42);
    header->addWidget(upload, 0, Qt::AlignVCenter);
    column->addLayout(header);

    // 2. Summary cards.
    auto* cards = new QHBoxLayout;
    cards->setSpacing(16);
    cards->addWidget(statCard(QStringLiteral("cloud.fill"), purple, QStringLiteral("Storage used"),
                              QStringLiteral("12.4 GB"), QStringLiteral("of 100 GB")));
    cards->addWidget(statCard(QStringLiteral("folder.fill"), blue, QStringLiteral("Files"),
                              QStringLiteral("248"), QStringLiteral("items stored")));
    cards->addWidget(statCard(QStringLiteral("heart.fill"), pink, QStringLiteral("Photos"),
                              QStringLiteral("1,842"), QStringLiteral("memories backed up")));
    cards->addWidget(statCard(QStringLiteral("arrow.up.right"), orange, QStringLiteral("Shared"),
                              QStringLiteral("18"), QStringLiteral("with family")));
    column->addLayout(cards);

    // 3. Quick access and mobile backup.
    auto* panels = new QHBoxLayout;
    panels->setSpacing(16);
    auto* quick = panel(QStringLiteral("quickAccessPanel"));
    auto* quickColumn = new QVBoxLayout(quick);
    quickColumn->setContentsMargins(20, 18, 20, 20);
    quickColumn->setSpacing(14);
    quickColumn->addWidget(
        sectionHeader(QStringLiteral("Quick access"), QStringLiteral("quickAccessViewAll"), [this] {
            if (onNavigateFiles)
                onNavigateFiles();
        }));
    auto* tiles = new QHBoxLayout;
    tiles->setSpacing(12);
    tiles->addWidget(
        quickFolder(QStringLiteral("\U0001F4C1"), QStringLiteral("Family"), QStringLiteral("3.8 GB")));
    tiles->addWidget(
        quickFolder(QStringLiteral("\U0001F4F7"), QStringLiteral("Photos"), QStringLiteral("6.2 GB")));
    tiles->addWidget(
        quickFolder(QStringLiteral("\U0001F3AC"), QStringLiteral("Videos"), QStringLiteral("1.7 GB")));
    tiles->addWidget(
        quickFolder(QStringLiteral("\U0001F4C4"), QStringLiteral("Documents"), QStringLiteral("742 MB")));
    quickColumn->addLayout(tiles);
    panels->addWidget(quick, 3);

    auto* backup = panel(QStringLiteral("mobileBackupPanel"));
    auto* backupColumn = new QVBoxLayout(backup);
    backupColumn->setContentsMargins(20, 18, 20, 20);
    backupColumn->setSpacing(14);
    auto* backupTitle = new QHBoxLayout;
    backupTitle->addWidget(makeLabel(QStringLiteral("Mobile backup"), uiFont(15, QFont::Bold), ink));
    backupTitle->addStretch();
    auto* badge = makeCard(QStringLiteral("backupBadge"), colorFromHex(0x22C55E, 0.10), Qt::transparent, 10);
    auto* badgeRow = new QHBoxLayout(badge);
    badgeRow->setContentsMargins(8, 3, 10, 3);
    badgeRow->setSpacing(5);
    auto* dot = makeCard(QStringLiteral("backupDot"), green, Qt::transparent, 3);
    dot->setFixedSize(6, 6);
    badgeRow->addWidget(dot, 0, Qt::AlignVCenter);
    badgeRow->addWidget(makeLabel(QStringLiteral("Active"), uiFont(11, QFont::Bold), green));
    backupTitle->addWidget(badge);
    backupColumn->addLayout(backupTitle);

    auto* device = new QHBoxLayout;
    device->setSpacing(12);
    auto* phoneSquare = makeCard(QStringLiteral("phoneSquare"), soft, Qt::transparent, 10);
    phoneSquare->setFixedSize(40, 40);
    auto* phoneLayout = new QVBoxLayout(phoneSquare);
    phoneLayout->setContentsMargins(0, 0, 0, 0);
    phoneLayout->addWidget(new SymbolLabel(QStringLiteral("iphone"), purple, 18), 0, Qt::AlignCenter);
    device->addWidget(phoneSquare);
    auto* deviceText = new QVBoxLayout;
    deviceText->setSpacing(2);
    deviceText->addWidget(makeLabel(QStringLiteral("Pellan's Android"), uiFont(14, QFont::Bold), ink));
    deviceText->addWidget(makeLabel(QStringLiteral("Last backup today at 08:42 AM"), uiFont(11), muted));
    device->addLayout(deviceText, 1);
    device->addWidget(makeLabel(Ellipsis, uiFont(13), muted));
    backupColumn->addLayout(device);
    backupColumn->addWidget(makeRule(border));
    auto* next = new QHBoxLayout;
    next->addWidget(makeLabel(QStringLiteral("Next backup"), uiFont(13), muted));
    next->addStretch();
    next->addWidget(makeLabel(QStringLiteral("Tonight \u00B7 Wi-Fi only"), uiFont(13, QFont::Bold), ink));
    backupColumn->addLayout(next);
    backupColumn->addStretch();
    panels->addWidget(backup, 2);
    column->addLayout(panels);

    // 4. Recent files.
    auto* recent = panel(QStringLiteral("recentFilesPanel"));
    auto* recentColumn = new QVBoxLayout(recent);
    recentColumn->setContentsMargins(20, 18, 20, 12);
    recentColumn->setSpacing(0);
    recentColumn->addWidget(
        sectionHeader(QStringLiteral("Recent files"), QStringLiteral("recentFilesViewAll"), [this] {
            if (onNavigateFiles)
                onNavigateFiles();
        }));
    recentColumn->addSpacing(12);
    auto* heading = new QWidget;
    auto* headingRow = new QHBoxLayout(heading);
    headingRow->setContentsMargins(0, 6, 0, 6);
    headingRow->setSpacing(0);
    const QFont headingFont = uiFont(11, QFont::DemiBold);
    headingRow->addWidget(makeLabel(QStringLiteral("Name"), headingFont, muted), 1);
    const std::pair<QString, int> fixedColumns[] = {{QStringLiteral("Type"), TypeColumnWidth},
                                                    {QStringLiteral("Modified"), ModifiedColumnWidth},
                                                    {QStringLiteral("Size"), SizeColumnWidth},
                                                    {QString(), MoreColumnWidth}};
    for (const auto& [title, width] : fixedColumns) {
        auto* label = makeLabel(title, headingFont, muted);
        label->setFixedWidth(width);
        headingRow->addWidget(label);
    }
    recentColumn->addWidget(heading);
    struct Row {
        const char* icon;
        const char* name;
        const char* type;
        const char* modified;
        const char* size;
        bool isNew;
    };
    const Row rows[] = {
        {"camera.fill", "Family Vacation 2026", "Photos", "Today, 08:42", "2.4 GB", true},
        {"doc.fill", "Home Insurance.pdf", "PDF", "Yesterday", "4.8 MB", false},
        {"film.fill", "Birthday Video.mp4", "Video", "Aug 05, 2026", "842 MB", false},
        {"folder.fill", "Important Documents", "Folder", "Aug 02, 2026", "128 MB", false},
        {"archivebox.fill", "Travel Receipts.zip", "Archive", "Jul 29, 2026", "76 MB", false},
    };
    for (const Row& row : rows) {
        recentColumn->addWidget(makeRule(border));
        recentColumn->addWidget(fileRow(QString::fromUtf8(row.icon), QString::fromUtf8(row.name),
                                        QString::fromUtf8(row.type), QString::fromUtf8(row.modified),
                                        QString::fromUtf8(row.size), row.isNew));
    }
    column->addWidget(recent);

    // 5. Upgrade banner.
    auto* banner = new QFrame;
    styleBox(banner, QStringLiteral("upgradeBanner"),
             gradientCss(evenStops({colorFromHex(0x2D1164), colorFromHex(0x7E1D86), colorFromHex(0xC026D3)})),
             Qt::transparent, 22);
    auto* bannerRow = new QHBoxLayout(banner);
    bannerRow->setContentsMargins(28, 22, 28, 22);
    auto* bannerText = new QVBoxLayout;
    bannerText->setSpacing(4);
    bannerText->addWidget(
        makeLabel(QStringLiteral("ORLAVANT PLUS"), uiFont(11, QFont::Bold), colorFromHex(0xFDA4AF)));
    bannerText->addWidget(
        makeLabel(QStringLiteral("More space for every memory."), uiFont(20, QFont::Bold), white));
    bannerRow->addLayout(bannerText, 1);
    auto* plans = new GradientButton(QStringLiteral("View plans"));
    plans->setObjectName(QStringLiteral("viewPlansButton"));
    plans->setBackground(evenStops({white, white}));
    plans->setTextColor(ink);
    plans->setCornerRadius(12);
    plans->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    plans->setFixedHeight(40);
    bannerRow->addWidget(plans, 0, Qt::AlignVCenter);
    column->addWidget(banner);
    column->addStretch();
}

QWidget* DashboardView::statCard(const QString& icon, const QColor& color, const QString& title,
                                 const QString& value, const QString& subtitle) {
    auto* card = panel(QStringLiteral("statCard"));
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(4);
    auto* square = makeCard(QStringLiteral("statIconSquare"), soft, Qt::transparent, 12);
    square->setFixedSize(44, 44);
    auto* squareLayout = new QVBoxLayout(square);
    squareLayout->setContentsMargins(0, 0, 0, 0);
    squareLayout->addWidget(new SymbolLabel(icon, color, 20), 0, Qt::AlignCenter);
    layout->addWidget(square);
    layout->addSpacing(10);
    layout->addWidget(makeLabel(title, uiFont(12), muted));
    layout->addWidget(makeLabel(value, uiFont(22, QFont::Bold), ink));
    layout->addWidget(makeLabel(subtitle, uiFont(11), muted));
    return card;
}

QWidget* DashboardView::quickFolder(const QString& icon, const QString& title, const QString& size) {
    auto* tile = makeCard(QStringLiteral("quickFolder"), bg, border, 14);
    auto* layout = new QVBoxLayout(tile);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(4);
    layout->addWidget(makeLabel(icon, uiFont(26), ink));
    layout->addSpacing(4);
    layout->addWidget(makeLabel(title, uiFont(13, QFont::Bold), ink));
    layout->addWidget(makeLabel(size, uiFont(11), muted));
    return tile;
}

QWidget* DashboardView::fileRow(const QString& icon, const QString& name, const QString& type,
                                const QString& modified, const QString& size, bool isNew) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 11, 0, 11);
    layout->setSpacing(0);
    auto* nameCell = new QHBoxLayout;
    nameCell->setSpacing(10);
    nameCell->addWidget(new SymbolLabel(icon, purple, 16));
    nameCell->addWidget(makeLabel(name, uiFont(13, QFont::Bold), ink), 1);
    layout->addLayout(nameCell, 1);
    auto* typeLabel = makeLabel(type, uiFont(13), muted);
    typeLabel->setFixedWidth(TypeColumnWidth);
    layout->addWidget(typeLabel);
    auto* modifiedLabel =
        makeLabel(modified, uiFont(13, isNew ? QFont::Bold : QFont::Normal), isNew ? ink : muted);
    modifiedLabel->setFixedWidth(ModifiedColumnWidth);
    layout->addWidget(modifiedLabel);
    auto* sizeLabel = makeLabel(size, uiFont(13), ink);
    sizeLabel->setFixedWidth(SizeColumnWidth);
    layout->addWidget(sizeLabel);
    auto* more = makeLabel(Ellipsis, uiFont(13), muted);
    more->setFixedWidth(MoreColumnWidth);
    layout->addWidget(more);
    return row;
}

QWidget* DashboardView::sectionHeader(const QString& title, const QString& objectName,
                                      std::function<void()> action) {
    auto* header = new QWidget;
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(makeLabel(title, uiFont(15, QFont::Bold), ink));
    layout->addStretch();
    auto* viewAll = new QPushButton(QStringLiteral("View all"));
    viewAll->setObjectName(objectName);
    viewAll->setFlat(true);
    viewAll->setCursor(Qt::PointingHandCursor);
    viewAll->setFont(uiFont(12, QFont::DemiBold));
    viewAll->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; border: none; background: transparent; padding: 0; }")
            .arg(css(purple)));
    connect(viewAll, &QPushButton::clicked, this, [action] { action(); });
    layout->addWidget(viewAll);
    return header;
}
