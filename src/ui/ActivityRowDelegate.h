#pragma once

#include "sync/SyncReport.h"

#include "ui/Icons.h"

#include <QAbstractItemDelegate>
#include <QFont>
#include <QPixmap>

// Paints one row of the sync activity list (a SyncActivityModel): a symbol for what happened,
// the file's name over a line that says what happened (and why, for a file that could not be
// synced), and the time on the right. Names are drawn as plain text with control characters
// made visible, never read as markup; long ones are elided in the middle, with the whole path
// in the tool tip.
class ActivityRowDelegate : public QAbstractItemDelegate {
    Q_OBJECT
public:
    static constexpr int RowHeight = 46;

    explicit ActivityRowDelegate(QObject* parent = nullptr);

    // The line under the name: "Uploaded", "Already in the vault", "Could not sync: <reason>
    // Next try at <time>.", "Skipped: <reason>".
    static QString detailText(const FileOutcome& outcome);
    // When it happened: the time of day for today (in local time), else the date and time.
    static QString timeText(const QDateTime& at, const QDateTime& now);
    static QString symbolFor(FileOutcome::Kind kind);
    static QColor colorFor(FileOutcome::Kind kind);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

private:
    static FileOutcome outcomeAt(const QModelIndex& index);

    QFont m_nameFont;
    QFont m_detailFont;
    QFont m_timeFont;
    mutable Icons::TintedCache m_symbols;
};
