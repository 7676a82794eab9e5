#include "dialogs/form4.h"

#include "app/form1.h"

#include <QLabel>
#include <QTimer>

TForm4::TForm4(TForm1 *mainWindow)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool), Form1(mainWindow)
{
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("STARTPOP"));
    setFixedSize(111, 62);
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Label1 = new QLabel(QStringLiteral("按此開始"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(5000);
    connect(Timer1, &QTimer::timeout, this, &TForm4::closePopup);
}

void TForm4::closePopup()
{
    Timer1->stop();
    hide();
}

void TForm4::showWithText(const QString &text)
{
    Label1->setText(text);
    show();
}
