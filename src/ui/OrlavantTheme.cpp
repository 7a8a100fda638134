#include "ui/OrlavantTheme.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <cmath>
#include <qdrawutil.h>
#include <vector>

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

namespace {

struct ShadowLook {
    QRgb color;
    int blur; // how far the shadow reaches beyond the widget, in pixels
    int offsetY;
    int radius; // of the widget's corners

    bool operator==(const ShadowLook&) const = default;
};

size_t qHash(const ShadowLook& look, size_t seed = 0) {
    return qHashMulti(seed, look.color, look.blur, look.offsetY, look.radius);
}

// One pass of a box blur along rows (or, transposed, columns) of a premultiplied image.
void boxBlur(QImage& image, int radius, bool alongRows) {
    const int lines = alongRows ? image.height() : image.width();
    const int length = alongRows ? image.width() : image.height();
    const int window = 2 * radius + 1;
    std::vector<QRgb> line(static_cast<size_t>(length));
    for (int l = 0; l < lines; ++l) {
        const auto pixel = [&](int i) -> QRgb& {
            return reinterpret_cast<QRgb*>(image.scanLine(alongRows ? l : i))[alongRows ? i : l];
        };
        for (int i = 0; i < length; ++i)
            line[size_t(i)] = pixel(i);
        int sum[4] = {0, 0, 0, 0};
        const auto add = [&](int i, int sign) {
            if (i < 0 || i >= length)
                return;
            const QRgb p = line[size_t(i)];
            sum[0] += sign * qAlpha(p);
            sum[1] += sign * qRed(p);
            sum[2] += sign * qGreen(p);
            sum[3] += sign * qBlue(p);
        };
        for (int i = -radius; i < radius; ++i)
            add(i, 1);
        for (int i = 0; i < length; ++i) {
            add(i + radius, 1);
            pixel(i) = qRgba(sum[1] / window, sum[2] / window, sum[3] / window, sum[0] / window);
            add(i - radius, -1);
        }
    }
}

// The shadow of a rounded rectangle as a nine-slice pixmap: corners of blur + radius pixels
// around a one-pixel middle that stretches to any size.
QPixmap shadowPixmap(const ShadowLook& look, qreal devicePixelRatio) {
    static QHash<std::pair<ShadowLook, int>, QPixmap> cache;
    const int ratioKey = int(std::lround(devicePixelRatio * 100));
    const auto key = std::make_pair(look, ratioKey);
    if (const auto it = cache.constFind(key); it != cache.cend())
        return *it;
    const int corner = look.blur + look.radius;
    const int side = 2 * corner + 1;
    QImage image(QSize(side, side) * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromRgba(look.color));
        painter.drawRoundedRect(QRectF(look.blur, look.blur, side - 2 * look.blur, side - 2 * look.blur),
                                look.radius, look.radius);
    }
    // Three box passes each way come close to a Gaussian reaching `blur` pixels.
    const int boxRadius = std::max(1, int(std::lround(look.blur * devicePixelRatio / 3.0)));
    for (int pass = 0; pass < 3; ++pass) {
        boxBlur(image, boxRadius, true);
        boxBlur(image, boxRadius, false);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    cache.insert(key, pixmap);
    return pixmap;
}

// The widget that paints one shadow: a sibling of its target, stacked below every sibling so a
// shadow never falls on another card, following the target's place, size and visibility.
class ShadowUnderlay final : public QWidget {
public:
    ShadowUnderlay(const ShadowLook& look, QWidget* parent)
        : QWidget(parent)
        , m_look(look) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }
    QMargins margins() const {
        return {m_look.blur, m_look.blur - m_look.offsetY, m_look.blur, m_look.blur + m_look.offsetY};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const int corner = m_look.blur + m_look.radius;
        qDrawBorderPixmap(&painter, rect(), QMargins(corner, corner, corner, corner),
                          shadowPixmap(m_look, devicePixelRatioF()));
    }

private:
    ShadowLook m_look;
};

// Lives as a child of the target; keeps its underlay beside it whatever parent it gets.
class ShadowFollower final : public QObject {
public:
    ShadowFollower(QWidget* target, const ShadowLook& look)
        : QObject(target)
        , m_target(target)
        , m_look(look) {
        target->installEventFilter(this);
        attach();
    }
    ~ShadowFollower() override { delete m_underlay; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::ParentChange:
            attach();
            break;
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            follow();
            break;
        default:
            break;
        }
        return false;
    }

private:
    void attach() {
        QWidget* parent = m_target->parentWidget();
        if (!parent) {
            delete m_underlay;
            return;
        }
        if (!m_underlay)
            m_underlay = new ShadowUnderlay(m_look, parent);
        else if (m_underlay->parentWidget() != parent)
            m_underlay->setParent(parent);
        m_underlay->lower();
        follow();
    }
    void follow() {
        if (!m_underlay)
            return;
        m_underlay->setGeometry(m_target->geometry().marginsAdded(m_underlay->margins()));
        m_underlay->setVisible(!m_target->isHidden());
    }

    QWidget* m_target;
    ShadowLook m_look;
    QPointer<ShadowUnderlay> m_underlay;
};

} // namespace

void addShadow(QWidget* widget, const QColor& color, qreal blurRadius, qreal offsetY, qreal cornerRadius) {
    // Replaces an earlier shadow of the widget.
    for (QObject* child : widget->children()) {
        if (auto* follower = dynamic_cast<ShadowFollower*>(child))
            delete follower;
    }
    new ShadowFollower(widget, ShadowLook{color.rgba(), int(std::ceil(blurRadius)), int(std::lround(offsetY)),
                                          int(std::lround(cornerRadius))});
}

} // namespace OrlavantTheme
