#include "dialogs/form4.h"

#include "app/form1.h"

#include <QBitmap>
#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QTimer>

namespace {
const QColor kColourKey(0, 0, 3);
constexpr QSize kDesignSize(111, 62);
constexpr QPoint kOffsetFromActionButton(50, 50);
constexpr int kLifetimeMs = 5000;
} // namespace

TForm4::TForm4(TForm1 *mainWindow)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool), Form1(mainWindow)
{
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("STARTPOP"));
    setFixedSize(kDesignSize);
    QPalette key = palette();
    key.setColor(QPalette::Window, kColourKey);
    setPalette(key);
    setAutoFillBackground(true);

    const QPixmap balloon(QStringLiteral(":/skin/balloon.png"));
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(balloon);
    Image1->setGeometry(QRect(QPoint(0, 0), balloon.isNull() ? QSize(102, 62) : balloon.size()));

    // Pixels of the colour key, and the form's own background around the picture, are outside.
    QImage shape(kDesignSize, QImage::Format_RGB32);
    shape.fill(kColourKey);
    {
        QPainter p(&shape);
        p.drawPixmap(0, 0, balloon);
    }
    setMask(QBitmap::fromImage(shape.createMaskFromColor(kColourKey.rgb(), Qt::MaskInColor)));

    Label1 = new QLabel(QStringLiteral("按此開始"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(2, 15, 96, 16);
    Label1->setAlignment(Qt::AlignCenter);
    QFont bold(QStringLiteral("Sans Serif"));
    bold.setStyleHint(QFont::SansSerif);
    bold.setPixelSize(12);
    bold.setBold(true);
    Label1->setFont(bold);
    QPalette white = Label1->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    Label1->setPalette(white);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kLifetimeMs);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, &TForm4::closePopup);
    Timer1->start(); // enabled from creation: the first showing does not restart it
}

void TForm4::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    FormShow();
}

void TForm4::FormShow()
{
    if (Form1 && Form1->Image7)
        move(Form1->Image7->mapToGlobal(QPoint(0, 0)) - kOffsetFromActionButton);
    raise();
    activateWindow();
    if (!Timer1->isActive())
        Timer1->start();
}

void TForm4::changeEvent(QEvent *e)
{
    QWidget::changeEvent(e);
    if (e->type() == QEvent::ActivationChange && isVisible() && !isActiveWindow())
        closePopup();
}

void TForm4::closePopup()
{
    Timer1->stop();
    hide();
}

void TForm4::showWithText(const QString &text)
{
    Label1->setText(text);
    if (isVisible())
        FormShow(); // already showing: no show event comes, so place and raise it here
    else
        show();
}
