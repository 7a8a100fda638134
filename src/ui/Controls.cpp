#include "ui/Controls.h"

#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QtMath>

Spinner::Spinner(const QColor& color, int size, QWidget* parent)
    : QWidget(parent)
    , m_color(color)
    , m_size(size) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TranslucentBackground);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 8;
        update();
    });
}

void Spinner::setColor(const QColor& color) {
    m_color = color;
    update();
}

void paintSpinner(QPainter& painter, const QRectF& box, const QColor& color, int step) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal size = qMin(box.width(), box.height());
    const QPointF centre = box.center();
    const qreal outer = size / 2.0 - 1;
    const qreal inner = outer * 0.45;
    QPen pen(color, qMax(1.5, size / 9.0), Qt::SolidLine, Qt::RoundCap);
    for (int i = 0; i < 8; ++i) {
        const qreal angle = qDegreesToRadians(45.0 * i - 90.0);
        QColor dash = color;
        dash.setAlphaF(float(color.alphaF() * (0.25 + 0.75 * ((i - step + 8) % 8) / 7.0)));
        pen.setColor(dash);
        painter.setPen(pen);
        painter.drawLine(centre + QPointF(qCos(angle), qSin(angle)) * inner,
                         centre + QPointF(qCos(angle), qSin(angle)) * outer);
    }
    painter.restore();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintSpinner(painter, QRectF(0, 0, m_size, m_size), m_color, m_step);
}

void Spinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_timer.start();
}

void Spinner::hideEvent(QHideEvent* event) {
    m_timer.stop();
    QWidget::hideEvent(event);
}

GradientButton::GradientButton(const QString& text, QWidget* parent)
    : QAbstractButton(parent)
    , m_background(OrlavantTheme::brandStops())
    , m_spinner(new Spinner(Qt::white, 14, this)) {
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFont(OrlavantTheme::uiFont(14, QFont::Bold));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_spinner->hide();
}

void GradientButton::setBackground(const QGradientStops& stops) {
    m_background = stops;
    update();
}

void GradientButton::setDisabledBackground(const QGradientStops& stops) {
    m_disabledBackground = stops;
    update();
}

void GradientButton::setLabelFont(const QFont& font) {
    setFont(font);
    updateGeometry();
}

void GradientButton::setBusy(bool busy) {
    if (busy == m_busy)
        return;
    m_busy = busy;
    m_spinner->setVisible(busy);
    update();
}

qreal GradientButton::paintOpacity() const {
    if (isEnabled() || !m_disabledBackground.isEmpty())
        return 1.0;
    return m_disabledOpacity;
}

QSize GradientButton::sizeHint() const {
    const QFontMetrics metrics(font());
    int width = metrics.horizontalAdvance(text()) + 36;
    if (!m_symbol.isEmpty() || m_busy)
        width += 22;
    return {width, qMax(36, metrics.height() + 18)};
}

void GradientButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        update();
    QAbstractButton::changeEvent(event);
}

void GradientButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(paintOpacity());

    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QGradientStops& stops =
        (!isEnabled() && !m_disabledBackground.isEmpty()) ? m_disabledBackground : m_background;
    QPainterPath path;
    const qreal radius = qMin(m_radius, box.height() / 2);
    path.addRoundedRect(box, radius, radius);
    painter.fillPath(path, OrlavantTheme::horizontalGradient(box, stops));
    if (isDown())
        painter.fillPath(path, QColor(0, 0, 0, 30));

    // Symbol (or spinner) and label, centred together.
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text());
    const int iconSize = 14;
    const bool hasLead = m_busy || !m_symbol.isEmpty();
    const int total = textWidth + (hasLead ? iconSize + 8 : 0);
    int x = (width() - total) / 2;
    const int midY = height() / 2;
    if (m_busy) {
        m_spinner->move(x, midY - m_spinner->height() / 2);
        x += iconSize + 8;
    } else if (!m_symbol.isEmpty()) {
        painter.drawPixmap(QPoint(x, midY - iconSize / 2),
                           Icons::tinted(m_symbol, m_textColor, iconSize, devicePixelRatioF()));
        x += iconSize + 8;
    }
    painter.setPen(m_textColor);
    painter.setFont(font());
    painter.drawText(QRect(x, 0, textWidth + 2, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

QFrame* makeRule(const QColor& color, Qt::Orientation orientation, QWidget* parent) {
    auto* rule = new QFrame(parent);
    rule->setFrameShape(QFrame::NoFrame);
    rule->setStyleSheet(
        QStringLiteral("QFrame { background: %1; border: none; }").arg(OrlavantTheme::css(color)));
    if (orientation == Qt::Horizontal)
        rule->setFixedHeight(1);
    else
        rule->setFixedWidth(1);
    return rule;
}

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    // A style sheet rather than the palette: an ancestor's style sheet would reset the palette.
    label->setStyleSheet(
        QStringLiteral("QLabel { color: %1; background: transparent; }").arg(OrlavantTheme::css(color)));
    return label;
}

void styleCard(QFrame* frame, const QString& objectName, const QColor& fill, const QColor& outline,
               int radius) {
    styleBox(frame, objectName, OrlavantTheme::css(fill), outline, radius);
}

void styleBox(QFrame* frame, const QString& objectName, const QString& backgroundCss, const QColor& outline,
              int radius) {
    frame->setObjectName(objectName);
    frame->setAttribute(Qt::WA_StyledBackground);
    const QString border = outline.alpha() == 0
                               ? QStringLiteral("none")
                               : QStringLiteral("1px solid %1").arg(OrlavantTheme::css(outline));
    frame->setStyleSheet(QStringLiteral("QFrame#%1 { background: %2; border: %3; border-radius: %4px; }")
                             .arg(objectName, backgroundCss, border)
                             .arg(radius));
}

QScrollArea* makeScrollArea(QWidget* parent) {
    auto* scroll = new QScrollArea(parent);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(OrlavantTheme::scrollAreaCss());
    return scroll;
}

QVBoxLayout* makeScrollingPage(QWidget* owner, const QString& pageName, int margin,
                               Qt::ScrollBarPolicy horizontal) {
    auto* outer = new QVBoxLayout(owner);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = makeScrollArea(owner);
    scroll->setHorizontalScrollBarPolicy(horizontal);
    outer->addWidget(scroll);
    auto* page = new QFrame;
    styleCard(page, pageName, OrlavantTheme::bg, Qt::transparent, 0);
    scroll->setWidget(page);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(24);
    return column;
}

QFrame* makeCard(const QString& objectName, const QColor& fill, const QColor& outline, int radius,
                 QWidget* parent) {
    auto* frame = new QFrame(parent);
    styleCard(frame, objectName, fill, outline, radius);
    return frame;
}
