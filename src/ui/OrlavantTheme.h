#pragma once

#include <QColor>
#include <QLinearGradient>
#include <QRectF>

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
} // namespace OrlavantTheme
