#pragma once

#include <QColor>
#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QStringList>

// The screens name their icons by symbol ("cloud.fill", "house.fill", ...). This is the one
// table from those names to what the desktop offers: the icon theme's symbolic icon when the
// theme has it, else the small drawing shipped with the program.
namespace Icons {
// The icon for a symbol name; the shipped drawing of "doc.fill" for an unknown name.
QIcon icon(const QString& symbol);
// True when the symbol has an entry in the table (theme name or shipped drawing).
bool isKnown(const QString& symbol);
// Every symbol of the table; each has a shipped drawing at shippedPath().
QStringList symbolNames();
QString shippedPath(const QString& symbol);
// The symbol drawn in one colour, `size` pixels square (at the screen's device pixel ratio).
QPixmap tinted(const QString& symbol, const QColor& color, int size, qreal devicePixelRatio = 1.0);

// Tinted symbols made once and kept: a list paints the same few symbols on every row.
class TintedCache {
public:
    const QPixmap& get(const QString& symbol, const QColor& color, int size, qreal devicePixelRatio);

private:
    struct Key {
        QString symbol;
        QRgb color;
        int size;
        qreal ratio;
        bool operator==(const Key&) const = default;
        friend size_t qHash(const Key& key, size_t seed = 0) {
            return qHashMulti(seed, key.symbol, key.color, key.size, key.ratio);
        }
    };
    QHash<Key, QPixmap> m_pixmaps;
};
} // namespace Icons

// A label that shows one symbol in one colour; it remembers which, so that code and tests can
// ask what it shows.
class SymbolLabel : public QLabel {
    Q_OBJECT
public:
    explicit SymbolLabel(const QString& symbol = {}, const QColor& color = Qt::black, int size = 16,
                         QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);
    void setColor(const QColor& color);
    void setSymbolSize(int size);
    QString symbol() const { return m_symbol; }
    QColor color() const { return m_color; }

private:
    void refresh();

    QString m_symbol;
    QColor m_color;
    int m_size;
};
