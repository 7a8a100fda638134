#include "ui/FolderSyncView.h"

#include "sync/FolderSyncManager.h"
#include "ui/ActivityRowDelegate.h"
#include "ui/Controls.h"
#include "ui/FileBrowserView.h"
#include "ui/Icons.h"
#include "ui/MetricCard.h"
#include "ui/OrlavantTheme.h"
#include "vault/SupabaseClient.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

using namespace OrlavantTheme;

FolderSyncView::FolderSyncView(FolderSyncManager& syncManager, SupabaseClient& supabase, QWidget* parent)
    : QWidget(parent)
    , m_syncManager(syncManager)
    , m_supabase(supabase) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, bg);
    setPalette(palette);

    auto* column = makeScrollingPage(this, QStringLiteral("folderSyncPage"), 24);

    auto* card = makeCard(QStringLiteral("syncCard"), white, border, 16);
    addShadow(card, QColor(0, 0, 0, 14), 16, 4, 16);
    auto* main = new QVBoxLayout(card);
    main->setContentsMargins(22, 20, 22, 22);
    main->setSpacing(16);

    // Header with the status pill.
    auto* header = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    titles->addWidget(makeLabel(QStringLiteral("Cloud Folder Sync Engine"), uiFont(18, QFont::Bold), ink));
    titles->addWidget(
        makeLabel(QStringLiteral("Continuous background deduplication & cloud sync"), uiFont(13), secondary));
    header->addLayout(titles, 1);
    m_pill = new QFrame;
    auto* pillLayout = new QHBoxLayout(m_pill);
    pillLayout->setContentsMargins(10, 5, 12, 5);
    pillLayout->setSpacing(6);
    m_pillDot = new QFrame;
    m_pillDot->setFixedSize(8, 8);
    pillLayout->addWidget(m_pillDot, 0, Qt::AlignVCenter);
    m_pillText = makeLabel(QString(), uiFont(12, QFont::DemiBold), ink);
    m_pillText->setObjectName(QStringLiteral("statusPillText"));
    pillLayout->addWidget(m_pillText);
    header->addWidget(m_pill, 0, Qt::AlignVCenter);
    main->addLayout(header);
    main->addWidget(makeRule(border));

    // Folder section.
    auto* folder = new QHBoxLayout;
    folder->setSpacing(14);
    m_folderIcon = new SymbolLabel(QString(), secondary, 24);
    m_folderIcon->setObjectName(QStringLiteral("folderIcon"));
    folder->addWidget(m_folderIcon);
    auto* folderTexts = new QVBoxLayout;
    folderTexts->setSpacing(3);
    folderTexts->addWidget(makeLabel(QStringLiteral("CURRENTLY SYNCED DIRECTORY (ABSOLUTE PATH):"),
                                     uiFont(11, QFont::DemiBold), secondary));
    m_folderPath = makeLabel(QString(), monospaceFont(13), ink);
    m_folderPath->setObjectName(QStringLiteral("folderPath"));
    m_folderPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_folderPath->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    folderTexts->addWidget(m_folderPath);
    folder->addLayout(folderTexts, 1);
    auto* change =
        new QPushButton(QIcon(Icons::tinted(QStringLiteral("arrow.triangle.2.circlepath"), ink, 14, 2.0)),
                        QStringLiteral("Change Folder"));
    change->setObjectName(QStringLiteral("changeFolderButton"));
    change->setToolTip(
        QStringLiteral("Select a new folder to sync. Halts active uploads and resets sync state."));
    change->setCursor(Qt::PointingHandCursor);
    change->setStyleSheet(QStringLiteral("QPushButton { background: white; color: %1; border: 1px solid %2; "
                                         "border-radius: 6px; padding: 5px 12px; }"
                                         "QPushButton:pressed { background: %3; }")
                              .arg(css(ink), css(colorFromHex(0x000000, 0.18)), css(soft)));
    folder->addWidget(change);
    main->addLayout(folder);
    main->addWidget(makeRule(border));

    // Status row.
    auto* status = new QHBoxLayout;
    status->setSpacing(8);
    m_spinner = new Spinner(purple, 14);
    m_spinner->setObjectName(QStringLiteral("syncSpinner"));
    status->addWidget(m_spinner);
    m_infoIcon = new SymbolLabel(QStringLiteral("info.circle"), secondary, 14);
    m_infoIcon->setObjectName(QStringLiteral("infoIcon"));
    status->addWidget(m_infoIcon);
    m_statusText = makeLabel(QString(), uiFont(13), ink);
    m_statusText->setObjectName(QStringLiteral("syncStatusText"));
    m_statusText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    status->addWidget(m_statusText, 1);
    m_lastScan = makeLabel(QString(), uiFont(11), secondary);
    m_lastScan->setObjectName(QStringLiteral("lastScanText"));
    status->addWidget(m_lastScan);
    main->addLayout(status);

    // Progress of the running pass, under the status text (which it leaves as it is).
    m_progress = new QWidget;
    m_progress->setObjectName(QStringLiteral("syncProgress"));
    auto* progress = new QVBoxLayout(m_progress);
    progress->setContentsMargins(22, 0, 0, 0); // in line with the status text
    progress->setSpacing(6);
    m_progressBar = new QProgressBar;
    m_progressBar->setObjectName(QStringLiteral("syncProgressBar"));
    m_progressBar->setRange(0, 1000);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedHeight(6);
    m_progressBar->setStyleSheet(
        QStringLiteral("QProgressBar { background: %1; border: none; border-radius: 3px; }"
                       "QProgressBar::chunk { background: %2; border-radius: 3px; }")
            .arg(css(soft), brandGradientCss()));
    progress->addWidget(m_progressBar);
    m_progressText = makeLabel(QString(), uiFont(11), secondary);
    m_progressText->setObjectName(QStringLiteral("syncProgressText"));
    progress->addWidget(m_progressText);
    main->addWidget(m_progress);

    // Start and Stop, equally wide.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    const QColor grey30 = colorFromHex(0x8E8E93, 0.30);
    m_start = new GradientButton(QStringLiteral("Start Sync"));
    m_start->setObjectName(QStringLiteral("startSyncButton"));
    m_start->setSymbol(QStringLiteral("play.fill"));
    m_start->setDisabledBackground({{0.0, grey30}, {1.0, grey30}});
    m_start->setToolTip(
        QStringLiteral("Begin or resume automatic file monitoring and background cloud upload"));
    m_start->setFixedHeight(42);
    buttons->addWidget(m_start, 1);
    m_stop = new GradientButton(QStringLiteral("Stop Sync"));
    m_stop->setObjectName(QStringLiteral("stopSyncButton"));
    m_stop->setSymbol(QStringLiteral("stop.fill"));
    m_stop->setBackground(evenStops({red, red}));
    const QColor grey20 = colorFromHex(0x8E8E93, 0.20);
    m_stop->setDisabledBackground({{0.0, grey20}, {1.0, grey20}});
    m_stop->setToolTip(QStringLiteral("Immediately halt upload threads and pause cloud synchronization"));
    m_stop->setFixedHeight(42);
    buttons->addWidget(m_stop, 1);
    main->addLayout(buttons);
    column->addWidget(card);

    // Metrics.
    auto* metrics = new QHBoxLayout;
    metrics->setSpacing(16);
    m_filesInVault = new MetricCard(QStringLiteral("Files in Vault"), QString(),
                                    QStringLiteral("icloud.and.arrow.up.fill"), purple);
    m_deduplicated = new MetricCard(QStringLiteral("Deduplicated (Skipped)"), QString(),
                                    QStringLiteral("doc.on.doc.fill"), orange);
    auto* vault = new MetricCard(QStringLiteral("Cloud Vault"), QStringLiteral("Orlavant Sovereign"),
                                 QStringLiteral("externaldrive.badge.checkmark"), blue);
    metrics->addWidget(m_filesInVault, 1);
    metrics->addWidget(m_deduplicated, 1);
    metrics->addWidget(vault, 1);
    column->addLayout(metrics);
    column->addWidget(buildActivityCard());
    column->addStretch(1);

    connect(change, &QPushButton::clicked, &m_syncManager, &FolderSyncManager::promptChooseFolder);
    connect(m_start, &QAbstractButton::clicked, &m_syncManager, &FolderSyncManager::startSync);
    connect(m_stop, &QAbstractButton::clicked, &m_syncManager, &FolderSyncManager::stopSync);
    for (auto signal :
         {&FolderSyncManager::watchedFolderPathChanged, &FolderSyncManager::isSyncingChanged,
          &FolderSyncManager::isSyncStoppedChanged, &FolderSyncManager::syncStatusMessageChanged,
          &FolderSyncManager::lastSyncTimeChanged})
        connect(&m_syncManager, signal, this, &FolderSyncView::refresh);
    // The counters change with every file a pass finishes: only their own tiles follow them.
    connect(&m_syncManager, &FolderSyncManager::totalSyncedCountChanged, this, &FolderSyncView::showCounts);
    connect(&m_syncManager, &FolderSyncManager::deduplicatedCountChanged, this, &FolderSyncView::showCounts);
    connect(&m_supabase, &SupabaseClient::isAuthenticatedChanged, this, &FolderSyncView::refresh);
    connect(&m_syncManager.progress(), &SyncProgressModel::changed, this, &FolderSyncView::refreshProgress);
    refresh();
    refreshProgress();
}

QWidget* FolderSyncView::buildActivityCard() {
    auto* card = makeCard(QStringLiteral("activityCard"), white, border, 14);
    addShadow(card, QColor(0, 0, 0, 10), 12, 3, 14);
    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(18, 16, 18, 12);
    column->setSpacing(4);
    column->addWidget(makeLabel(QStringLiteral("Activity"), uiFont(15, QFont::Bold), ink));
    column->addWidget(
        makeLabel(QStringLiteral("What became of your files since Orlavant started, newest first"),
                  uiFont(11), secondary));
    column->addSpacing(6);

    SyncActivityModel& activity = m_syncManager.activity();
    m_activityList = new QListView;
    m_activityList->setObjectName(QStringLiteral("activityList"));
    m_activityList->setModel(&activity);
    m_activityList->setItemDelegate(new ActivityRowDelegate(m_activityList));
    m_activityList->setUniformItemSizes(true);
    m_activityList->setSelectionMode(QAbstractItemView::NoSelection);
    m_activityList->setFocusPolicy(Qt::NoFocus);
    m_activityList->setFrameShape(QFrame::NoFrame);
    m_activityList->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_activityList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_activityList->setStyleSheet(scrollAreaCss() + QStringLiteral("QListView { background: transparent; }"));
    column->addWidget(m_activityList);
    m_activityEmpty = makeLabel(QStringLiteral("Nothing synced yet in this session."), uiFont(12), secondary);
    m_activityEmpty->setObjectName(QStringLiteral("activityEmpty"));
    column->addWidget(m_activityEmpty);

    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(&activity, signal, this, &FolderSyncView::refreshActivity);
    connect(&activity, &QAbstractItemModel::modelReset, this, &FolderSyncView::refreshActivity);
    refreshActivity();
    return card;
}

QString FolderSyncView::progressText(const SyncProgressModel& progress) {
    QStringList parts{QStringLiteral("%1 of %2 files").arg(progress.filesDone()).arg(progress.filesTotal()),
                      FileBrowserView::formatFileSize(progress.bytesLeft()) + QStringLiteral(" left")};
    if (const std::optional<double> rate = progress.bytesPerSecond())
        parts.append(FileBrowserView::formatFileSize(qint64(*rate)) + QStringLiteral("/s"));
    return parts.join(QStringLiteral(" \u00B7 "));
}

void FolderSyncView::refreshProgress() {
    const SyncProgressModel& progress = m_syncManager.progress();
    m_progress->setVisible(progress.isActive());
    if (!progress.isActive())
        return;
    m_progressBar->setValue(int(progress.fraction() * m_progressBar->maximum() + 0.5));
    m_progressText->setText(progressText(progress));
}

void FolderSyncView::refreshActivity() {
    const int rows = m_syncManager.activity().rowCount();
    m_activityList->setVisible(rows > 0);
    m_activityEmpty->setVisible(rows == 0);
    m_activityList->setFixedHeight(std::clamp(rows, 1, ActivityRowsShown) * ActivityRowDelegate::RowHeight);
}

QString FolderSyncView::statusIndicatorText() const {
    if (m_syncManager.isSyncing())
        return QStringLiteral("Syncing...");
    if (m_syncManager.isSyncStopped())
        return QStringLiteral("Paused");
    return QStringLiteral("Active & Watching");
}

QColor FolderSyncView::statusIndicatorColor() const {
    if (m_syncManager.isSyncing())
        return purple;
    if (m_syncManager.isSyncStopped())
        return orange;
    return green;
}

bool FolderSyncView::isStartEnabled() const {
    return m_syncManager.isSyncStopped() && m_syncManager.watchedFolderPath().has_value();
}

bool FolderSyncView::isStopEnabled() const {
    return !m_syncManager.isSyncStopped();
}

QString FolderSyncView::mediumTime(const QDateTime& time) {
    // The locale's long time format without its time zone name.
    const QLocale locale;
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*$|^\\s*t+\\s*")));
    return locale.toString(time.toLocalTime().time(), format.trimmed());
}

QString FolderSyncView::lastScanText() const {
    const std::optional<QDateTime> last = m_syncManager.lastSyncTime();
    if (!last)
        return {};
    return QStringLiteral("Last scan: ") + mediumTime(*last);
}

void FolderSyncView::refresh() {
    // A new style sheet polishes the widget and everything in it again: only when the colour changes.
    const QColor color = statusIndicatorColor();
    if (color != m_pillColor) {
        m_pillColor = color;
        QColor tint = color;
        tint.setAlphaF(0.10f);
        styleCard(m_pill, QStringLiteral("statusPill"), tint, Qt::transparent, 12);
        styleCard(m_pillDot, QStringLiteral("statusDot"), color, Qt::transparent, 4);
    }
    m_pillText->setText(statusIndicatorText());

    const std::optional<QString> folder = m_syncManager.watchedFolderPath();
    m_folderIcon->setSymbol(folder ? QStringLiteral("folder.fill")
                                   : QStringLiteral("folder.badge.questionmark"));
    m_folderIcon->setColor(folder ? blue : secondary);
    m_folderPath->setText(folder ? *folder : QStringLiteral("No directory selected yet"));
    m_folderPath->setToolTip(folder.value_or(QString()));

    const bool syncing = m_syncManager.isSyncing();
    m_spinner->setVisible(syncing);
    m_infoIcon->setVisible(!syncing);
    m_statusText->setText(m_syncManager.syncStatusMessage());
    m_statusText->setToolTip(m_syncManager.syncStatusMessage());
    const QString lastScan = lastScanText();
    m_lastScan->setText(lastScan);
    m_lastScan->setVisible(!lastScan.isEmpty());

    m_start->setEnabled(isStartEnabled());
    m_stop->setEnabled(isStopEnabled());
    showCounts();
}

void FolderSyncView::showCounts() {
    m_filesInVault->setValue(QString::number(m_syncManager.totalSyncedCount()));
    m_deduplicated->setValue(QString::number(m_syncManager.deduplicatedCount()));
}
