#include "sync/SyncActivityModel.h"

#include "sync/SyncReporter.h"

#include <QSet>

SyncActivityModel::SyncActivityModel(SyncReporter& reporter, QObject* parent)
    : QAbstractListModel(parent) {
    connect(&reporter, &SyncReporter::delivered, this, &SyncActivityModel::apply);
}

bool SyncActivityModel::isProblem(FileOutcome::Kind kind) {
    return kind == FileOutcome::Kind::Failed || kind == FileOutcome::Kind::SkippedInvalidName ||
           kind == FileOutcome::Kind::SkippedUnreadable;
}

int SyncActivityModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant SyncActivityModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const FileOutcome& row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return row.fileName;
    case KindRole:
        return int(row.kind);
    case RelativePathRole:
        return row.relativePath;
    case ReasonRole:
        return row.reason;
    case AtRole:
        return row.at;
    case RetryAtRole:
        return row.retryAt;
    default:
        return {};
    }
}

void SyncActivityModel::apply(const SyncReportBatch& batch) {
    // The batch's outcomes, newest first. A file named again later in the batch has its earlier
    // problem settled (it synced, or failed anew); past MaxRecent only problems can still stay.
    QList<FileOutcome> fresh;
    QSet<QString> named;
    int freshProblems = 0;
    for (auto event = batch.events.crbegin(); event != batch.events.crend(); ++event) {
        if (event->type != SyncEvent::Type::FileFinished)
            continue;
        const FileOutcome& outcome = event->outcome;
        const bool problem = isProblem(outcome.kind);
        const bool settled = named.contains(outcome.relativePath);
        named.insert(outcome.relativePath);
        if (problem ? settled || freshProblems >= MaxProblems : fresh.size() - freshProblems >= MaxRecent)
            continue;
        freshProblems += problem ? 1 : 0;
        fresh.append(outcome);
    }
    if (fresh.isEmpty())
        return;

    // Problems of files the batch names again are settled too.
    QList<int> settledRows;
    for (int row = 0; row < m_rows.size(); ++row) {
        if (isProblem(m_rows.at(row).kind) && named.contains(m_rows.at(row).relativePath))
            settledRows.append(row);
    }
    dropRows(settledRows);

    beginInsertRows(QModelIndex(), 0, int(fresh.size()) - 1);
    m_rows = fresh + m_rows;
    endInsertRows();

    // Past the recent rows, only problems stay, and only so many of those.
    QList<int> dropped;
    int problems = 0;
    for (int row = 0; row < m_rows.size(); ++row) {
        const bool problem = isProblem(m_rows.at(row).kind);
        const bool keep = problem ? problems < MaxProblems : row < MaxRecent;
        problems += problem && keep ? 1 : 0;
        if (!keep)
            dropped.append(row);
    }
    dropRows(dropped);
}

void SyncActivityModel::dropRows(const QList<int>& rows) {
    // From the bottom, so the rows still to go keep their numbers.
    for (qsizetype end = rows.size(); end > 0;) {
        qsizetype start = end - 1;
        while (start > 0 && rows.at(start - 1) == rows.at(start) - 1)
            --start;
        beginRemoveRows(QModelIndex(), rows.at(start), rows.at(end - 1));
        m_rows.remove(rows.at(start), rows.at(end - 1) - rows.at(start) + 1);
        endRemoveRows();
        end = start;
    }
}
