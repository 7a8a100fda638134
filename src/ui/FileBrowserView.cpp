#include "ui/FileBrowserView.h"

#include "platform/Dialogs.h"
#include "ui/Async.h"
#include "ui/Controls.h"
#include "ui/FileFilterProxyModel.h"
#include "ui/FileListModel.h"
#include "ui/FileListView.h"
#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"
#include "vault/SupabaseClient.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <limits>

using namespace OrlavantTheme;

namespace {

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

// The loading view and the empty view: a symbol or spinner over a title and, smaller, a detail.
// Each text comes with its object name.
QWidget* centredColumn(const QString& name, QWidget* top, const QList<std::pair<QString, QString>>& texts) {
    auto* page = new QWidget;
    page->setObjectName(name);
    auto* layout = new QVBoxLayout(page);
    layout->addStretch(1);
    layout->addWidget(top, 0, Qt::AlignHCenter);
    layout->addSpacing(8);
    for (qsizetype i = 0; i < texts.size(); ++i) {
        auto* label =
            makeLabel(texts[i].second, uiFont(i == 0 ? 15 : 12, i == 0 ? QFont::DemiBold : QFont::Normal),
                      i == 0 ? ink : secondary);
        label->setObjectName(texts[i].first);
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
    , m_dialogs(dialogs)
    , m_model(new FileListModel(this))
    , m_proxy(new FileFilterProxyModel(*m_model, this)) {
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
    m_mainArea->addWidget(centredColumn(
        QStringLiteral("loadingView"), loadingSpinner,
        {{QStringLiteral("loadingText"), QStringLiteral("Fetching cloud files from Supabase...")}}));

    auto* listPage = new QFrame;
    styleCard(listPage, QStringLiteral("fileListPage"), bg, Qt::transparent, 0);
    auto* pageLayout = new QVBoxLayout(listPage);
    pageLayout->setContentsMargins(20, 16, 20, 16);
    auto* listCard = makeCard(QStringLiteral("fileList"), white, border, 12);
    auto* cardLayout = new QVBoxLayout(listCard);
    cardLayout->setContentsMargins(12, 6, 12, 6);
    m_list = new FileListView(*m_proxy);
    m_list->setObjectName(QStringLiteral("fileListView"));
    cardLayout->addWidget(m_list);
    pageLayout->addWidget(listCard);
    pageLayout->addStretch(1);
    m_mainArea->addWidget(listPage);

    m_mainArea->addWidget(centredColumn(
        QStringLiteral("emptyView"), new SymbolLabel(QStringLiteral("tray"), secondary, 44),
        {{QStringLiteral("emptyTitle"), QStringLiteral("No files found in your cloud vault")},
         {QStringLiteral("emptyDetail"),
          QStringLiteral("Files uploaded from your Mac, Android, or Web browser will appear here.")}}));
    column->addWidget(m_mainArea, 1);

    connect(m_searchField, &QLineEdit::textChanged, this, &FileBrowserView::setSearchQuery);
    connect(m_refreshButton, &QPushButton::clicked, this, &FileBrowserView::loadFiles);
    connect(retry, &QPushButton::clicked, this, &FileBrowserView::loadFiles);
    connect(close, &QPushButton::clicked, this, &FileBrowserView::dismissSuccessBanner);
    connect(m_proxy, &FileFilterProxyModel::filterApplied, this, &FileBrowserView::refreshState);
    connect(m_list, &FileListView::downloadRequested, this, &FileBrowserView::downloadShownRow);

    // Keyboard: Ctrl+F to the search field, Escape clears it, Down goes on into the list.
    auto* find = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this);
    find->setContext(Qt::WidgetWithChildrenShortcut);
    connect(find, &QShortcut::activated, this, [this] {
        m_searchField->setFocus(Qt::ShortcutFocusReason);
        m_searchField->selectAll();
    });
    auto* clear = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    clear->setContext(Qt::WidgetWithChildrenShortcut);
    connect(clear, &QShortcut::activated, this, [this] { setSearchQuery(QString()); });
    m_searchField->installEventFilter(this);

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
    // A negative count (a corrupt row) is shown as such rather than as a huge number; the
    // smallest one has no positive twin, and one byte less is the same text.
    if (bytes < 0)
        return QLatin1Char('-') +
               formatFileSize(bytes == std::numeric_limits<qint64>::min() ? -(bytes + 1) : -bytes);
    if (bytes == 1)
        return QStringLiteral("1 byte");
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QList<SupabaseFileRecord> FileBrowserView::filteredFiles() const {
    QList<SupabaseFileRecord> shown;
    shown.reserve(m_proxy->shownSourceRows().size());
    for (int row : m_proxy->shownSourceRows())
        shown.append(m_model->row(row).record);
    return shown;
}

bool FileBrowserView::isFiltering() const {
    return m_proxy->isFiltering();
}

bool FileBrowserView::isDownloading(const QString& fileId) const {
    return m_model->isDownloading(fileId);
}

void FileBrowserView::setSearchQuery(const QString& query) {
    if (query == m_searchQuery)
        return;
    m_searchQuery = query;
    if (m_searchField->text() != query)
        m_searchField->setText(query);
    m_proxy->setFilterQuery(query);
    refreshState();
}

FileBrowserView::MainArea FileBrowserView::mainArea() const {
    return MainArea(m_mainArea->currentIndex());
}

void FileBrowserView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Each showing reads the list afresh; a window coming back from the task bar is no showing.
    if (!event->spontaneous())
        loadFiles();
}

bool FileBrowserView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_searchField && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down && m_proxy->rowCount() > 0) {
        m_list->setFocus(Qt::TabFocusReason);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void FileBrowserView::loadFiles() {
    const quint64 generation = ++m_loadGeneration;
    ++m_activeLoads;
    m_errorMessage.reset();
    refreshState();
    // The listing is decoded on the client's pool; its display texts and search keys are worked
    // out on a worker as well, so the main thread only swaps the finished rows in.
    using Prepared = std::pair<QList<SupabaseFileRecord>, FileListModel::RowsPtr>;
    QFuture<Prepared> prepared = m_supabase.fetchAllUserFiles().then(
        QtFuture::Launch::Async, [](const QList<SupabaseFileRecord>& files) {
            return Prepared(files, FileListModel::prepare(files));
        });
    continueOnMain(
        prepared, this,
        [this, generation](const Prepared& answer) {
            --m_activeLoads;
            // An older request answering after a newer one was sent must not bring back an
            // older list.
            if (generation == m_loadGeneration) {
                m_files = answer.first;
                m_proxy->setSourceRows(answer.second);
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

void FileBrowserView::downloadShownRow(const QModelIndex& index) {
    const QModelIndex source = m_proxy->mapToSource(index);
    if (!source.isValid())
        return;
    // A copy: while the save dialog is open a refresh may replace the rows, and the download
    // must still be of the file that was clicked.
    const SupabaseFileRecord file = m_model->row(source.row()).record;
    if (m_model->isDownloading(file.id))
        return;
    downloadFileWithSavePanel(file);
}

void FileBrowserView::downloadFileWithSavePanel(const SupabaseFileRecord& file) {
    const QString id = file.id;
    const QString name = file.originalFilename;
    const QString filePath = file.filePath;
    Dialogs::SaveOptions options;
    options.title = QStringLiteral("Download from Orlavant Vault");
    options.message = QStringLiteral("Choose where to save '") + name + QStringLiteral("'");
    options.prompt = QStringLiteral("Save File");
    options.suggestedName = name;
    options.directory = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const std::optional<QString> destination = m_dialogs.save(options);
    if (!destination || destination->isEmpty())
        return;

    const QString savedAs = QFileInfo(*destination).fileName();
    m_model->setDownloading(id, true);
    m_downloadSuccessMessage.reset();
    refreshState();
    continueOnMain(
        m_supabase.downloadFile(filePath, *destination), this,
        [this, id, name, savedAs](bool stored) {
            m_model->setDownloading(id, false);
            if (stored)
                m_downloadSuccessMessage =
                    QStringLiteral("Successfully downloaded '") + name + QStringLiteral("' to ") + savedAs;
            else
                m_errorMessage = QStringLiteral("Failed to download '") + name + QStringLiteral("'");
            refreshState();
            Q_EMIT downloadFinished(id);
        },
        [this, id](const QString& error) {
            m_model->setDownloading(id, false);
            m_errorMessage = QStringLiteral("Download error: ") + error;
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
    // While the search catches up, the page shown stays: no flash of "No files found" between a
    // listing's arrival and its filtered rows.
    if (!m_proxy->isFiltering()) {
        const MainArea area = isLoading() && m_files.isEmpty() ? MainArea::Loading
                              : m_proxy->rowCount() > 0        ? MainArea::List
                                                               : MainArea::Empty;
        m_mainArea->setCurrentIndex(int(area));
    }
    m_list->setAnimating(m_model->hasDownloads());
}
