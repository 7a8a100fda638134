#include "ui/MetricCard.h"

#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/OrlavantTheme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

using namespace OrlavantTheme;

MetricCard::MetricCard(const QString& title, const QString& value, const QString& icon, const QColor& color,
                       QWidget* parent)
    : QFrame(parent)
    , m_color(color) {
    styleCard(this, QStringLiteral("metricCard"), white, border, 14);
    addShadow(this, QColor(0, 0, 0, 14), 12, 3, 14);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 16, 16, 16);
    row->setSpacing(14);

    QColor tint = color;
    tint.setAlphaF(0.12f);
    auto* tile = makeCard(QStringLiteral("metricIconTile"), tint, Qt::transparent, 10);
    tile->setFixedSize(44, 44);
    auto* tileLayout = new QVBoxLayout(tile);
    tileLayout->setContentsMargins(0, 0, 0, 0);
    m_icon = new SymbolLabel(icon, color, 24);
    tileLayout->addWidget(m_icon, 0, Qt::AlignCenter);
    row->addWidget(tile);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    m_title = makeLabel(title, uiFont(11, QFont::DemiBold), muted);
    m_value = makeLabel(value, uiFont(18, QFont::Bold), ink);
    texts->addWidget(m_title);
    texts->addWidget(m_value);
    row->addLayout(texts, 1);
}

QString MetricCard::title() const {
    return m_title->text();
}

QString MetricCard::value() const {
    return m_value->text();
}

QString MetricCard::icon() const {
    return m_icon->symbol();
}

void MetricCard::setValue(const QString& value) {
    m_value->setText(value);
}
