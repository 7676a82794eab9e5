// Morlanex: a live video channel from a Linux desktop.
#include "app/main_window.h"
#include "app/morlanex_app.h"
#include "app/single_instance.h"
#include "app/termination_signals.h"
#include "app/translation.h"
#include "media/netsink/network_sink.h"

#include <QApplication>

int main(int argc, char **argv) {
    // Open files for the stream's viewers: the limit is the whole process's, so it is set here.
    morlanex::raiseOpenFileLimit(morlanex::openFilesNeeded(morlanex::NetworkSinkConfig{}));
    QApplication app(argc, argv);
    installTranslation(app, morlanex::languageFromEnvironment());
    QApplication::setDesktopFileName(QStringLiteral("example.morlanex.Morlanex"));
    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Role::HandedOver:
        return 0;
    case SingleInstance::Role::NoAnswer:
        return 1;
    case SingleInstance::Role::First:
    case SingleInstance::Role::Unguarded:
        break;
    }
    QApplication::setQuitOnLastWindowClosed(false);  // hiding to the tray must not end the run
    TerminationSignals endRequests;  // caught from before the windows exist until after they are gone
    MorlanexApp morlanex;
    MainWindow *window = morlanex.mainWindow.get();
    QObject::connect(window, &MainWindow::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    // A signal, or the desktop session quitting the application, ends the run as the exit item
    // does: the close notice goes to the directory. A second request finds the window closed.
    QObject::connect(&endRequests, &TerminationSignals::received, window, &MainWindow::exitProgram);
    QObject::connect(&app, &QApplication::aboutToQuit, window, &MainWindow::exitProgram);
    QObject::connect(&instance, &SingleInstance::activationRequested, window, &MainWindow::showFromTray);
    return app.exec();
}
