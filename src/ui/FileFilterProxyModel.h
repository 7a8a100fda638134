#pragma once

#include "ui/FileListModel.h"

#include <QAbstractProxyModel>
#include <QThreadPool>
#include <atomic>
#include <functional>
#include <memory>

// The search over the file list: the rows whose file name, device name or device type contains
// the query (as typed, not trimmed; ignoring case the way the user's locale folds it), in the
// order received; every row for an empty query.
//
// Matching runs on a worker thread of its own, so a keystroke never waits for 10,000 names to be
// searched; the shown rows change in one reset when the newest query's answer is ready, and an
// answer to an older query is dropped. New rows from the vault go through here too
// (setSourceRows), so they reach the view together with their filtered view.
class FileFilterProxyModel : public QAbstractProxyModel {
    Q_OBJECT
public:
    explicit FileFilterProxyModel(FileListModel& source, QObject* parent = nullptr);
    ~FileFilterProxyModel() override;

    // The rule itself; pure and thread-safe. `stop` is polled now and then: when it says true
    // the answer is abandoned (and incomplete).
    static QList<int> matchingRows(const FileListModel::Rows& rows, const QString& query,
                                   const std::function<bool()>& stop = {});

    QString filterQuery() const { return m_query; }
    void setFilterQuery(const QString& query);
    // Replaces the source's rows; the view sees them once they are filtered by the query.
    void setSourceRows(FileListModel::RowsPtr rows);
    // A query or rows wait for their answer from the worker.
    bool isFiltering() const { return m_pending; }
    // The shown row of a record id, or -1.
    int proxyRowOf(const QString& id) const;
    // The source rows shown, in order.
    const QList<int>& shownSourceRows() const { return m_proxyToSource; }

    QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;
    QModelIndex mapFromSource(const QModelIndex& sourceIndex) const override;
    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;

Q_SIGNALS:
    // After the shown rows were replaced; `queryChanged` when a different query decided them
    // (rather than new rows under the same query).
    void filterApplied(bool queryChanged);

private:
    void refilter();
    void apply(const FileListModel::RowsPtr& rows, const QString& query, QList<int> matches);
    void setShownRows(QList<int> matches, qsizetype sourceRows);
    void onSourceAboutToBeReset();
    void onSourceReset();
    void onSourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                             const QList<int>& roles);

    FileListModel& m_source;
    QString m_query;                     // wanted
    FileListModel::RowsPtr m_wantedRows; // wanted: already in the source, or on their way
    QString m_shownQuery;                // what the shown rows were filtered by
    QList<int> m_proxyToSource;
    QList<int> m_sourceToProxy;
    bool m_pending = false;
    bool m_applying = false;
    std::shared_ptr<std::atomic<quint64>> m_generation = std::make_shared<std::atomic<quint64>>(0);
    QThreadPool m_pool;
};
