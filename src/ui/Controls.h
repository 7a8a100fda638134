#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFrame>
#include <QGradientStops>
#include <QPointer>
#include <QTimer>

class QLabel;
class QPainter;
class QScrollArea;
class QVBoxLayout;

// The busy ring of Spinner, drawn into `box` at animation step `step` (0 to 7), for places that
// paint rather than hold a widget (a list row).
void paintSpinner(QPainter& painter, const QRectF& box, const QColor& color, int step);

// A small busy indicator: a ring of fading dashes that turns while the widget is visible.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(const QColor& color, int size = 16, QWidget* parent = nullptr);
    void setColor(const QColor& color);
    QSize sizeHint() const override { return {m_size, m_size}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QColor m_color;
    int m_size;
    int m_step = 0;
    QTimer m_timer;
};

// A button drawn on a gradient (or plain colour) with rounded ends: an optional symbol, a bold
// label, and a spinner in place of the symbol while busy. Disabled, it is drawn either with its
// own disabled background or, without one, with the enabled background at `disabledOpacity`.
class GradientButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit GradientButton(const QString& text, QWidget* parent = nullptr);

    void setBackground(const QGradientStops& stops);
    void setDisabledBackground(const QGradientStops& stops);
    void setDisabledOpacity(qreal opacity) {
        m_disabledOpacity = opacity;
        update();
    }
    void setSymbol(const QString& symbol) {
        m_symbol = symbol;
        updateGeometry();
        update();
    }
    void setCornerRadius(qreal radius) {
        m_radius = radius;
        update();
    }
    void setTextColor(const QColor& color) {
        m_textColor = color;
        update();
    }
    void setLabelFont(const QFont& font);
    void setBusy(bool busy);
    bool isBusy() const { return m_busy; }
    QString symbol() const { return m_symbol; }
    // The opacity the background and label are drawn with in the current state.
    qreal paintOpacity() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QGradientStops m_background;
    QGradientStops m_disabledBackground;
    qreal m_disabledOpacity = 1.0;
    qreal m_radius = 10;
    QColor m_textColor = Qt::white;
    QString m_symbol;
    bool m_busy = false;
    Spinner* m_spinner;
};

// A horizontal or vertical 1-point rule.
QFrame* makeRule(const QColor& color, Qt::Orientation orientation = Qt::Horizontal,
                 QWidget* parent = nullptr);

// A label in the given font and colour (rich text off: texts from the vault are shown as typed).
QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent = nullptr);

// A frameless scroller in the theme, whose content follows its width.
QScrollArea* makeScrollArea(QWidget* parent = nullptr);
// A screen's scrolling page: fills `owner` edge to edge with a themed scroller whose page has
// the theme background, and returns the page's column (`margin` all round, 24-point spacing).
QVBoxLayout* makeScrollingPage(QWidget* owner, const QString& pageName, int margin,
                               Qt::ScrollBarPolicy horizontal = Qt::ScrollBarAsNeeded);

// A rounded box: `fill` with a 1-point `outline` (transparent for none). Children keep their own
// look: the style applies to this object name only.
QFrame* makeCard(const QString& objectName, const QColor& fill, const QColor& outline, int radius,
                 QWidget* parent = nullptr);
void styleCard(QFrame* frame, const QString& objectName, const QColor& fill, const QColor& outline,
               int radius);
// The same with any style sheet background (a gradient from OrlavantTheme::gradientCss).
void styleBox(QFrame* frame, const QString& objectName, const QString& backgroundCss, const QColor& outline,
              int radius);
