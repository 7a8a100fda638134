#include "app/gui/OrlavantApp.h"
#include "platform/Autostart.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "platform/ShutdownSignals.h"
#include "platform/SingleInstance.h"
#include "sync/SyncLedger.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    OrlavantApp::Options options;
    for (int i = 1; i < argc; ++i)
        options.startInBackground =
            options.startInBackground || std::strcmp(argv[i], Autostart::BackgroundOption) == 0;

    // First, before anything heavy: a second start only hands over to the running one and ends.
    const QString ledgerDirectory = SyncLedger::defaultDirectory();
    SingleInstance instance(SingleInstance::nameFor(Settings::defaultPath(), ledgerDirectory),
                            ledgerDirectory);
    if (!instance.tryLock()) {
        switch (instance.handOver(!options.startInBackground, std::chrono::seconds(10))) {
        case SingleInstance::HandOver::Delivered:
            return 0;
        case SingleInstance::HandOver::NoAnswer:
            std::fprintf(stderr,
                         "Orlavant is already running but does not answer; end it and start it again.\n");
            return 1;
        case SingleInstance::HandOver::BecamePrimary:
            break;
        }
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orlavant"));
    QApplication::setOrganizationName(QStringLiteral("Orlavant"));
    QApplication::setDesktopFileName(QStringLiteral("orlavant"));
    // A logout's SIGTERM (or Ctrl+C) ends the program the way Quit does.
    ShutdownSignals shutdownSignals;
    instance.listen();

    OrlavantApp app(options);
    QObject::connect(&app, &OrlavantApp::quitRequested, &application, [] { QCoreApplication::exit(0); });
    QObject::connect(&shutdownSignals, &ShutdownSignals::requested, &application, [](int signalNumber) {
        logLine(QStringLiteral("[Orlavant] Ending on signal %1.").arg(signalNumber));
        QCoreApplication::exit(0);
    });
    QObject::connect(&instance, &SingleInstance::showRequested, &app, [&app] {
        app.showWindow();
        logLine(QStringLiteral("[Orlavant] Started again: showing the window."));
    });
    app.start();
    const int status = QApplication::exec();
    // Later starts wait for the lock, held until the engine and the ledger are done.
    instance.stopListening();
    return status;
}
