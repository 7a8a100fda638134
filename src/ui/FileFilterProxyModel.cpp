#include "ui/FileFilterProxyModel.h"

#include "ui/Async.h"

#include <QtConcurrent>
#include <numeric>

FileFilterProxyModel::FileFilterProxyModel(FileListModel& source, QObject* parent)
    : QAbstractProxyModel(parent)
    , m_source(source)
    , m_wantedRows(source.rows()) {
    // One worker: answers come in the order asked, and a stale one is skipped, not raced.
    m_pool.setMaxThreadCount(1);
    QAbstractProxyModel::setSourceModel(&source);
    connect(&source, &QAbstractItemModel::modelAboutToBeReset, this,
            &FileFilterProxyModel::onSourceAboutToBeReset);
    connect(&source, &QAbstractItemModel::modelReset, this, &FileFilterProxyModel::onSourceReset);
    connect(&source, &QAbstractItemModel::dataChanged, this, &FileFilterProxyModel::onSourceDataChanged);
    setShownRows(matchingRows(*m_wantedRows, m_query), m_wantedRows->rows.size());
}

FileFilterProxyModel::~FileFilterProxyModel() {
    // A search still running gives up at its next check; the pool then waits only for that.
    ++*m_generation;
}

QList<int> FileFilterProxyModel::matchingRows(const FileListModel::Rows& rows, const QString& query,
                                              const std::function<bool()>& stop) {
    const qsizetype count = rows.rows.size();
    QList<int> matches;
    if (query.isEmpty()) {
        matches.resize(count);
        std::iota(matches.begin(), matches.end(), 0);
        return matches;
    }
    const QString needle = FileListModel::searchKey(query);
    for (qsizetype i = 0; i < count; ++i) {
        if (stop && i % 512 == 0 && stop())
            break;
        const FileListModel::Row& row = rows.rows.at(i);
        if (row.nameKey.contains(needle) || row.deviceNameKey.contains(needle) ||
            row.deviceTypeKey.contains(needle))
            matches.append(int(i));
    }
    return matches;
}

void FileFilterProxyModel::setFilterQuery(const QString& query) {
    if (query == m_query)
        return;
    m_query = query;
    refilter();
}

void FileFilterProxyModel::setSourceRows(FileListModel::RowsPtr rows) {
    m_wantedRows = rows ? std::move(rows) : std::make_shared<const FileListModel::Rows>();
    refilter();
}

void FileFilterProxyModel::refilter() {
    const quint64 generation = ++*m_generation;
    const FileListModel::RowsPtr rows = m_wantedRows;
    const QString query = m_query;
    // Every row, in order, is no search: the swap need not wait for the worker.
    if (query.isEmpty()) {
        m_pending = false;
        apply(rows, query, matchingRows(*rows, query));
        return;
    }
    m_pending = true;
    const auto current = m_generation;
    QFuture<QList<int>> answer = QtConcurrent::run(&m_pool, [rows, query, current, generation] {
        return matchingRows(*rows, query, [&] { return current->load() != generation; });
    });
    // The answer holds no rows of its own: a stale one must not be what frees a replaced
    // listing on the main thread. Every change of rows or query moves the generation on, so a
    // current answer is for m_wantedRows and m_query.
    continueOnMain(
        answer, this,
        [this, generation](const QList<int>& matches) {
            if (generation != m_generation->load())
                return; // a newer query or newer rows were asked for meanwhile
            m_pending = false;
            apply(m_wantedRows, m_query, matches);
        },
        [this, generation](const QString&) {
            // Matching cannot fail; should the worker ever drop it, the search must still end.
            if (generation != m_generation->load())
                return;
            m_pending = false;
            apply(m_wantedRows, m_query, matchingRows(*m_wantedRows, m_query));
        });
}

void FileFilterProxyModel::apply(const FileListModel::RowsPtr& rows, const QString& query,
                                 QList<int> matches) {
    const bool queryChanged = query != m_shownQuery;
    beginResetModel();
    m_applying = true;
    if (m_source.rows() != rows)
        m_source.setRows(rows);
    m_applying = false;
    setShownRows(std::move(matches), rows->rows.size());
    m_shownQuery = query;
    endResetModel();
    Q_EMIT filterApplied(queryChanged);
}

void FileFilterProxyModel::setShownRows(QList<int> matches, qsizetype sourceRows) {
    m_proxyToSource = std::move(matches);
    m_sourceToProxy.fill(-1, sourceRows);
    for (qsizetype i = 0; i < m_proxyToSource.size(); ++i)
        m_sourceToProxy[m_proxyToSource[i]] = int(i);
}

void FileFilterProxyModel::onSourceAboutToBeReset() {
    if (!m_applying)
        beginResetModel();
}

void FileFilterProxyModel::onSourceReset() {
    if (m_applying)
        return;
    // Rows set on the source directly, not through setSourceRows(): filtered here and now,
    // since the view must never map into rows that are gone.
    ++*m_generation;
    m_pending = false;
    m_wantedRows = m_source.rows();
    setShownRows(matchingRows(*m_wantedRows, m_query), m_wantedRows->rows.size());
    m_shownQuery = m_query;
    endResetModel();
}

void FileFilterProxyModel::onSourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                               const QList<int>& roles) {
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        const int shown = m_sourceToProxy.value(row, -1);
        if (shown >= 0)
            Q_EMIT dataChanged(index(shown, 0), index(shown, 0), roles);
    }
}

int FileFilterProxyModel::proxyRowOf(const QString& id) const {
    int first = -1;
    for (int sourceRow : m_source.rowsOf(id)) {
        const int shown = m_sourceToProxy.value(sourceRow, -1);
        if (shown >= 0 && (first < 0 || shown < first))
            first = shown;
    }
    return first;
}

QModelIndex FileFilterProxyModel::mapToSource(const QModelIndex& proxyIndex) const {
    if (!proxyIndex.isValid() || proxyIndex.model() != this || proxyIndex.row() >= m_proxyToSource.size())
        return {};
    return m_source.index(m_proxyToSource.at(proxyIndex.row()), 0);
}

QModelIndex FileFilterProxyModel::mapFromSource(const QModelIndex& sourceIndex) const {
    if (!sourceIndex.isValid() || sourceIndex.model() != &m_source)
        return {};
    const int shown = m_sourceToProxy.value(sourceIndex.row(), -1);
    return shown >= 0 ? index(shown, 0) : QModelIndex();
}

QModelIndex FileFilterProxyModel::index(int row, int column, const QModelIndex& parent) const {
    if (parent.isValid() || column != 0 || row < 0 || row >= m_proxyToSource.size())
        return {};
    return createIndex(row, column);
}

QModelIndex FileFilterProxyModel::parent(const QModelIndex&) const {
    return {};
}

int FileFilterProxyModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_proxyToSource.size());
}

int FileFilterProxyModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}
