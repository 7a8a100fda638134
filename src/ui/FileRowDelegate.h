#pragma once

#include "ui/Icons.h"

#include <QAbstractItemDelegate>
#include <QFont>
#include <QPersistentModelIndex>
#include <QPixmap>

// Paints one row of the file list as the screen has always shown it, left to right: the
// file-type icon, the name with its folder line under it, the device badge, the size and a
// bordered Download button (a spinner while that file downloads). Nothing here is a widget: the
// list asks layout() where things are, for clicks and tool tips as well as for painting.
//
// Only the name column gives way: long names and folders are elided in the middle, the badge's
// device name at its end, so the badge, the size and the button always keep their places.
class FileRowDelegate : public QAbstractItemDelegate {
    Q_OBJECT
public:
    static constexpr int RowHeight = 52;

    struct Layout {
        QRect icon;
        QRect name;   // the name line
        QRect folder; // the folder line; empty when the row has none
        QRect badge;
        QRect size;
        QRect download;
        QString shownName; // the texts as painted, elided where they did not fit
        QString shownFolder;
        QString shownDevice;
        bool elided = false; // the name or the folder line lost characters
    };

    explicit FileRowDelegate(QObject* parent = nullptr);

    // Where the parts of the row at `rect` go, for the row `index` of a FileListModel (or a
    // proxy over one).
    Layout layout(const QRect& rect, const QModelIndex& index) const;

    // The tool tip at `pos` in the row at `rect`: the button's hint over the button, the whole
    // name and folder over an elided name column, the whole device name over an elided badge.
    QString toolTipAt(const QRect& rect, const QModelIndex& index, const QPoint& pos) const;

    // The row whose button is held down by the mouse (drawn pressed); invalid for none.
    void setPressed(const QModelIndex& index) { m_pressed = index; }
    // Advances the spinners of downloading rows.
    void setSpinnerStep(int step) { m_spinnerStep = step; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

private:
    QFont m_nameFont;
    QFont m_folderFont;
    QFont m_badgeFont;
    QFont m_sizeFont;
    QFont m_buttonFont;
    QPersistentModelIndex m_pressed;
    int m_spinnerStep = 0;
    mutable Icons::TintedCache m_symbols;
};
