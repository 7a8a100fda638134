#include "ui/FileRowDelegate.h"

#include "ui/Controls.h"
#include "ui/FileListModel.h"
#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

using namespace OrlavantTheme;

namespace {

constexpr int Inset = 4;
constexpr int Gap = 12;
constexpr int IconBox = 32;
constexpr int IconSymbol = 22;
constexpr int SizeWidth = 80;
constexpr int DownloadWidth = 104;
constexpr int DownloadHeight = 26;
constexpr int ButtonSymbol = 14;
constexpr int BadgeHeight = 20;
constexpr int BadgeSymbol = 12;
constexpr int BadgeLeftPad = 7;
constexpr int BadgeRightPad = 8;
constexpr int BadgeGap = 4;
constexpr int BadgeTextMax = 140;
constexpr int LineGap = 2;

const QString DownloadToolTip = QStringLiteral("Save this file locally using NSSavePanel");
const QString DownloadText = QStringLiteral("Download");

const QColor FileIconColour = colorFromHex(0x8B5CF6, 1.0);
const QColor BadgeFill = colorFromHex(0x6E6E73, 0.12);
const QColor Separator = colorFromHex(0x000000, 0.08);
const QColor ButtonOutline = colorFromHex(0x000000, 0.18);
const QColor HoverFill = colorFromHex(0x6E6E73, 0.05);
const QColor SelectedUnfocusedFill = colorFromHex(0x6E6E73, 0.10);

} // namespace

FileRowDelegate::FileRowDelegate(QObject* parent)
    : QAbstractItemDelegate(parent)
    , m_nameFont(uiFont(13, QFont::Medium))
    , m_folderFont(uiFont(11))
    , m_badgeFont(uiFont(11, QFont::DemiBold))
    , m_sizeFont(uiFont(11))
    , m_buttonFont(uiFont(12, QFont::Medium)) {}

FileRowDelegate::Layout FileRowDelegate::layout(const QRect& rect, const QModelIndex& index) const {
    Layout parts;
    const QRect content = rect.adjusted(Inset, 1, -Inset, 0); // the top pixel is the separator
    const int midY = content.center().y();

    // From the right: the parts that never give way.
    parts.download = QRect(content.right() + 1 - DownloadWidth, midY - DownloadHeight / 2 + 1, DownloadWidth,
                           DownloadHeight);
    parts.size = QRect(parts.download.left() - Gap - SizeWidth, content.top(), SizeWidth, content.height());

    const QString device = index.data(FileListModel::DeviceNameRole).toString();
    const QFontMetrics badgeMetrics(m_badgeFont);
    parts.shownDevice = badgeMetrics.elidedText(device, Qt::ElideRight, BadgeTextMax);
    const int deviceWidth =
        parts.shownDevice.isEmpty() ? 0 : badgeMetrics.horizontalAdvance(parts.shownDevice);
    const int badgeWidth =
        BadgeLeftPad + BadgeSymbol + (deviceWidth > 0 ? BadgeGap + deviceWidth : 0) + BadgeRightPad;
    parts.badge =
        QRect(parts.size.left() - Gap - badgeWidth, midY - BadgeHeight / 2 + 1, badgeWidth, BadgeHeight);

    // From the left: the icon, then the name column takes what is left.
    parts.icon = QRect(content.left(), midY - IconBox / 2 + 1, IconBox, IconBox);
    const int textLeft = parts.icon.right() + 1 + Gap;
    const int textWidth = qMax(0, parts.badge.left() - Gap - textLeft);

    const QString name = index.data(Qt::DisplayRole).toString();
    const QString folder = index.data(FileListModel::FolderRole).toString();
    const QFontMetrics nameMetrics(m_nameFont);
    const QFontMetrics folderMetrics(m_folderFont);
    parts.shownName = nameMetrics.elidedText(name, Qt::ElideMiddle, textWidth);
    parts.elided = parts.shownName != name;
    if (folder.isEmpty()) {
        parts.name = QRect(textLeft, midY - nameMetrics.height() / 2 + 1, textWidth, nameMetrics.height());
    } else {
        const int height = nameMetrics.height() + LineGap + folderMetrics.height();
        const int top = midY - height / 2 + 1;
        parts.name = QRect(textLeft, top, textWidth, nameMetrics.height());
        parts.folder = QRect(textLeft, parts.name.bottom() + 1 + LineGap, textWidth, folderMetrics.height());
        parts.shownFolder = folderMetrics.elidedText(folder, Qt::ElideMiddle, textWidth);
        parts.elided = parts.elided || parts.shownFolder != folder;
    }
    return parts;
}

void FileRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const Layout parts = layout(option.rect, index);
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);

    if (index.row() > 0)
        painter->fillRect(QRect(option.rect.left(), option.rect.top(), option.rect.width(), 1), Separator);
    const bool selected = option.state & QStyle::State_Selected;
    if (selected || option.state & QStyle::State_MouseOver) {
        // The selection is strongest while the list has the keyboard.
        const QColor fill = !selected                                 ? HoverFill
                            : (option.state & QStyle::State_HasFocus) ? activeNavBackground
                                                                      : SelectedUnfocusedFill;
        QPainterPath path;
        path.addRoundedRect(QRectF(option.rect.adjusted(0, 2, 0, -1)), 8, 8);
        painter->fillPath(path, fill);
    }

    // The file-type icon, centred in its square.
    const QRect iconSquare = parts.icon;
    painter->drawPixmap(
        iconSquare.center() - QPoint(IconSymbol / 2 - 1, IconSymbol / 2 - 1),
        m_symbols.get(index.data(FileListModel::MimeIconRole).toString(), FileIconColour, IconSymbol, ratio));

    const int singleLine = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    painter->setFont(m_nameFont);
    painter->setPen(ink);
    painter->drawText(parts.name, singleLine, parts.shownName);
    if (!parts.folder.isEmpty()) {
        painter->setFont(m_folderFont);
        painter->setPen(secondary);
        painter->drawText(parts.folder, singleLine, parts.shownFolder);
    }

    // The device badge.
    QPainterPath badge;
    badge.addRoundedRect(QRectF(parts.badge), 6, 6);
    painter->fillPath(badge, BadgeFill);
    const QRect badgeSymbol(parts.badge.left() + BadgeLeftPad, parts.badge.center().y() - BadgeSymbol / 2 + 1,
                            BadgeSymbol, BadgeSymbol);
    painter->drawPixmap(
        badgeSymbol.topLeft(),
        m_symbols.get(index.data(FileListModel::DeviceIconRole).toString(), secondary, BadgeSymbol, ratio));
    if (!parts.shownDevice.isEmpty()) {
        painter->setFont(m_badgeFont);
        painter->setPen(secondary);
        painter->drawText(QRect(badgeSymbol.right() + 1 + BadgeGap, parts.badge.top(),
                                parts.badge.right() - BadgeRightPad - badgeSymbol.right() - BadgeGap,
                                parts.badge.height()),
                          singleLine, parts.shownDevice);
    }

    painter->setFont(m_sizeFont);
    painter->setPen(secondary);
    painter->drawText(parts.size, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                      index.data(FileListModel::SizeTextRole).toString());

    // The bordered Download button: disabled, with a spinner for its label, while this file
    // downloads.
    const bool downloading = index.data(FileListModel::DownloadingRole).toBool();
    const bool pressed = !downloading && m_pressed.isValid() && m_pressed == index;
    QPainterPath button;
    button.addRoundedRect(QRectF(parts.download).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    painter->fillPath(button, pressed ? soft : white);
    painter->setPen(QPen(ButtonOutline, 1));
    painter->drawPath(button);
    if (downloading) {
        const QRectF spinner(parts.download.center().x() - 6.5, parts.download.center().y() - 6.5, 14, 14);
        paintSpinner(*painter, spinner, secondary, m_spinnerStep);
    } else {
        const QFontMetrics buttonMetrics(m_buttonFont);
        const int width = ButtonSymbol + 6 + buttonMetrics.horizontalAdvance(DownloadText);
        const int left = parts.download.left() + (parts.download.width() - width) / 2;
        painter->drawPixmap(QPoint(left, parts.download.center().y() - ButtonSymbol / 2 + 1),
                            m_symbols.get(QStringLiteral("arrow.down.circle"), ink, ButtonSymbol, ratio));
        painter->setFont(m_buttonFont);
        painter->setPen(ink);
        painter->drawText(
            QRect(left + ButtonSymbol + 6, parts.download.top(), width, parts.download.height()), singleLine,
            DownloadText);
    }
    painter->restore();
}

QSize FileRowDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    // No width of its own: a row is as wide as the list, which therefore never scrolls sideways.
    return {1, RowHeight};
}

QString FileRowDelegate::toolTipAt(const QRect& rect, const QModelIndex& index, const QPoint& pos) const {
    const Layout parts = layout(rect, index);
    if (parts.download.contains(pos))
        return DownloadToolTip;
    if (parts.elided && parts.name.united(parts.folder).contains(pos))
        return index.data(Qt::ToolTipRole).toString();
    const QString device = index.data(FileListModel::DeviceNameRole).toString();
    if (parts.badge.contains(pos) && parts.shownDevice != device)
        return device;
    return {};
}

bool FileRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip || !index.isValid())
        return QAbstractItemDelegate::helpEvent(event, view, option, index);
    const QString tip = toolTipAt(option.rect, index, event->pos());
    if (tip.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return false;
    }
    QToolTip::showText(event->globalPos(), tip, view->viewport(), option.rect);
    return true;
}
