// The wizard's pages: where every control stands and what it says.
#include "dialogs/form2.h"

#include "app/form1.h"
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

QToolButton *speedButton(QWidget *parent, const char *name, const QString &text, QRect geometry)
{
    auto *b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setText(text);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setFocusPolicy(Qt::NoFocus); // Enter never advances the wizard
    b->setGeometry(geometry);
    return b;
}

QToolButton *pictureButton(QWidget *parent, const char *name, const QString &resource, QPoint at)
{
    auto *b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setIcon(QIcon(resource));
    b->setIconSize(QSize(64, 64));
    b->setFocusPolicy(Qt::NoFocus);
    b->setGeometry(QRect(at, QSize(71, 71)));
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

QFrame *page(QWidget *parent, const char *name, const QString &heading)
{
    auto *p = new QFrame(parent);
    p->setObjectName(QLatin1String(name));
    p->setGeometry(kPageGeometry);
    if (!heading.isEmpty())
        label(p, heading, QRect(kLeft, 14, kWidth, 18));
    return p;
}

QComboBox *dropDown(QWidget *parent, const char *name, QRect geometry)
{
    auto *c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->setEditable(false);
    c->setGeometry(geometry);
    return c;
}

QLineEdit *editor(QWidget *parent, const char *name, QRect geometry)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(geometry);
    return e;
}
} // namespace

TForm2::TForm2(TForm1 *mainWindow) : QDialog(mainWindow), Form1(mainWindow)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("快速設定精靈"));
    setFixedSize(kClientSize);
    setModal(true);
    morlanex::dialogs::paintCream(this);

    buildPages();
    connectHandlers();
}

void TForm2::buildPages()
{
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(QPixmap(QStringLiteral(":/skin/wizard_strip.png")));
    Image1->setGeometry(kStripGeometry);

    buildModePage();
    buildVideoPage();
    buildAudioPage();
    buildChannelPage();
    buildCompressionPage();
    buildDonePage();

    const int buttonsTop = kStripGeometry.bottom() + 12;
    SpeedButton5 = speedButton(this, "SpeedButton5", QStringLiteral("取消"),
                               QRect(QPoint(kClientSize.width() - 8 - kSpeedButtonSize.width(), buttonsTop),
                                     kSpeedButtonSize));
    SpeedButton4 = speedButton(this, "SpeedButton4", QStringLiteral("重新選取設定模式"),
                               QRect(QPoint(SpeedButton5->x() - 6 - kSpeedButtonSize.width(), buttonsTop),
                                     kSpeedButtonSize));
    SpeedButton4->hide();
    showPage(Panel1);
}

void TForm2::buildModePage()
{
    Panel1 = page(this, "Panel1", QStringLiteral("■ 指定設定模式"));

    auto *last = new QGroupBox(QStringLiteral("啟用上一次設定"), Panel1);
    last->setGeometry(kLeft, 46, kWidth, 110);
    SpeedButton3 = pictureButton(last, "SpeedButton3", QStringLiteral(":/skin/wizard_last.png"), QPoint(16, 26));
    label(last, QStringLiteral("依循上一次的視訊裝置設定來啟動"), QRect(100, 50, 236, 18));

    auto *fresh = new QGroupBox(QStringLiteral("設定新視訊裝置"), Panel1);
    fresh->setGeometry(kLeft, 170, kWidth, 110);
    SpeedButton2 = pictureButton(fresh, "SpeedButton2", QStringLiteral(":/skin/wizard_new.png"), QPoint(16, 26));
    label(fresh, QStringLiteral("設定新的視訊裝置來源"), QRect(100, 50, 236, 18));

    QLabel *note = label(Panel1, QStringLiteral("＊請先確定視訊裝置已安置在電腦上,如有電源請先開啟."),
                         QRect(kLeft, 296, kWidth, 36));
    note->setWordWrap(true);
}

void TForm2::buildVideoPage()
{
    Panel2 = page(this, "Panel2", QStringLiteral("■ 選擇您的影像視訊來源裝置"));
    label(Panel2, QStringLiteral("視訊驅動裝置"), QRect(kLeft, 56, kWidth, 18));
    ComboBox1 = dropDown(Panel2, "ComboBox1", QRect(kLeft, 78, kWidth, 24));
    SpeedButton6 = speedButton(Panel2, "SpeedButton6", QStringLiteral("重新搜尋視訊裝置"),
                               QRect(QPoint(kLeft + kWidth - kSpeedButtonSize.width(), 112), kSpeedButtonSize));
    SpeedButton7 = speedButton(Panel2, "SpeedButton7", QStringLiteral("下一步"), kNextButtonGeometry);
}

void TForm2::buildAudioPage()
{
    Panel3 = page(this, "Panel3", QStringLiteral("■ 選擇您的聲音輸入來源裝置"));
    label(Panel3, QStringLiteral("音源驅動裝置"), QRect(kLeft, 56, kWidth, 18));
    ComboBox2 = dropDown(Panel3, "ComboBox2", QRect(kLeft, 78, kWidth, 24));
    Label8 = label(Panel3, QStringLiteral("音源裝置"), QRect(kLeft, 118, kWidth, 18));
    Label8->setObjectName(QStringLiteral("Label8"));
    Label8->setEnabled(false);
    ComboBox3 = dropDown(Panel3, "ComboBox3", QRect(kLeft, 140, kWidth, 24));
    ComboBox3->setEnabled(false);
    ComboBox4 = dropDown(Panel3, "ComboBox4", QRect(kLeft, 140, kWidth, 24));
    ComboBox4->hide();
    SpeedButton1 = speedButton(Panel3, "SpeedButton1", QStringLiteral("下一步"), kNextButtonGeometry);
}

void TForm2::buildChannelPage()
{
    Panel4 = page(this, "Panel4", QStringLiteral("■ 輸入您的視訊頻道名稱與頻道簡介"));
    label(Panel4, QStringLiteral("頻道名稱"), QRect(kLeft, 54, 64, 18));
    Edit1 = editor(Panel4, "Edit1", QRect(kLeft + 68, 51, kWidth - 68, 24));
    label(Panel4, QStringLiteral("頻道簡介"), QRect(kLeft, 88, 64, 18));
    Edit2 = editor(Panel4, "Edit2", QRect(kLeft + 68, 85, kWidth - 68, 24));
    label(Panel4, QStringLiteral("■ 設定搜尋此頻道的關鍵字"), QRect(kLeft, 136, kWidth, 18));
    Edit3 = editor(Panel4, "Edit3", QRect(kLeft, 160, kWidth, 24));
    label(Panel4, QStringLiteral("例如: 自拍 景點 飯店 活動 現場實況"), QRect(kLeft, 192, kWidth, 18));
    SpeedButton8 = speedButton(Panel4, "SpeedButton8", QStringLiteral("下一步"), kNextButtonGeometry);
    SpeedButton8->setEnabled(false);
}

void TForm2::buildCompressionPage()
{
    Panel5 = page(this, "Panel5", QStringLiteral("■ 設定影像壓縮比"));
    auto *variable = new QGroupBox(QStringLiteral("變頻模式MBR"), Panel5);
    variable->setGeometry(kLeft, 46, kWidth, 60);
    auto *fixed = new QGroupBox(QStringLiteral("固定模式"), Panel5);
    fixed->setGeometry(kLeft, 120, kWidth, 112);

    const auto radio = [](QWidget *parent, const char *name, const QString &text, int top) {
        auto *r = new QRadioButton(text, parent);
        r->setObjectName(QLatin1String(name));
        r->setGeometry(16, top, kWidth - 32, 22);
        return r;
    };
    RadioButton1 = radio(variable, "RadioButton1", QStringLiteral("自動- 依頻寬現狀浮動調整(預設)"), 26);
    RadioButton2 = radio(fixed, "RadioButton2", QStringLiteral("高- 畫質較差 頻寬消耗最少"), 26);
    RadioButton3 = radio(fixed, "RadioButton3", QStringLiteral("中- 畫質適中 頻寬消耗適中"), 52);
    RadioButton4 = radio(fixed, "RadioButton4", QStringLiteral("低- 畫質最佳 頻寬消耗最大"), 78);
    // The two groups are one choice: a fixed level replaces the automatic one.
    RadioGroup = new QButtonGroup(this);
    RadioGroup->setExclusive(true);
    int level = 0;
    for (QRadioButton *r : {RadioButton1, RadioButton2, RadioButton3, RadioButton4})
        RadioGroup->addButton(r, level++);
    RadioButton1->setChecked(true);

    SpeedButton9 = speedButton(Panel5, "SpeedButton9", QStringLiteral("下一步"), kNextButtonGeometry);
}

void TForm2::buildDonePage()
{
    Panel6 = page(this, "Panel6", QString());
    QLabel *done = label(Panel6, QStringLiteral("■ 設定完成: 按下[完成] 後將自動進入[視訊預覽模式]."),
                         QRect(kLeft, 40, kWidth, 36));
    done->setWordWrap(true);

    // The start icon stands in the sentence, where the action button's picture would be.
    auto *line = new QWidget(Panel6);
    line->setGeometry(kLeft, 86, kWidth, 28);
    auto *row = new QHBoxLayout(line);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    row->addWidget(new QLabel(QStringLiteral("■ 稍後您將可按下"), line));
    Image2 = new QLabel(line);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setFixedSize(26, 26);
    Image2->setPixmap(QPixmap(QStringLiteral(":/skin/action_start.png"))
                          .scaled(26, 26, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    row->addWidget(Image2);
    row->addWidget(new QLabel(QStringLiteral("來啟動視訊現場直播."), line));
    row->addStretch(1);

    QLabel *found = label(Panel6, QStringLiteral("■ 透過Zanvu,即可在網路上搜尋到您的頻道."),
                          QRect(kLeft, 124, kWidth, 36));
    found->setWordWrap(true);
    label(Panel6, QStringLiteral("Zanvu官方網址"), QRect(kLeft, 176, 96, 18));
    const QString portal = QString::fromStdString(Form1->config().portalUrl);
    Label16 = label(Panel6, portal, QRect(kLeft + 100, 176, kWidth - 100, 18));
    Label16->setObjectName(QStringLiteral("Label16"));
    Label16->setCursor(Qt::PointingHandCursor);
    QFont linkFont = Label16->font();
    linkFont.setUnderline(true);
    Label16->setFont(linkFont);
    QPalette blue = Label16->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    Label16->setPalette(blue);
    Label16->installEventFilter(this);

    SpeedButton11 = speedButton(Panel6, "SpeedButton11", QStringLiteral("完成"), kNextButtonGeometry);
}
