// The wizard's pages: where every control stands and what it says.
#include "dialogs/setup_wizard.h"

#include "dialogs/dialog_widgets.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QToolButton>

using morlanex::dialogs::label;

namespace {
constexpr QSize kClientSize(492, 426);
constexpr QRect kStripGeometry(2, 2, 116, 381);
constexpr QRect kPageGeometry(120, 2, 372, 381);
constexpr QRect kNextButtonGeometry(239, 352, 121, 21);
constexpr QSize kSpeedButtonSize(121, 21);
constexpr int kLeft = 12;
constexpr int kWidth = 348;

QToolButton *speedButton(QWidget *parent, const char *name, const QString &text, QRect geometry) {
    auto *b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setText(text);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setFocusPolicy(Qt::NoFocus);  // Enter never advances the wizard
    b->setGeometry(geometry);
    return b;
}

QToolButton *pictureButton(QWidget *parent, const char *name, const QString &resource, QPoint at) {
    auto *b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setIcon(QIcon(resource));
    b->setIconSize(QSize(64, 64));
    b->setFocusPolicy(Qt::NoFocus);
    b->setGeometry(QRect(at, QSize(71, 71)));
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

QFrame *page(QWidget *parent, const char *name, const QString &heading) {
    auto *p = new QFrame(parent);
    p->setObjectName(QLatin1String(name));
    p->setGeometry(kPageGeometry);
    if (!heading.isEmpty()) label(p, heading, QRect(kLeft, 14, kWidth, 18));
    return p;
}

QComboBox *dropDown(QWidget *parent, const char *name, QRect geometry) {
    auto *c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->setEditable(false);
    c->setGeometry(geometry);
    return c;
}

QLineEdit *editor(QWidget *parent, const char *name, QRect geometry) {
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(geometry);
    return e;
}
}  // namespace

SetupWizard::SetupWizard(WizardHost &host, QWidget *parent) : QDialog(parent), host(host) {
    setObjectName(QStringLiteral("setupWizard"));
    setWindowTitle(tr("快速設定精靈"));
    setFixedSize(kClientSize);
    setModal(true);
    morlanex::dialogs::paintCream(this);

    buildPages();
    connectHandlers();
}

void SetupWizard::buildPages() {
    pictureStrip = new QLabel(this);
    pictureStrip->setObjectName(QStringLiteral("pictureStrip"));
    pictureStrip->setPixmap(QPixmap(tr(":/skin/wizard_strip.png")));  // a picture with words: translated
    pictureStrip->setGeometry(kStripGeometry);

    buildModePage();
    buildVideoPage();
    buildAudioPage();
    buildChannelPage();
    buildCompressionPage();
    buildDonePage();

    const int buttonsTop = kStripGeometry.bottom() + 12;
    cancelButton =
        speedButton(this, "cancelButton", tr("取消"),
                    QRect(QPoint(kClientSize.width() - 8 - kSpeedButtonSize.width(), buttonsTop), kSpeedButtonSize));
    chooseModeAgainButton =
        speedButton(this, "chooseModeAgainButton", tr("重新選取設定模式"),
                    QRect(QPoint(cancelButton->x() - 6 - kSpeedButtonSize.width(), buttonsTop), kSpeedButtonSize));
    chooseModeAgainButton->hide();
    showPage(modePage);
}

void SetupWizard::buildModePage() {
    modePage = page(this, "modePage", tr("■ 指定設定模式"));

    auto *last = new QGroupBox(tr("啟用上一次設定"), modePage);
    last->setGeometry(kLeft, 46, kWidth, 110);
    useLastButton = pictureButton(last, "useLastButton", QStringLiteral(":/skin/wizard_last.png"), QPoint(16, 26));
    label(last, tr("依循上一次的視訊裝置設定來啟動"), QRect(100, 50, 236, 18));

    auto *fresh = new QGroupBox(tr("設定新視訊裝置"), modePage);
    fresh->setGeometry(kLeft, 170, kWidth, 110);
    newSetupButton = pictureButton(fresh, "newSetupButton", QStringLiteral(":/skin/wizard_new.png"), QPoint(16, 26));
    label(fresh, tr("設定新的視訊裝置來源"), QRect(100, 50, 236, 18));

    QLabel *note =
        label(modePage, tr("＊請先確定視訊裝置已安置在電腦上,如有電源請先開啟."), QRect(kLeft, 296, kWidth, 36));
    note->setWordWrap(true);
}

void SetupWizard::buildVideoPage() {
    videoPage = page(this, "videoPage", tr("■ 選擇您的影像視訊來源裝置"));
    label(videoPage, tr("視訊驅動裝置"), QRect(kLeft, 56, kWidth, 18));
    videoDeviceList = dropDown(videoPage, "videoDeviceList", QRect(kLeft, 78, kWidth, 24));
    searchAgainButton = speedButton(videoPage, "searchAgainButton", tr("重新搜尋視訊裝置"),
                                    QRect(QPoint(kLeft + kWidth - kSpeedButtonSize.width(), 112), kSpeedButtonSize));
    videoNextButton = speedButton(videoPage, "videoNextButton", tr("下一步"), kNextButtonGeometry);
}

void SetupWizard::buildAudioPage() {
    audioPage = page(this, "audioPage", tr("■ 選擇您的聲音輸入來源裝置"));
    label(audioPage, tr("音源驅動裝置"), QRect(kLeft, 56, kWidth, 18));
    audioDeviceList = dropDown(audioPage, "audioDeviceList", QRect(kLeft, 78, kWidth, 24));
    recordingLineCaption = label(audioPage, tr("音源裝置"), QRect(kLeft, 118, kWidth, 18));
    recordingLineCaption->setObjectName(QStringLiteral("recordingLineCaption"));
    recordingLineCaption->setEnabled(false);
    recordingLineList = dropDown(audioPage, "recordingLineList", QRect(kLeft, 140, kWidth, 24));
    recordingLineList->setEnabled(false);
    recordingPinList = dropDown(audioPage, "recordingPinList", QRect(kLeft, 140, kWidth, 24));
    recordingPinList->hide();
    audioNextButton = speedButton(audioPage, "audioNextButton", tr("下一步"), kNextButtonGeometry);
}

void SetupWizard::buildChannelPage() {
    channelPage = page(this, "channelPage", tr("■ 輸入您的視訊頻道名稱與頻道簡介"));
    label(channelPage, tr("頻道名稱"), QRect(kLeft, 54, 64, 18));
    channelNameEdit = editor(channelPage, "channelNameEdit", QRect(kLeft + 68, 51, kWidth - 68, 24));
    label(channelPage, tr("頻道簡介"), QRect(kLeft, 88, 64, 18));
    channelDescriptionEdit = editor(channelPage, "channelDescriptionEdit", QRect(kLeft + 68, 85, kWidth - 68, 24));
    label(channelPage, tr("■ 設定搜尋此頻道的關鍵字"), QRect(kLeft, 136, kWidth, 18));
    keywordsEdit = editor(channelPage, "keywordsEdit", QRect(kLeft, 160, kWidth, 24));
    label(channelPage, tr("例如: 自拍 景點 飯店 活動 現場實況"), QRect(kLeft, 192, kWidth, 18));
    channelNextButton = speedButton(channelPage, "channelNextButton", tr("下一步"), kNextButtonGeometry);
    channelNextButton->setEnabled(false);
}

void SetupWizard::buildCompressionPage() {
    compressionPage = page(this, "compressionPage", tr("■ 設定影像壓縮比"));
    auto *variable = new QGroupBox(tr("變頻模式MBR"), compressionPage);
    variable->setGeometry(kLeft, 46, kWidth, 60);
    auto *fixed = new QGroupBox(tr("固定模式"), compressionPage);
    fixed->setGeometry(kLeft, 120, kWidth, 112);

    const auto radio = [](QWidget *parent, const char *name, const QString &text, int top) {
        auto *r = new QRadioButton(text, parent);
        r->setObjectName(QLatin1String(name));
        r->setGeometry(16, top, kWidth - 32, 22);
        return r;
    };
    levelAutomaticButton = radio(variable, "levelAutomaticButton", tr("自動- 依頻寬現狀浮動調整(預設)"), 26);
    levelHighButton = radio(fixed, "levelHighButton", tr("高- 畫質較差 頻寬消耗最少"), 26);
    levelMediumButton = radio(fixed, "levelMediumButton", tr("中- 畫質適中 頻寬消耗適中"), 52);
    levelLowButton = radio(fixed, "levelLowButton", tr("低- 畫質最佳 頻寬消耗最大"), 78);
    // The two groups are one choice: a fixed level replaces the automatic one.
    levelGroup = new QButtonGroup(this);
    levelGroup->setExclusive(true);
    int level = 0;
    for (QRadioButton *r : {levelAutomaticButton, levelHighButton, levelMediumButton, levelLowButton})
        levelGroup->addButton(r, level++);
    levelAutomaticButton->setChecked(true);

    compressionNextButton = speedButton(compressionPage, "compressionNextButton", tr("下一步"), kNextButtonGeometry);
}

void SetupWizard::buildDonePage() {
    donePage = page(this, "donePage", QString());
    QLabel *done =
        label(donePage, tr("■ 設定完成: 按下[完成] 後將自動進入[視訊預覽模式]."), QRect(kLeft, 40, kWidth, 36));
    done->setWordWrap(true);

    // The start icon stands in the sentence, where the action button's picture would be.
    auto *line = new QWidget(donePage);
    line->setGeometry(kLeft, 86, kWidth, 28);
    auto *row = new QHBoxLayout(line);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    row->addWidget(new QLabel(tr("■ 稍後您將可按下"), line));
    startIcon = new QLabel(line);
    startIcon->setObjectName(QStringLiteral("startIcon"));
    startIcon->setFixedSize(26, 26);
    startIcon->setPixmap(QPixmap(QStringLiteral(":/skin/action_start.png"))
                             .scaled(26, 26, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    row->addWidget(startIcon);
    row->addWidget(new QLabel(tr("來啟動視訊現場直播."), line));
    row->addStretch(1);

    QLabel *found = label(donePage, tr("■ 透過Zanvu,即可在網路上搜尋到您的頻道."), QRect(kLeft, 124, kWidth, 36));
    found->setWordWrap(true);
    label(donePage, tr("Zanvu官方網址"), QRect(kLeft, 176, 96, 18));
    const QString portal = host.portalUrl();
    portalLink = label(donePage, portal, QRect(kLeft + 100, 176, kWidth - 100, 18));
    portalLink->setObjectName(QStringLiteral("portalLink"));
    portalLink->setCursor(Qt::PointingHandCursor);
    QFont linkFont = portalLink->font();
    linkFont.setUnderline(true);
    portalLink->setFont(linkFont);
    QPalette blue = portalLink->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    portalLink->setPalette(blue);
    portalLink->installEventFilter(this);

    finishButton = speedButton(donePage, "finishButton", tr("完成"), kNextButtonGeometry);
}
