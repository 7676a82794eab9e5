#include "dialogs/form3.h"

#include "app/form1.h"
#include "app/mouse_hook.h"
#include "dialogs/dialog_widgets.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>

namespace {
constexpr QSize kClientSize(385, 290);
constexpr QRect kBannerGeometry(0, 0, 385, 103);
constexpr QRect kMemoGeometry(22, 132, 341, 76);
constexpr QRect kGroupGeometry(24, 224, 336, 51);
const QString kNotLive = QStringLiteral("尚未啟動直播模式");
} // namespace

TForm3::TForm3(TForm1 *mainWindow) : QDialog(mainWindow), Form1(mainWindow)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("關於Morlanex!"));
    setFixedSize(kClientSize);
    morlanex::dialogs::paintCream(this);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(QPixmap(QStringLiteral(":/skin/banner.png")));
    Image1->setGeometry(kBannerGeometry);

    Label3 = morlanex::dialogs::label(Image1, QStringLiteral("0.0.0.0"),
                                      QRect(kBannerGeometry.width() - 12 - 160, 84, 160, 14));
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont small = Label3->font();
    small.setPixelSize(11);
    Label3->setFont(small);
    QPalette white = Label3->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    Label3->setPalette(white);

    Label2 = morlanex::dialogs::label(this, QStringLiteral("Copyright (C) Ulma. All Rights Reserved."),
                                      QRect(0, 110, kClientSize.width(), 16));
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignCenter);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(kMemoGeometry);
    Memo1->setReadOnly(true);
    Memo1->setFrameShape(QFrame::NoFrame);
    Memo1->setFocusPolicy(Qt::NoFocus);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setPlainText(helpText(QString::fromStdString(Form1->config().portalUrl)));
    QPalette memo = Memo1->palette();
    memo.setColor(QPalette::Base, Qt::white);
    memo.setColor(QPalette::Text, QColor(128, 128, 128));
    Memo1->setPalette(memo);
    // It carries the window class of an embedded HTML view, whose right clicks the
    // application-wide mouse filter swallows.
    Memo1->setProperty("windowClass", QString::fromLatin1(MouseHook::kBlockedClass));
    Memo1->viewport()->setProperty("windowClass", QString::fromLatin1(MouseHook::kBlockedClass));
    // Qt raises the context menu from the press on its own, past any mouse filter.
    Memo1->setContextMenuPolicy(Qt::NoContextMenu);

    GroupBox1 = new QGroupBox(QStringLiteral("視訊分享網路位置"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(kGroupGeometry);
    Label1 = morlanex::dialogs::label(GroupBox1, QStringLiteral("視訊直播尚未啟動"),
                                      QRect(4, 22, kGroupGeometry.width() - 8, 18));
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
}

QString TForm3::helpText(const QString &portalUrl)
{
    return QStringLiteral(
               "▼說明:\n"
               "1. 本軟體為開放分享之工具軟體,Ulma 保留本軟體之一切權利,包括收費與使用條款之訂定.\n"
               "2. 本軟體必須連線至 Zanvu 媒體伺服器才能運作;此連線僅用來讓收視者得知您分享視訊的網路位置,"
               "收視者無法由此取得您電腦中的任何其他資訊.\n"
               "3. 開始分享後,收視者即可使用 Zanvu 的 Morlanex! 收視程式找到您的頻道.\n"
               "   Zanvu 軟體下載網址: %1\n"
               "4. 系統防火牆可能會阻擋本軟體的連線,此時請您手動解除防火牆對本軟體的限制.\n"
               "5. 若有任何問題,歡迎來信至 Ulma 服務信箱:\n"
               "   service@ulma.example\n"
               "\n"
               "▼商務版本說明:\n"
               "1. 需要更多服務與支援的商務使用者,歡迎與 Ulma 聯絡,商務信箱:\n"
               "   business@ulma.example\n"
               "2. 商務版本可為企業及其產品提供更完整的行銷內容.")
        .arg(portalUrl);
}

void TForm3::showCentred()
{
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    exec();
}

void TForm3::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    FormShow();
}

void TForm3::FormShow()
{
    Label3->setText(Form1->ownVersion());
    if (Form1->liveActive())
        Label1->setText(Form1->nodePublicAddress() + QLatin1Char(':') + QString::number(Form1->localPort()));
    else
        Label1->setText(kNotLive);
    Memo1->moveCursor(QTextCursor::Start);
}
