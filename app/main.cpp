// Morlanex: a live video channel from a Linux desktop.
#include "app/form1.h"
#include "app/morlanex_app.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // hiding to the tray must not end the run
    MorlanexApp morlanex;
    QObject::connect(morlanex.Form1.get(), &TForm1::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    return app.exec();
}
