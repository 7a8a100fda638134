#include "app/gui/AppWindow.h"
#include "app/gui/OrlavantApp.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orlavant"));
    QApplication::setOrganizationName(QStringLiteral("Orlavant"));
    QApplication::setDesktopFileName(QStringLiteral("orlavant"));

    OrlavantApp app;
    app.window().show();
    return QApplication::exec();
}
