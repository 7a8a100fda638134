#include "ui/Icons.h"

#include <QFile>
#include <QHash>
#include <QPainter>

static void initSymbolResources() {
    // The drawings live in this static library; their resource must be registered by hand.
    Q_INIT_RESOURCE(symbols);
}

namespace Icons {

namespace {

// Symbol name -> freedesktop symbolic icon name (empty: only the shipped drawing fits).
const QHash<QString, QString>& themeNames() {
    static const QHash<QString, QString> names = {
        {QStringLiteral("cloud.fill"), QString()},
        {QStringLiteral("house.fill"), QStringLiteral("go-home-symbolic")},
        {QStringLiteral("folder.fill"), QStringLiteral("folder-symbolic")},
        {QStringLiteral("photo.fill"), QStringLiteral("image-x-generic-symbolic")},
        {QStringLiteral("arrow.triangle.2.circlepath"), QString()},
        {QStringLiteral("arrow.up.right"), QString()},
        {QStringLiteral("trash"), QStringLiteral("user-trash-symbolic")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("edit-find-symbolic")},
        {QStringLiteral("heart.fill"), QString()},
        {QStringLiteral("arrow.up"), QStringLiteral("go-up-symbolic")},
        {QStringLiteral("iphone"), QStringLiteral("phone-symbolic")},
        {QStringLiteral("camera.fill"), QStringLiteral("camera-photo-symbolic")},
        {QStringLiteral("doc.fill"), QStringLiteral("text-x-generic-symbolic")},
        {QStringLiteral("film.fill"), QStringLiteral("video-x-generic-symbolic")},
        {QStringLiteral("archivebox.fill"), QStringLiteral("package-x-generic-symbolic")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning-symbolic")},
        {QStringLiteral("gearshape"), QStringLiteral("emblem-system-symbolic")},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("view-refresh-symbolic")},
        {QStringLiteral("checkmark.circle.fill"), QString()},
        {QStringLiteral("xmark"), QStringLiteral("window-close-symbolic")},
        {QStringLiteral("tray"), QString()},
        {QStringLiteral("music.note"), QStringLiteral("audio-x-generic-symbolic")},
        {QStringLiteral("doc.richtext.fill"), QString()},
        {QStringLiteral("doc.zipper"), QString()},
        {QStringLiteral("laptopcomputer"), QStringLiteral("computer-symbolic")},
        {QStringLiteral("candybarphone"), QString()},
        {QStringLiteral("globe"), QStringLiteral("web-browser-symbolic")},
        {QStringLiteral("externaldrive"), QStringLiteral("drive-harddisk-symbolic")},
        {QStringLiteral("arrow.down.circle"), QString()},
        {QStringLiteral("folder.badge.questionmark"), QString()},
        {QStringLiteral("info.circle"), QString()},
        {QStringLiteral("play.fill"), QStringLiteral("media-playback-start-symbolic")},
        {QStringLiteral("stop.fill"), QStringLiteral("media-playback-stop-symbolic")},
        {QStringLiteral("icloud.and.arrow.up.fill"), QString()},
        {QStringLiteral("doc.on.doc.fill"), QStringLiteral("edit-copy-symbolic")},
        {QStringLiteral("externaldrive.badge.checkmark"), QString()},
    };
    return names;
}

} // namespace

QString shippedPath(const QString& symbol) {
    static const bool registered = (initSymbolResources(), true);
    Q_UNUSED(registered);
    return QStringLiteral(":/orlavant/symbols/") + symbol + QStringLiteral(".svg");
}

QStringList symbolNames() {
    QStringList names = themeNames().keys();
    names.sort();
    return names;
}

bool isKnown(const QString& symbol) {
    return themeNames().contains(symbol);
}

QIcon icon(const QString& symbol) {
    static QHash<QString, QIcon> cache;
    auto cached = cache.constFind(symbol);
    if (cached != cache.constEnd())
        return *cached;

    const QString known = isKnown(symbol) ? symbol : QStringLiteral("doc.fill");
    QIcon shipped(shippedPath(known));
    const QString themeName = themeNames().value(known);
    QIcon result = themeName.isEmpty() ? shipped : QIcon::fromTheme(themeName, shipped);
    cache.insert(symbol, result);
    return result;
}

QPixmap tinted(const QString& symbol, const QColor& color, int size, qreal devicePixelRatio) {
    const int pixels = qMax(1, qRound(size * devicePixelRatio));
    QPixmap source = icon(symbol).pixmap(QSize(pixels, pixels), 1.0);
    QPixmap result(pixels, pixels);
    result.fill(Qt::transparent);
    {
        QPainter painter(&result);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        // Centre what the engine gave (theme icons may come back smaller than asked).
        const QRect target(QPoint((pixels - source.width()) / 2, (pixels - source.height()) / 2),
                           source.size());
        painter.drawPixmap(target, source);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(result.rect(), color);
    }
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

const QPixmap& TintedCache::get(const QString& symbol, const QColor& color, int size,
                                qreal devicePixelRatio) {
    const Key key{symbol, color.rgba(), size, devicePixelRatio};
    auto found = m_pixmaps.find(key);
    if (found == m_pixmaps.end())
        found = m_pixmaps.insert(key, tinted(symbol, color, size, devicePixelRatio));
    return *found;
}

} // namespace Icons

SymbolLabel::SymbolLabel(const QString& symbol, const QColor& color, int size, QWidget* parent)
    : QLabel(parent)
    , m_symbol(symbol)
    , m_color(color)
    , m_size(size) {
    setAlignment(Qt::AlignCenter);
    setAttribute(Qt::WA_TranslucentBackground);
    refresh();
}

void SymbolLabel::setSymbol(const QString& symbol) {
    if (symbol == m_symbol)
        return;
    m_symbol = symbol;
    refresh();
}

void SymbolLabel::setColor(const QColor& color) {
    if (color == m_color)
        return;
    m_color = color;
    refresh();
}

void SymbolLabel::setSymbolSize(int size) {
    m_size = size;
    refresh();
}

void SymbolLabel::refresh() {
    if (m_symbol.isEmpty()) {
        clear();
        return;
    }
    setPixmap(Icons::tinted(m_symbol, m_color, m_size, devicePixelRatioF()));
    setMinimumSize(m_size, m_size);
}
