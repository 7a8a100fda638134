#pragma once

#include <QColor>
#include <QFrame>
#include <QString>

class QLabel;
class SymbolLabel;

// One tile of the folder sync screen: a symbol on a tinted square, a title and a value.
class MetricCard : public QFrame {
    Q_OBJECT
public:
    MetricCard(const QString& title, const QString& value, const QString& icon, const QColor& color,
               QWidget* parent = nullptr);

    QString title() const;
    QString value() const;
    QString icon() const;
    QColor color() const { return m_color; }
    void setValue(const QString& value);

private:
    QColor m_color;
    SymbolLabel* m_icon;
    QLabel* m_title;
    QLabel* m_value;
};
