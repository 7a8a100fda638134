#pragma once

#include <QColor>
#include <QWidget>
#include <functional>

class QPushButton;

// The overview screen: fixed sample content, no state, no calls. Its only behaviour is to hand
// the two navigation requests back to its creator.
class DashboardView : public QWidget {
    Q_OBJECT
public:
    explicit DashboardView(QWidget* parent = nullptr);
    DashboardView(std::function<void()> onNavigateFiles, std::function<void()> onNavigateSync,
                  QWidget* parent = nullptr);

    std::function<void()> onNavigateFiles;
    std::function<void()> onNavigateSync;

private:
    QWidget* statCard(const QString& icon, const QColor& color, const QString& title, const QString& value,
                      const QString& subtitle);
    QWidget* quickFolder(const QString& icon, const QString& title, const QString& size);
    QWidget* fileRow(const QString& icon, const QString& name, const QString& type, const QString& modified,
                     const QString& size, bool isNew);
    QWidget* sectionHeader(const QString& title, const QString& objectName, std::function<void()> action);
};
