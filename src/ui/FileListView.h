#pragma once

#include <QListView>
#include <QPersistentModelIndex>
#include <QTimer>

class FileFilterProxyModel;
class FileRowDelegate;

// The file list: rows painted by FileRowDelegate over a FileFilterProxyModel, all the same
// height, as wide as the list (never scrolled sideways). It asks for a download when a row's
// Download button is clicked or Enter is pressed on the selected row, and keeps the selection and
// the scroll position sensible when the shown rows change:
// - the selected file, while it is still shown, stays selected where it was on screen;
// - otherwise a new query starts at the top, and new rows under the same query keep the first
//   visible file where it was.
class FileListView : public QListView {
    Q_OBJECT
public:
    explicit FileListView(FileFilterProxyModel& model, QWidget* parent = nullptr);

    FileRowDelegate& rowDelegate() const { return *m_delegate; }
    // The Download button of a shown row, in viewport coordinates (empty for no such row).
    QRect downloadButtonRect(int row) const;
    // Turns the spinners of downloading rows while true.
    void setAnimating(bool animating);
    bool isAnimating() const { return m_spinnerTimer.isActive(); }

    // As tall as its rows, so a short list's card ends under its last row.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    void reset() override;

Q_SIGNALS:
    // A download of the shown row `index` was asked for (by its button or by Enter).
    void downloadRequested(const QModelIndex& index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    struct Anchor {
        QString id;
        int offset = 0; // the row's top, from the viewport's top
    };
    void rememberPosition();
    void restorePosition(bool queryChanged);
    Anchor anchorFor(const QModelIndex& index) const;
    void scrollRowTo(int row, int offset);
    bool isOnButton(const QModelIndex& index, const QPoint& pos) const;
    void setPressed(const QModelIndex& index);

    FileFilterProxyModel& m_model;
    FileRowDelegate* m_delegate;
    QPersistentModelIndex m_pressed;
    Anchor m_selectedAnchor;
    Anchor m_topAnchor;
    QTimer m_spinnerTimer;
    int m_spinnerStep = 0;
};
