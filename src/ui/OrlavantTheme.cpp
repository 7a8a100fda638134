#include "ui/OrlavantTheme.h"

QColor colorFromHex(quint32 hex, double alpha)
{
    QColor color = QColor::fromRgb((hex >> 16) & 0xFF, (hex >> 8) & 0xFF, hex & 0xFF);
    color.setAlphaF(float(alpha));
    return color;
}

namespace OrlavantTheme {

namespace {
const QColor* const gradientStops[] = {&blue, &purple, &pink, &orange};
}

QLinearGradient brandGradient(const QRectF& rect)
{
    const double midY = rect.center().y();
    QLinearGradient gradient(QPointF(rect.left(), midY), QPointF(rect.right(), midY));
    for (int i = 0; i < 4; ++i)
        gradient.setColorAt(i / 3.0, *gradientStops[i]);
    return gradient;
}

QString brandGradientCss()
{
    QString stops;
    for (int i = 0; i < 4; ++i)
        stops += QStringLiteral(", stop:%1 %2").arg(i / 3.0, 0, 'f', 4).arg(css(*gradientStops[i]));
    return QStringLiteral("qlineargradient(x1:0, y1:0.5, x2:1, y2:0.5%1)").arg(stops);
}

QString css(const QColor& color)
{
    if (color.alpha() == 255)
        return color.name(QColor::HexRgb);
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(color.alphaF(), 0, 'f', 3);
}

} // namespace OrlavantTheme
