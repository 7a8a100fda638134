#include "ui/ActivityRowDelegate.h"

#include "sync/SyncActivityModel.h"
#include "ui/FileListModel.h"
#include "ui/FolderSyncView.h"
#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QLocale>
#include <QPainter>
#include <QTextDocument>
#include <QToolTip>

using namespace OrlavantTheme;

namespace {

constexpr int Inset = 6;
constexpr int SymbolSize = 16;
constexpr int Gap = 12;
constexpr int TimeWidth = 110;
constexpr int LineGap = 2;
const QColor Separator = colorFromHex(0x000000, 0.08);

} // namespace

ActivityRowDelegate::ActivityRowDelegate(QObject* parent)
    : QAbstractItemDelegate(parent)
    , m_nameFont(uiFont(13, QFont::Medium))
    , m_detailFont(uiFont(11))
    , m_timeFont(uiFont(11)) {}

QString ActivityRowDelegate::detailText(const FileOutcome& outcome) {
    switch (outcome.kind) {
    case FileOutcome::Kind::Uploaded:
        return QStringLiteral("Uploaded");
    case FileOutcome::Kind::Deduplicated:
        return QStringLiteral("Already in the vault");
    case FileOutcome::Kind::Failed: {
        QString text = QStringLiteral("Could not sync: ") + FileListModel::shownText(outcome.reason);
        if (outcome.retryAt.isValid())
            text += QStringLiteral(" Next try at ") + FolderSyncView::mediumTime(outcome.retryAt) + u'.';
        return text;
    }
    case FileOutcome::Kind::SkippedInvalidName:
    case FileOutcome::Kind::SkippedUnreadable:
        return QStringLiteral("Skipped: ") + FileListModel::shownText(outcome.reason);
    }
    return {};
}

QString ActivityRowDelegate::timeText(const QDateTime& at, const QDateTime& now) {
    if (!at.isValid())
        return {};
    const QDateTime local = at.toLocalTime();
    if (local.date() == now.toLocalTime().date())
        return FolderSyncView::mediumTime(at);
    return QLocale().toString(local.date(), QLocale::ShortFormat) + u' ' +
           QLocale().toString(local.time(), QLocale::ShortFormat);
}

QString ActivityRowDelegate::symbolFor(FileOutcome::Kind kind) {
    switch (kind) {
    case FileOutcome::Kind::Uploaded:
        return QStringLiteral("icloud.and.arrow.up.fill");
    case FileOutcome::Kind::Deduplicated:
        return QStringLiteral("doc.on.doc.fill");
    case FileOutcome::Kind::Failed:
    case FileOutcome::Kind::SkippedInvalidName:
    case FileOutcome::Kind::SkippedUnreadable:
        return QStringLiteral("exclamationmark.triangle.fill");
    }
    return {};
}

QColor ActivityRowDelegate::colorFor(FileOutcome::Kind kind) {
    switch (kind) {
    case FileOutcome::Kind::Uploaded:
        return purple;
    case FileOutcome::Kind::Deduplicated:
        return orange;
    case FileOutcome::Kind::Failed:
        return red;
    case FileOutcome::Kind::SkippedInvalidName:
    case FileOutcome::Kind::SkippedUnreadable:
        return orange;
    }
    return secondary;
}

FileOutcome ActivityRowDelegate::outcomeAt(const QModelIndex& index) {
    FileOutcome outcome;
    outcome.kind = FileOutcome::Kind(index.data(SyncActivityModel::KindRole).toInt());
    outcome.fileName = index.data(Qt::DisplayRole).toString();
    outcome.relativePath = index.data(SyncActivityModel::RelativePathRole).toString();
    outcome.reason = index.data(SyncActivityModel::ReasonRole).toString();
    outcome.at = index.data(SyncActivityModel::AtRole).toDateTime();
    outcome.retryAt = index.data(SyncActivityModel::RetryAtRole).toDateTime();
    return outcome;
}

void ActivityRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const FileOutcome outcome = outcomeAt(index);
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QRect content = option.rect.adjusted(Inset, 1, -Inset, 0); // the top pixel is the separator
    painter->save();
    if (index.row() > 0)
        painter->fillRect(QRect(option.rect.left(), option.rect.top(), option.rect.width(), 1), Separator);

    const int midY = content.center().y();
    painter->drawPixmap(QPoint(content.left(), midY - SymbolSize / 2 + 1),
                        m_symbols.get(symbolFor(outcome.kind), colorFor(outcome.kind), SymbolSize, ratio));

    const QRect time(content.right() + 1 - TimeWidth, content.top(), TimeWidth, content.height());
    const int textLeft = content.left() + SymbolSize + Gap;
    const int textWidth = qMax(0, time.left() - Gap - textLeft);
    const QFontMetrics nameMetrics(m_nameFont);
    const QFontMetrics detailMetrics(m_detailFont);
    const int top = midY - (nameMetrics.height() + LineGap + detailMetrics.height()) / 2 + 1;
    const int singleLine = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;

    painter->setFont(m_nameFont);
    painter->setPen(ink);
    painter->drawText(
        QRect(textLeft, top, textWidth, nameMetrics.height()), singleLine,
        nameMetrics.elidedText(FileListModel::shownText(outcome.fileName), Qt::ElideMiddle, textWidth));
    painter->setFont(m_detailFont);
    painter->setPen(outcome.kind == FileOutcome::Kind::Failed ? red : secondary);
    painter->drawText(
        QRect(textLeft, top + nameMetrics.height() + LineGap, textWidth, detailMetrics.height()), singleLine,
        detailMetrics.elidedText(detailText(outcome), Qt::ElideRight, textWidth));

    painter->setFont(m_timeFont);
    painter->setPen(secondary);
    painter->drawText(time, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                      timeText(outcome.at, QDateTime::currentDateTimeUtc()));
    painter->restore();
}

QSize ActivityRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {1, RowHeight}; // as wide as the list
}

bool ActivityRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem&,
                                    const QModelIndex& index) {
    if (!event || event->type() != QEvent::ToolTip || !index.isValid())
        return false;
    const FileOutcome outcome = outcomeAt(index);
    // Tool tips read anything that looks like markup as markup: a name is turned into it escaped.
    QToolTip::showText(event->globalPos(),
                       Qt::convertFromPlainText(FileListModel::shownText(outcome.relativePath) + u'\n' +
                                                detailText(outcome)),
                       view);
    return true;
}
