#include "dialogs/form3.h"

#include "app/form1.h"

#include <QGuiApplication>
#include <QScreen>

TForm3::TForm3(TForm1 *mainWindow) : QDialog(mainWindow), Form1(mainWindow)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("關於Morlanex!"));
    setFixedSize(385, 290);
}

void TForm3::showCentred()
{
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    exec();
}
