#include "ui/OrlavantTheme.h"

#include <QFontDatabase>
#include <QGraphicsDropShadowEffect>
#include <QWidget>

QColor colorFromHex(quint32 hex, double alpha) {
    QColor color = QColor::fromRgb((hex >> 16) & 0xFF, (hex >> 8) & 0xFF, hex & 0xFF);
    color.setAlphaF(float(alpha));
    return color;
}

namespace OrlavantTheme {

QLinearGradient brandGradient(const QRectF& rect) {
    return horizontalGradient(rect, brandStops());
}

QString brandGradientCss() {
    return gradientCss(brandStops());
}

QString css(const QColor& color) {
    if (color.alpha() == 255)
        return color.name(QColor::HexRgb);
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alphaF(), 0, 'f', 3);
}

QGradientStops evenStops(const QList<QColor>& colors) {
    QGradientStops stops;
    const qsizetype last = colors.size() - 1;
    for (qsizetype i = 0; i <= last; ++i)
        stops.append({last > 0 ? double(i) / double(last) : 0.0, colors[i]});
    return stops;
}

QGradientStops brandStops() {
    return evenStops({blue, purple, pink, orange});
}

QLinearGradient horizontalGradient(const QRectF& rect, const QGradientStops& stops) {
    const double midY = rect.center().y();
    QLinearGradient gradient(QPointF(rect.left(), midY), QPointF(rect.right(), midY));
    gradient.setStops(stops);
    return gradient;
}

QString gradientCss(const QGradientStops& stops) {
    QString text;
    for (const auto& stop : stops)
        text += QStringLiteral(", stop:%1 %2").arg(stop.first, 0, 'f', 4).arg(css(stop.second));
    return QStringLiteral("qlineargradient(x1:0, y1:0.5, x2:1, y2:0.5%1)").arg(text);
}

QFont uiFont(int pixelSize, QFont::Weight weight) {
    QFont result;
    result.setPixelSize(pixelSize);
    result.setWeight(weight);
    return result;
}

QFont monospaceFont(int pixelSize) {
    QFont result = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    result.setPixelSize(pixelSize);
    return result;
}

QString scrollAreaCss() {
    return QStringLiteral(
        "QScrollArea { background: transparent; border: none; }"
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
        "QScrollBar::handle:vertical { background: rgba(36, 28, 51, 0.22); border-radius: 3px; "
        "min-height: 32px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");
}

void addShadow(QWidget* widget, const QColor& color, qreal blurRadius, qreal offsetY) {
    auto* effect = new QGraphicsDropShadowEffect(widget);
    effect->setColor(color);
    effect->setBlurRadius(blurRadius);
    effect->setOffset(0, offsetY);
    widget->setGraphicsEffect(effect);
}

} // namespace OrlavantTheme
