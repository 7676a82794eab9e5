#include "dialogs/about_box.h"

#include "dialogs/dialog_widgets.h"
#include "common/qt_translated_text.h"

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
const TranslatedText kNotLive{"AboutBox", QT_TRANSLATE_NOOP("AboutBox", "尚未啟動直播模式")};
}  // namespace

AboutBox::AboutBox(const QString &portalUrl, QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(tr("關於Morlanex!"));
    setFixedSize(kClientSize);
    morlanex::dialogs::paintCream(this);

    auto *banner = new QLabel(this);
    banner->setObjectName(QStringLiteral("banner"));
    banner->setPixmap(QPixmap(tr(":/skin/banner.png")));  // a picture with words: translated
    banner->setGeometry(kBannerGeometry);

    versionLabel = morlanex::dialogs::label(banner, QStringLiteral("0.0.0.0"),
                                            QRect(kBannerGeometry.width() - 12 - 160, 84, 160, 14));
    versionLabel->setObjectName(QStringLiteral("versionLabel"));
    versionLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont small = versionLabel->font();
    small.setPixelSize(11);
    versionLabel->setFont(small);
    QPalette white = versionLabel->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    versionLabel->setPalette(white);

    QLabel *maker = morlanex::dialogs::label(this, QStringLiteral("Copyright (C) Ulma. All Rights Reserved."),
                                             QRect(0, 110, kClientSize.width(), 16));
    maker->setObjectName(QStringLiteral("makerLabel"));
    maker->setAlignment(Qt::AlignCenter);

    helpText_ = new QPlainTextEdit(this);
    helpText_->setObjectName(QStringLiteral("helpText"));
    helpText_->setGeometry(kMemoGeometry);
    helpText_->setReadOnly(true);
    helpText_->setFrameShape(QFrame::NoFrame);
    helpText_->setFocusPolicy(Qt::NoFocus);
    helpText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    helpText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    helpText_->setPlainText(helpText(portalUrl));
    QPalette memo = helpText_->palette();
    memo.setColor(QPalette::Base, Qt::white);
    memo.setColor(QPalette::Text, QColor(128, 128, 128));
    helpText_->setPalette(memo);
    // It carries the window class of an embedded HTML view, whose right clicks the
    // application-wide mouse filter swallows.
    helpText_->setProperty("windowClass", QString::fromLatin1(morlanex::dialogs::kHtmlViewWindowClass));
    helpText_->viewport()->setProperty("windowClass", QString::fromLatin1(morlanex::dialogs::kHtmlViewWindowClass));
    // Qt raises the context menu from the press on its own, past any mouse filter.
    helpText_->setContextMenuPolicy(Qt::NoContextMenu);

    auto *location = new QGroupBox(tr("視訊分享網路位置"), this);
    location->setObjectName(QStringLiteral("locationBox"));
    location->setGeometry(kGroupGeometry);
    liveAddressLabel = morlanex::dialogs::label(location, tr("視訊直播尚未啟動"),
                                                QRect(4, 16, kGroupGeometry.width() - 8, 16));
    liveAddressLabel->setObjectName(QStringLiteral("liveAddressLabel"));
    liveAddressLabel->setAlignment(Qt::AlignCenter);
    outsideLabel = morlanex::dialogs::label(location, QString(), QRect(4, 32, kGroupGeometry.width() - 8, 16));
    outsideLabel->setObjectName(QStringLiteral("outsideLabel"));
    outsideLabel->setAlignment(Qt::AlignCenter);
}

QString AboutBox::helpText(const QString &portalUrl) {
    return tr("▼說明:\n"
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

void AboutBox::showCentred() {
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    exec();
}

void AboutBox::showEvent(QShowEvent *e) {
    QDialog::showEvent(e);
    // Version and network location, as they are at this moment.
    const AboutInfo now = info ? info() : AboutInfo{};
    versionLabel->setText(now.version);
    liveAddressLabel->setText(now.liveAddress.isEmpty() ? kNotLive : now.liveAddress);
    outsideLabel->setText(now.outside);
    helpText_->moveCursor(QTextCursor::Start);
}
