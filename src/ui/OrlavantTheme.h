#pragma once

#include <QColor>
#include <QFont>
#include <QGradientStops>
#include <QLinearGradient>
#include <QRectF>

class QWidget;

// A colour from a packed 0xRRGGBB value; bits above the lowest 24 are ignored.
QColor colorFromHex(quint32 hex, double alpha = 1.0);

// The one palette of every native screen.
namespace OrlavantTheme {
inline const QColor bg = colorFromHex(0xFBF7F0);
inline const QColor soft = colorFromHex(0xF4EEE2);
inline const QColor ink = colorFromHex(0x241C33);
inline const QColor blue = colorFromHex(0x0EA5E9);
inline const QColor purple = colorFromHex(0x8B5CF6);
inline const QColor pink = colorFromHex(0xEC4899);
inline const QColor orange = colorFromHex(0xF97316);
inline const QColor muted = colorFromHex(0x6B6478);
inline const QColor border = colorFromHex(0xE8DFCE);

// blue, purple, pink, orange, evenly spaced, from the left edge to the right edge of `rect`,
// vertically centred.
QLinearGradient brandGradient(const QRectF& rect);
// The same gradient as a style sheet value (qlineargradient over the widget's box).
QString brandGradientCss();
// "#rrggbb" for style sheets; "rgba(...)" when not opaque.
QString css(const QColor& color);

// The platform colours the screens use beside the palette.
inline const QColor white = colorFromHex(0xFFFFFF);
inline const QColor red = colorFromHex(0xEF4444);
inline const QColor green = colorFromHex(0x22C55E);
inline const QColor grey = colorFromHex(0x8E8E93);
inline const QColor secondary = colorFromHex(0x6E6E73);
// The sidebar's active entry: sRGB 0.937, 0.914, 0.980.
inline const QColor activeNavBackground = QColor::fromRgbF(0.937f, 0.914f, 0.980f);

// Stops evenly spaced over 0..1.
QGradientStops evenStops(const QList<QColor>& colors);
QGradientStops brandStops();
// A left-to-right gradient over `rect`, vertically centred.
QLinearGradient horizontalGradient(const QRectF& rect, const QGradientStops& stops);
// A style sheet value for a left-to-right gradient over the widget's box.
QString gradientCss(const QGradientStops& stops);

// Sizes are in points; at 96 dpi a point of the design is one pixel.
QFont uiFont(int pixelSize, QFont::Weight weight = QFont::Normal);
QFont monospaceFont(int pixelSize);

// Thin, light scroll bars for the screens' scroll areas.
QString scrollAreaCss();

// A soft drop shadow under `widget`, whose corners are rounded by `cornerRadius`. It is painted
// by a sibling beneath the widget from a pixmap made once per look, so a change inside the
// widget repaints only that change: a graphics effect would render the whole widget offscreen
// and blur it again on every repaint (a spinner or a status text made that the main cost of
// the sync screen).
void addShadow(QWidget* widget, const QColor& color, qreal blurRadius, qreal offsetY,
               qreal cornerRadius = 12);
} // namespace OrlavantTheme
