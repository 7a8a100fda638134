#pragma once

#include "sync/SyncReport.h"

#include <QAbstractListModel>
#include <QList>

class SyncReporter;

// What became of the files the passes of this run handled, newest first: the last MaxRecent
// events, and besides them every file that could not be synced (or was skipped) until it syncs,
// up to MaxProblems of those. A file has at most one such problem row: a new attempt replaces
// it. However many events a pass delivers at once, the list changes by one insertion at the top
// and removals at the bottom, so a view of it stays fluid.
class SyncActivityModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int MaxRecent = 200;
    static constexpr int MaxProblems = 200;

    enum Role {
        KindRole = Qt::UserRole + 1, // FileOutcome::Kind as an int
        RelativePathRole,
        ReasonRole,
        AtRole,
        RetryAtRole,
    };

    explicit SyncActivityModel(SyncReporter& reporter, QObject* parent = nullptr);

    // The kinds that stay until the file syncs.
    static bool isProblem(FileOutcome::Kind kind);

    const FileOutcome& entry(int row) const { return m_rows.at(row); }
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: the file's name, as it is (the view decides how to show it).
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // What the reporter delivered (connected at construction).
    void apply(const SyncReportBatch& batch);

private:
    // Removes the rows at `rows` (ascending), each run of neighbours in one step.
    void dropRows(const QList<int>& rows);

    QList<FileOutcome> m_rows; // newest first
};
