#include "dialogs/form2.h"

#include "app/form1.h"

TForm2::TForm2(TForm1 *mainWindow) : QDialog(mainWindow), Form1(mainWindow)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("快速設定精靈"));
    setFixedSize(492, 426);
    setModal(true);
}
