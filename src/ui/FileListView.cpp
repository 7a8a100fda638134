#include "ui/FileListView.h"

#include "ui/FileFilterProxyModel.h"
#include "ui/FileRowDelegate.h"
#include "ui/OrlavantTheme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

FileListView::FileListView(FileFilterProxyModel& model, QWidget* parent)
    : QListView(parent)
    , m_model(model)
    , m_delegate(new FileRowDelegate(this)) {
    // Before setModel(): the position must be read before the view's own reset handling runs.
    connect(&model, &QAbstractItemModel::modelAboutToBeReset, this, &FileListView::rememberPosition);
    connect(&model, &FileFilterProxyModel::filterApplied, this, &FileListView::restorePosition);
    setItemDelegate(m_delegate);
    setModel(&model);
    setUniformItemSizes(true); // what keeps layout O(1) per row at 10,000 rows
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalScrollBar()->setSingleStep(FileRowDelegate::RowHeight / 2);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_Hover);
    setStyleSheet(QStringLiteral("QListView { background: transparent; border: none; }") +
                  OrlavantTheme::scrollAreaCss());

    m_spinnerTimer.setInterval(80);
    connect(&m_spinnerTimer, &QTimer::timeout, this, [this] {
        m_spinnerStep = (m_spinnerStep + 1) % 8;
        m_delegate->setSpinnerStep(m_spinnerStep);
        for (QModelIndex row = indexAt(QPoint(1, 1));
             row.isValid() && visualRect(row).top() < viewport()->height();
             row = m_model.index(row.row() + 1, 0)) {
            if (row.data(FileListModel::DownloadingRole).toBool())
                viewport()->update(visualRect(row));
        }
    });
}

QRect FileListView::downloadButtonRect(int row) const {
    const QModelIndex index = m_model.index(row, 0);
    const QRect rect = visualRect(index);
    return rect.isEmpty() ? QRect() : m_delegate->layout(rect, index).download;
}

void FileListView::setAnimating(bool animating) {
    if (animating && !m_spinnerTimer.isActive())
        m_spinnerTimer.start();
    else if (!animating)
        m_spinnerTimer.stop();
}

QSize FileListView::sizeHint() const {
    // Capped well above any screen: the hint only has to say "more than fits".
    const int rows = qMin(m_model.rowCount(), 100);
    return {QListView::sizeHint().width(), rows * FileRowDelegate::RowHeight + 2 * frameWidth()};
}

QSize FileListView::minimumSizeHint() const {
    return {QListView::minimumSizeHint().width(), FileRowDelegate::RowHeight + 2 * frameWidth()};
}

void FileListView::reset() {
    QListView::reset();
    updateGeometry();
}

FileListView::Anchor FileListView::anchorFor(const QModelIndex& index) const {
    return {index.data(FileListModel::IdRole).toString(), visualRect(index).top()};
}

void FileListView::rememberPosition() {
    m_selectedAnchor = {};
    m_topAnchor = {};
    const QModelIndex current = currentIndex();
    if (current.isValid() && selectionModel()->isSelected(current))
        m_selectedAnchor = anchorFor(current);
    if (const QModelIndex top = indexAt(QPoint(1, 1)); top.isValid())
        m_topAnchor = anchorFor(top);
}

void FileListView::restorePosition(bool queryChanged) {
    executeDelayedItemsLayout(); // the scroll range must be the new one before it is set
    const int selectedRow = m_selectedAnchor.id.isEmpty() ? -1 : m_model.proxyRowOf(m_selectedAnchor.id);
    if (selectedRow >= 0) {
        setCurrentIndex(m_model.index(selectedRow, 0));
        // Where it was, or at the nearest edge when it had been scrolled out of sight.
        const int lowest = qMax(0, viewport()->height() - FileRowDelegate::RowHeight);
        scrollRowTo(selectedRow, qBound(0, m_selectedAnchor.offset, lowest));
        return;
    }
    if (queryChanged) {
        scrollToTop();
        return;
    }
    const int topRow = m_topAnchor.id.isEmpty() ? -1 : m_model.proxyRowOf(m_topAnchor.id);
    if (topRow >= 0)
        scrollRowTo(topRow, m_topAnchor.offset);
}

void FileListView::scrollRowTo(int row, int offset) {
    verticalScrollBar()->setValue(rectForIndex(m_model.index(row, 0)).top() - offset);
}

bool FileListView::isOnButton(const QModelIndex& index, const QPoint& pos) const {
    return index.isValid() && !index.data(FileListModel::DownloadingRole).toBool() &&
           downloadButtonRect(index.row()).contains(pos);
}

void FileListView::setPressed(const QModelIndex& index) {
    m_pressed = index;
    m_delegate->setPressed(index);
    viewport()->update();
}

void FileListView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        const QModelIndex current = currentIndex();
        if (current.isValid() && selectionModel()->isSelected(current))
            Q_EMIT downloadRequested(current);
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

void FileListView::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    const QModelIndex index = indexAt(pos);
    if (event->button() == Qt::LeftButton && isOnButton(index, pos))
        setPressed(index);
    QListView::mousePressEvent(event);
}

void FileListView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    viewport()->setCursor(isOnButton(indexAt(pos), pos) ? Qt::PointingHandCursor : Qt::ArrowCursor);
    QListView::mouseMoveEvent(event);
}

void FileListView::mouseReleaseEvent(QMouseEvent* event) {
    const QModelIndex pressed = m_pressed;
    if (pressed.isValid())
        setPressed({});
    QListView::mouseReleaseEvent(event);
    const QPoint pos = event->position().toPoint();
    // A click: pressed and released on the same row's button. A row that a refresh replaced in
    // between is no longer the pressed one (the persistent index died with it).
    if (event->button() == Qt::LeftButton && pressed.isValid() && indexAt(pos) == pressed &&
        isOnButton(pressed, pos))
        Q_EMIT downloadRequested(pressed);
}

void FileListView::focusInEvent(QFocusEvent* event) {
    QListView::focusInEvent(event);
    // Coming in by keyboard selects a row at once, so Enter and the arrows act on what is lit.
    if (event->reason() == Qt::MouseFocusReason || m_model.rowCount() == 0)
        return;
    const QModelIndex current = currentIndex().isValid() ? currentIndex() : m_model.index(0, 0);
    if (!selectionModel()->isSelected(current))
        setCurrentIndex(current);
}
