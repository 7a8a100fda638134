#include "ui/FileBrowserView.h"

#include "platform/Dialogs.h"
#include "ui/Async.h"
#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"
#include "vault/SupabaseClient.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <limits>

using namespace OrlavantTheme;

namespace {

const char* const DownloadSpinnerName = "downloadSpinner";

QPushButton* borderedButton(const QString& symbol, const QString& text) {
    auto* button = new QPushButton(QIcon(Icons::tinted(symbol, ink, 14, 2.0)), text);
    button->setCursor(Qt::PointingHandCursor);
    button->setFont(uiFont(12, QFont::Medium));
    button->setStyleSheet(
        QStringLiteral("QPushButton { background: white; color: %1; border: 1px solid %2; "
                       "border-radius: 6px; padding: 4px 10px; }"
                       "QPushButton:disabled { color: %3; }"
                       "QPushButton:pressed { background: %4; }")
            .arg(css(ink), css(colorFromHex(0x000000, 0.18)), css(colorFromHex(0x000000, 0.3)), css(soft)));
    return button;
}

QWidget* banner(const QString& name, const QColor& tint) {
    auto* frame = new QFrame;
    styleCard(frame, name, tint, Qt::transparent, 0);
    return frame;
}

// The three texts of the empty view and the loading view.
QWidget* centredColumn(QWidget* top, const QStringList& texts) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addStretch(1);
    layout->addWidget(top, 0, Qt::AlignHCenter);
    layout->addSpacing(8);
    for (qsizetype i = 0; i < texts.size(); ++i) {
        auto* label = makeLabel(texts[i], uiFont(i == 0 ? 15 : 12, i == 0 ? QFont::DemiBold : QFont::Normal),
                                i == 0 ? ink : secondary);
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
        layout->addWidget(label);
    }
    layout->addStretch(1);
    return page;
}

} // namespace

FileBrowserView::FileBrowserView(SupabaseClient& supabase, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent)
    , m_supabase(supabase)
    , m_dialogs(dialogs) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, bg);
    setPalette(palette);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // Top bar: search and Refresh.
    auto* topBar = new QWidget;
    auto* top = new QHBoxLayout(topBar);
    top->setContentsMargins(20, 14, 20, 14);
    top->setSpacing(12);
    auto* searchBox = makeCard(QStringLiteral("fileSearchBox"), white, colorFromHex(0x6E6E73, 0.20), 8);
    auto* searchLayout = new QHBoxLayout(searchBox);
    searchLayout->setContentsMargins(10, 4, 10, 4);
    searchLayout->setSpacing(6);
    searchLayout->addWidget(new SymbolLabel(QStringLiteral("magnifyingglass"), secondary, 14));
    m_searchField = new QLineEdit;
    m_searchField->setObjectName(QStringLiteral("fileSearchField"));
    m_searchField->setFrame(false);
    m_searchField->setFont(uiFont(13));
    m_searchField->setStyleSheet(
        QStringLiteral("QLineEdit { background: transparent; border: none; padding: 4px 0; }"));
    m_searchField->setPlaceholderText(QStringLiteral("Search all files across Mac, Android, and Web..."));
    searchLayout->addWidget(m_searchField, 1);
    top->addWidget(searchBox, 1);
    m_refreshButton = borderedButton(QStringLiteral("arrow.clockwise"), QStringLiteral("Refresh"));
    m_refreshButton->setObjectName(QStringLiteral("refreshButton"));
    top->addWidget(m_refreshButton);
    column->addWidget(topBar);
    column->addWidget(makeRule(colorFromHex(0x000000, 0.1)));

    // Success banner.
    m_successBanner = banner(QStringLiteral("successBanner"), colorFromHex(0x22C55E, 0.12));
    auto* success = new QHBoxLayout(m_successBanner);
    success->setContentsMargins(20, 10, 14, 10);
    success->addWidget(new SymbolLabel(QStringLiteral("checkmark.circle.fill"), green, 16));
    m_successText = makeLabel(QString(), uiFont(13), ink);
    m_successText->setObjectName(QStringLiteral("successText"));
    m_successText->setWordWrap(true);
    success->addWidget(m_successText, 1);
    auto* close =
        new QPushButton(QIcon(Icons::tinted(QStringLiteral("xmark"), secondary, 12, 2.0)), QString());
    close->setObjectName(QStringLiteral("dismissSuccessButton"));
    close->setFlat(true);
    close->setStyleSheet(
        QStringLiteral("QPushButton { border: none; background: transparent; padding: 4px; }"));
    success->addWidget(close);
    column->addWidget(m_successBanner);

    // Error banner.
    m_errorBanner = banner(QStringLiteral("errorBanner"), colorFromHex(0xEF4444, 0.12));
    auto* error = new QHBoxLayout(m_errorBanner);
    error->setContentsMargins(20, 10, 14, 10);
    error->addWidget(new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"), red, 16));
    m_errorText = makeLabel(QString(), uiFont(13), ink);
    m_errorText->setObjectName(QStringLiteral("errorText"));
    m_errorText->setWordWrap(true);
    error->addWidget(m_errorText, 1);
    auto* retry = new QPushButton(QStringLiteral("Retry"));
    retry->setObjectName(QStringLiteral("retryButton"));
    retry->setFont(uiFont(11, QFont::Bold));
    retry->setCursor(Qt::PointingHandCursor);
    retry->setStyleSheet(QStringLiteral("QPushButton { background: white; color: %1; border: 1px solid %2; "
                                        "border-radius: 5px; padding: 3px 10px; }")
                             .arg(css(ink), css(colorFromHex(0x000000, 0.18))));
    error->addWidget(retry);
    column->addWidget(m_errorBanner);

    // Main area: loading, list or empty.
    m_mainArea = new QStackedWidget;
    m_mainArea->setObjectName(QStringLiteral("mainArea"));
    auto* loadingSpinner = new Spinner(secondary, 28);
    m_mainArea->addWidget(
        centredColumn(loadingSpinner, {QStringLiteral("Fetching cloud files from Supabase...")}));

    auto* scroll = makeScrollArea();
    auto* listHolder = new QWidget;
    listHolder->setObjectName(QStringLiteral("fileListHolder"));
    listHolder->setStyleSheet(QStringLiteral("QWidget#fileListHolder { background: %1; }").arg(css(bg)));
    auto* holderLayout = new QVBoxLayout(listHolder);
    holderLayout->setContentsMargins(20, 16, 20, 16);
    auto* listCard = makeCard(QStringLiteral("fileList"), white, border, 12);
    m_rowsLayout = new QVBoxLayout(listCard);
    m_rowsLayout->setContentsMargins(12, 6, 12, 6);
    m_rowsLayout->setSpacing(0);
    holderLayout->addWidget(listCard);
    holderLayout->addStretch(1);
    scroll->setWidget(listHolder);
    m_listPage = scroll;
    m_mainArea->addWidget(m_listPage);

    m_mainArea->addWidget(
        centredColumn(new SymbolLabel(QStringLiteral("tray"), secondary, 44),
                      {QStringLiteral("No files found in your cloud vault"),
                       QStringLiteral("Files uploaded from your Mac, Android, or Web browser "
                                      "will appear here.")}));
    column->addWidget(m_mainArea, 1);

    connect(m_searchField, &QLineEdit::textChanged, this, &FileBrowserView::setSearchQuery);
    connect(m_refreshButton, &QPushButton::clicked, this, &FileBrowserView::loadFiles);
    connect(retry, &QPushButton::clicked, this, &FileBrowserView::loadFiles);
    connect(close, &QPushButton::clicked, this, &FileBrowserView::dismissSuccessBanner);
    rebuildRows();
    refreshState();
}

FileBrowserView::~FileBrowserView() = default;

QString FileBrowserView::iconForMime(const QString& mimeType) {
    static const std::pair<QLatin1StringView, QLatin1StringView> table[] = {
        {QLatin1StringView("image"), QLatin1StringView("photo.fill")},
        {QLatin1StringView("video"), QLatin1StringView("film.fill")},
        {QLatin1StringView("audio"), QLatin1StringView("music.note")},
        {QLatin1StringView("pdf"), QLatin1StringView("doc.richtext.fill")},
        {QLatin1StringView("zip"), QLatin1StringView("doc.zipper")},
        {QLatin1StringView("tar"), QLatin1StringView("doc.zipper")},
        {QLatin1StringView("compress"), QLatin1StringView("doc.zipper")},
    };
    for (const auto& [key, icon] : table) {
        if (mimeType.contains(key, Qt::CaseSensitive))
            return icon;
    }
    return QStringLiteral("doc.fill");
}

QString FileBrowserView::deviceIcon(const QString& deviceType) {
    const QString type = deviceType.toLower();
    if (type == QLatin1StringView("mac"))
        return QStringLiteral("laptopcomputer");
    if (type == QLatin1StringView("android"))
        return QStringLiteral("candybarphone");
    if (type == QLatin1StringView("web"))
        return QStringLiteral("globe");
    return QStringLiteral("externaldrive");
}

QString FileBrowserView::formatFileSize(qint64 bytes) {
    const QLocale locale;
    // A negative count (a corrupt row) is shown as such rather than as a huge number.
    if (bytes < 0 && bytes != std::numeric_limits<qint64>::min())
        return QStringLiteral("-") + locale.formattedDataSize(-bytes, 1, QLocale::DataSizeSIFormat);
    return locale.formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QList<SupabaseFileRecord> FileBrowserView::filterFiles(const QList<SupabaseFileRecord>& files,
                                                       const QString& query) {
    if (query.isEmpty())
        return files;
    // Case folding per the user's locale, like a localized case-insensitive "contains".
    const QLocale locale;
    const QString needle = locale.toLower(query);
    QList<SupabaseFileRecord> matching;
    for (const SupabaseFileRecord& file : files) {
        if (locale.toLower(file.originalFilename).contains(needle) ||
            locale.toLower(file.deviceName).contains(needle) ||
            locale.toLower(file.deviceType).contains(needle))
            matching.append(file);
    }
    return matching;
}

void FileBrowserView::setSearchQuery(const QString& query) {
    if (query == m_searchQuery)
        return;
    m_searchQuery = query;
    if (m_searchField->text() != query)
        m_searchField->setText(query);
    rebuildRows();
    refreshState();
}

FileBrowserView::MainArea FileBrowserView::mainArea() const {
    if (isLoading() && m_files.isEmpty())
        return MainArea::Loading;
    if (!filteredFiles().isEmpty())
        return MainArea::List;
    return MainArea::Empty;
}

void FileBrowserView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Each showing reads the list afresh; a window coming back from the task bar is no showing.
    if (!event->spontaneous())
        loadFiles();
}

void FileBrowserView::loadFiles() {
    const quint64 generation = ++m_loadGeneration;
    ++m_activeLoads;
    m_errorMessage.reset();
    refreshState();
    continueOnMain(
        m_supabase.fetchAllUserFiles(), this,
        [this, generation](const QList<SupabaseFileRecord>& files) {
            --m_activeLoads;
            // An older request answering after a newer one was sent must not bring back an
            // older list.
            if (generation == m_loadGeneration) {
                m_files = files;
                rebuildRows();
            }
            refreshState();
            Q_EMIT loadFinished();
        },
        [this, generation](const QString& error) {
            --m_activeLoads;
            if (generation == m_loadGeneration)
                m_errorMessage = QStringLiteral("Failed to load files: ") + error;
            refreshState();
            Q_EMIT loadFinished();
        });
}

void FileBrowserView::downloadFileWithSavePanel(const SupabaseFileRecord& file) {
    Dialogs::SaveOptions options;
    options.title = QStringLiteral("Download from Orlavant Vault");
    options.message = QStringLiteral("Choose where to save '") + file.originalFilename + QStringLiteral("'");
    options.prompt = QStringLiteral("Save File");
    options.suggestedName = file.originalFilename;
    options.directory = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const std::optional<QString> destination = m_dialogs.save(options);
    if (!destination || destination->isEmpty())
        return;

    const QString id = file.id;
    const QString name = file.originalFilename;
    const QString savedAs = QFileInfo(*destination).fileName();
    m_downloadingIds.insert(id);
    m_downloadSuccessMessage.reset();
    refreshRowButtons();
    refreshState();
    continueOnMain(
        m_supabase.downloadFile(file.filePath, *destination), this,
        [this, id, name, savedAs](bool stored) {
            m_downloadingIds.remove(id);
            if (stored)
                m_downloadSuccessMessage =
                    QStringLiteral("Successfully downloaded '") + name + QStringLiteral("' to ") + savedAs;
            else
                m_errorMessage = QStringLiteral("Failed to download '") + name + QStringLiteral("'");
            refreshRowButtons();
            refreshState();
            Q_EMIT downloadFinished(id);
        },
        [this, id](const QString& error) {
            m_downloadingIds.remove(id);
            m_errorMessage = QStringLiteral("Download error: ") + error;
            refreshRowButtons();
            refreshState();
            Q_EMIT downloadFinished(id);
        });
}

void FileBrowserView::dismissSuccessBanner() {
    m_downloadSuccessMessage.reset();
    refreshState();
}

void FileBrowserView::refreshState() {
    m_refreshButton->setEnabled(!isLoading());
    m_successBanner->setVisible(m_downloadSuccessMessage.has_value());
    m_successText->setText(m_downloadSuccessMessage.value_or(QString()));
    m_errorBanner->setVisible(m_errorMessage.has_value());
    m_errorText->setText(m_errorMessage.value_or(QString()));
    m_mainArea->setCurrentIndex(int(mainArea()));
}

void FileBrowserView::rebuildRows() {
    m_downloadButtons.clear();
    while (QLayoutItem* item = m_rowsLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QList<SupabaseFileRecord> rows = filteredFiles();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (i > 0)
            m_rowsLayout->addWidget(makeRule(colorFromHex(0x000000, 0.08)));
        m_rowsLayout->addWidget(buildRow(rows[i]));
    }
    refreshRowButtons();
}

QWidget* FileBrowserView::buildRow(const SupabaseFileRecord& file) {
    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("fileRow"));
    row->setProperty("fileId", file.id);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(4, 8, 4, 8);
    layout->setSpacing(12);

    auto* icon = new SymbolLabel(iconForMime(file.mimeType), colorFromHex(0x8B5CF6, 1.0), 22);
    icon->setObjectName(QStringLiteral("fileTypeIcon"));
    icon->setFixedSize(32, 32);
    layout->addWidget(icon);

    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    auto* name = makeLabel(file.originalFilename, uiFont(13, QFont::Medium), ink);
    name->setObjectName(QStringLiteral("fileName"));
    names->addWidget(name);
    if (file.folderPath && !file.folderPath->isEmpty()) {
        auto* folder = makeLabel(*file.folderPath, uiFont(11), secondary);
        folder->setObjectName(QStringLiteral("folderPath"));
        names->addWidget(folder);
    }
    layout->addLayout(names, 1);

    auto* badge = makeCard(QStringLiteral("deviceBadge"), colorFromHex(0x6E6E73, 0.12), Qt::transparent, 6);
    auto* badgeLayout = new QHBoxLayout(badge);
    badgeLayout->setContentsMargins(7, 3, 8, 3);
    badgeLayout->setSpacing(4);
    auto* deviceSymbol = new SymbolLabel(deviceIcon(file.deviceType), secondary, 12);
    deviceSymbol->setObjectName(QStringLiteral("deviceIcon"));
    badgeLayout->addWidget(deviceSymbol);
    auto* deviceName = makeLabel(file.deviceName, uiFont(11, QFont::DemiBold), secondary);
    deviceName->setObjectName(QStringLiteral("deviceName"));
    badgeLayout->addWidget(deviceName);
    badge->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    layout->addWidget(badge, 0, Qt::AlignVCenter);

    auto* size = makeLabel(formatFileSize(file.fileSize), uiFont(11), secondary);
    size->setObjectName(QStringLiteral("fileSize"));
    size->setFixedWidth(80);
    size->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(size);

    auto* download = borderedButton(QStringLiteral("arrow.down.circle"), QStringLiteral("Download"));
    download->setObjectName(QStringLiteral("downloadButton"));
    download->setToolTip(QStringLiteral("Save this file locally using NSSavePanel"));
    download->setMinimumWidth(104);
    auto* spinner = new Spinner(secondary, 14);
    spinner->setObjectName(QString::fromLatin1(DownloadSpinnerName));
    spinner->hide();
    auto* spinnerLayout = new QHBoxLayout(download);
    spinnerLayout->setContentsMargins(0, 0, 0, 0);
    spinnerLayout->addWidget(spinner, 0, Qt::AlignCenter);
    const SupabaseFileRecord record = file;
    connect(download, &QPushButton::clicked, this, [this, record] { downloadFileWithSavePanel(record); });
    layout->addWidget(download);
    m_downloadButtons[file.id].append(download);
    return row;
}

void FileBrowserView::refreshRowButtons() {
    for (auto it = m_downloadButtons.cbegin(); it != m_downloadButtons.cend(); ++it) {
        const bool busy = m_downloadingIds.contains(it.key());
        for (QPushButton* button : it.value()) {
            button->setEnabled(!busy);
            button->setText(busy ? QString() : QStringLiteral("Download"));
            button->setIcon(busy ? QIcon()
                                 : QIcon(Icons::tinted(QStringLiteral("arrow.down.circle"), ink, 14, 2.0)));
            button->findChild<Spinner*>(QString::fromLatin1(DownloadSpinnerName))->setVisible(busy);
        }
    }
}
