#include "app/form1.h"

#include "app/settings_file.h"
#include "audio/recording_control.h"
#include "dialogs/form2.h"
#include "dialogs/form3.h"
#include "dialogs/form4.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMovie>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWindow>

const QColor kStatusRed(255, 0, 0);
const QColor kStatusGreen(0, 128, 0);

namespace {
constexpr QSize kWindowSize(357, 458);
const QColor kColourKey(0, 0, 3);
const QString kConfirmReplace =
    QStringLiteral("視訊正在運作中,這樣做將會關閉先前的設定,確定要繼續嗎?");

QLabel *picture(QWidget *parent, const char *name, const QString &resource, QRect geometry)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QLatin1String(name));
    if (!resource.isEmpty())
        l->setPixmap(QPixmap(resource));
    l->setGeometry(geometry);
    return l;
}

QLabel *caption(QWidget *parent, const char *name, const QString &text, QRect geometry,
                const QColor &colour)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    return l;
}

QToolButton *toolButton(QWidget *parent, const char *name, const QString &icon,
                        const QString &hint, QRect geometry)
{
    auto *b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setIcon(QIcon(icon));
    b->setIconSize(QSize(16, 16));
    b->setAutoRaise(true);
    b->setToolTip(hint);
    b->setCursor(Qt::PointingHandCursor);
    b->setGeometry(geometry);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

QAction *menuItem(QMenu *menu, const char *name, const QString &text)
{
    QAction *a = text.isEmpty() ? menu->addSeparator() : menu->addAction(text);
    a->setObjectName(QLatin1String(name));
    return a;
}
} // namespace

TForm1::TForm1(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Morlanex!"));
    setWindowFlags(Qt::FramelessWindowHint | Qt::Window);
    setWindowIcon(QIcon(QStringLiteral(":/skin/app.png")));
    setFixedSize(kWindowSize);
    QPalette p = palette();
    p.setColor(QPalette::Window, kColourKey);
    setPalette(p);
    setAutoFillBackground(true);

    buildWidgets();
    buildMenus();
    buildTray();

    // The skin's colour key cuts the window's shape.
    const QPixmap skin(QStringLiteral(":/skin/skin.png"));
    if (!skin.isNull())
        setMask(skin.createMaskFromColor(kColourKey, Qt::MaskInColor));

    const QRect screen = QGuiApplication::primaryScreen()
                             ? QGuiApplication::primaryScreen()->availableGeometry()
                             : QRect(0, 0, 1024, 768);
    move(screen.center() - rect().center());

    FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::attachForms(TForm2 *wizard, TForm3 *about, TForm4 *popup)
{
    Form2 = wizard;
    Form3 = about;
    Form4 = popup;
}

void TForm1::buildWidgets()
{
    Image3 = picture(this, "Image3", QStringLiteral(":/skin/skin.png"), rect());
    Panel3 = new QWidget(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setGeometry(rect());

    Label6 = caption(Panel3, "Label6", QStringLiteral("Morlanex!"), QRect(26, 6, 120, 16), Qt::white);
    Label6->setFont(QFont(QStringLiteral("DejaVu Sans"), 8, QFont::Bold));
    Image13 = picture(Panel3, "Image13", QStringLiteral(":/skin/menu.png"), QRect(11, 9, 10, 11));
    Image13->setToolTip(QStringLiteral("功能選單"));
    Image14 = picture(Panel3, "Image14", QStringLiteral(":/skin/menu_hot.png"), QRect(11, 9, 10, 11));
    Image14->setToolTip(QStringLiteral("功能選單"));
    Image14->hide();
    Image2 = picture(Panel3, "Image2", QString(), QRect(304, 5, 43, 17));
    Image2->setToolTip(QStringLiteral("關閉視窗"));
    ImageList4 = QPixmap(QStringLiteral(":/skin/close_hot.png"));

    SpeedButton2 = toolButton(Panel3, "SpeedButton2", QStringLiteral(":/skin/tool_wizard.png"),
                              QStringLiteral("快速設定精靈"), QRect(12, 33, 21, 21));
    SpeedButton5 = toolButton(Panel3, "SpeedButton5", QStringLiteral(":/skin/tool_mixer.png"),
                              QStringLiteral("輸入音源控制"), QRect(36, 33, 21, 21));
    SpeedButton1 = toolButton(Panel3, "SpeedButton1", QStringLiteral(":/skin/tool_close.png"),
                              QStringLiteral("關閉視訊裝置"), QRect(60, 33, 21, 21));
    SpeedButton3 = toolButton(Panel3, "SpeedButton3", QStringLiteral(":/skin/tool_about.png"),
                              QStringLiteral("關於Morlanex!"), QRect(324, 33, 21, 21));

    Panel4 = new QWidget(Panel3);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setGeometry(12, 60, 333, 48);
    const QColor silver(192, 192, 192);
    Label2 = caption(Panel4, "Label2", QStringLiteral("頻道名稱"), QRect(6, 5, 56, 16), silver);
    Label3 = caption(Panel4, "Label3", QStringLiteral("頻道簡介"), QRect(6, 27, 56, 16), silver);
    Label4 = caption(Panel4, "Label4", QString(), QRect(64, 5, 246, 16), Qt::white);
    Label5 = caption(Panel4, "Label5", QString(), QRect(64, 27, 246, 16), Qt::white);
    for (QLineEdit **edit : {&Edit1, &Edit2}) {
        *edit = new QLineEdit(Panel4);
        (*edit)->setFrame(false);
        (*edit)->setFocusPolicy(Qt::ClickFocus);
        (*edit)->hide();
    }
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(63, 4, 248, 18);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setGeometry(63, 26, 248, 18);
    const QString helpHint = QStringLiteral("[說明] 按滑鼠兩下可修正頻道文字內容.");
    Image10 = picture(Panel4, "Image10", QStringLiteral(":/skin/help.png"), QRect(313, 5, 16, 16));
    Image9 = picture(Panel4, "Image9", QStringLiteral(":/skin/help.png"), QRect(313, 27, 16, 16));
    for (QLabel *icon : {Image10, Image9}) {
        icon->setToolTip(helpHint);
        icon->hide();
    }

    GroupBox2 = new QFrame(Panel3);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(12, 112, 333, 254);
    Image8 = picture(GroupBox2, "Image8", QStringLiteral(":/skin/placeholder.png"), QRect(6, 7, 320, 240));
    VideoWindow1 = new QWidget(GroupBox2);
    VideoWindow1->setObjectName(QStringLiteral("VideoWindow1"));
    VideoWindow1->setGeometry(6, 7, 320, 240);
    VideoWindow1->setAutoFillBackground(true);
    QPalette black = VideoWindow1->palette();
    black.setColor(QPalette::Window, Qt::black);
    VideoWindow1->setPalette(black);
    VideoWindow1->hide();
    Panel1 = new QFrame(GroupBox2);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(10, 11, 62, 18);
    Panel1->setStyleSheet(QStringLiteral("#Panel1 { background: #008000; border: 1px solid #6d8fb5; }"));
    Label10 = caption(Panel1, "Label10", QStringLiteral("預覽模式"), QRect(0, 1, 62, 16), kStatusGreen);
    Label10->setAlignment(Qt::AlignCenter);
    Panel1->hide();

    GroupBox1 = new QFrame(Panel3);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(12, 372, 333, 74);
    Image6 = picture(GroupBox1, "Image6", QStringLiteral(":/skin/lamp.png"), QRect(10, 16, 9, 9));
    Image5 = picture(GroupBox1, "Image5", QString(), QRect(10, 16, 9, 9));
    Image5Movie = new QMovie(QStringLiteral(":/skin/lamp_live.gif"), QByteArray(), Image5);
    Image5->setMovie(Image5Movie);
    Image5->hide();
    Label1 = caption(GroupBox1, "Label1", QStringLiteral("狀態"), QRect(24, 12, 30, 16), silver);
    Label7 = caption(GroupBox1, "Label7", QStringLiteral(" "), QRect(56, 12, 220, 16), kStatusRed);
    Label8 = caption(GroupBox1, "Label8", QStringLiteral("累計收視人次"), QRect(24, 40, 84, 16), silver);
    Label9 = caption(GroupBox1, "Label9", QStringLiteral("0"), QRect(112, 40, 80, 16), Qt::white);
    Label12 = caption(GroupBox1, "Label12", QStringLiteral("目前收視人數"), QRect(24, 40, 84, 16), silver);
    Label11 = caption(GroupBox1, "Label11", QStringLiteral("0"), QRect(112, 40, 80, 16), Qt::white);
    for (QLabel *l : {Label8, Label12})
        l->setCursor(Qt::PointingHandCursor);
    for (QLabel *l : {Label8, Label9, Label12, Label11})
        l->hide();
    Image7 = picture(GroupBox1, "Image7", QStringLiteral(":/skin/action.png"), QRect(287, 20, 36, 36));
    Image1 = picture(GroupBox1, "Image1", QStringLiteral(":/skin/action_setup.png"), QRect(287, 20, 36, 36));
    Image1->setToolTip(QStringLiteral("初始設定"));
    Image11 = picture(GroupBox1, "Image11", QStringLiteral(":/skin/action_start.png"), QRect(287, 20, 36, 36));
    Image11->setToolTip(QStringLiteral("啟動視訊直播"));
    Image12 = picture(GroupBox1, "Image12", QStringLiteral(":/skin/action_stop.png"), QRect(287, 20, 36, 36));
    Image12->setToolTip(QStringLiteral("關閉視訊直播"));
    for (QLabel *overlay : {Image1, Image11, Image12}) {
        overlay->setCursor(Qt::PointingHandCursor);
        overlay->hide();
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(1000);
    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    Timer3->setInterval(10000);
    connect(Timer1, &QTimer::timeout, this, [this] { guarded([this] { Timer1Timer(); }); });
    connect(Timer2, &QTimer::timeout, this, [this] { guarded([this] { Timer2Timer(); }); });
    connect(Timer3, &QTimer::timeout, this, [this] { guarded([this] { Timer3Timer(); }); });

    connect(SpeedButton2, &QToolButton::clicked, this, [this] { guarded([this] { SpeedButton2Click(); }); });
    connect(SpeedButton5, &QToolButton::clicked, this, [this] { guarded([this] { SpeedButton5Click(); }); });
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { guarded([this] { SpeedButton1Click(); }); });
    connect(SpeedButton3, &QToolButton::clicked, this, [this] { guarded([this] { SpeedButton3Click(); }); });
    for (QLineEdit *edit : {Edit1, Edit2})
        edit->installEventFilter(this);

    // Every component reports its mouse to the window; none hands a press on to its parent,
    // so a press on the status line never turns into a drag of the frame around it.
    const QList<QWidget *> children = findChildren<QWidget *>();
    for (QWidget *w : children) {
        w->installEventFilter(this);
        w->setMouseTracking(true);
        w->setAttribute(Qt::WA_NoMousePropagation);
    }
    setMouseTracking(true);
}

void TForm1::buildMenus()
{
    PopupMenu2 = new QMenu(this);
    PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
    N2 = menuItem(PopupMenu2, "N2", QStringLiteral("顯示主視窗"));
    N1 = menuItem(PopupMenu2, "N1", QString());
    PortalItem = menuItem(PopupMenu2, "PortalItem", QStringLiteral("進入Zanvu官網"));
    ProductItem = menuItem(PopupMenu2, "ProductItem", QStringLiteral("進入Morlanex!官網"));
    ProductItem->setVisible(false);
    N20 = menuItem(PopupMenu2, "N20", QString());
    AboutItem2 = menuItem(PopupMenu2, "AboutItem2", QStringLiteral("關於Morlanex"));
    N3 = menuItem(PopupMenu2, "N3", QStringLiteral("結束程式"));

    PopupMenu3 = new QMenu(this);
    PopupMenu3->setObjectName(QStringLiteral("PopupMenu3"));
    N4 = menuItem(PopupMenu3, "N4", QStringLiteral("關閉主視窗"));
    N7 = menuItem(PopupMenu3, "N7", QString());
    N8 = menuItem(PopupMenu3, "N8", QStringLiteral("快速設定精靈"));
    N9 = menuItem(PopupMenu3, "N9", QStringLiteral("輸入音源控制"));
    N10Menu = PopupMenu3->addMenu(QStringLiteral("進階功能"));
    N10Menu->setObjectName(QStringLiteral("N10Menu"));
    N10 = N10Menu->menuAction();
    N10->setObjectName(QStringLiteral("N10"));
    N14Menu = N10Menu->addMenu(QStringLiteral("切換視訊壓縮比"));
    N14Menu->setObjectName(QStringLiteral("N14Menu"));
    N14 = N14Menu->menuAction();
    N14->setObjectName(QStringLiteral("N14"));
    N19 = menuItem(N14Menu, "N19", QStringLiteral("自動- 依頻寬現狀浮動調整"));
    N18 = menuItem(N14Menu, "N18", QString());
    N15 = menuItem(N14Menu, "N15", QStringLiteral("高- 畫質較差 頻寬消耗最少"));
    N16 = menuItem(N14Menu, "N16", QStringLiteral("中- 畫質適中 頻寬消耗適中"));
    N17 = menuItem(N14Menu, "N17", QStringLiteral("低- 畫質最佳 頻寬消耗最大"));
    LevelGroup = new QActionGroup(this);
    LevelGroup->setExclusive(true);
    const QList<QAction *> levels = {N19, N15, N16, N17};
    for (int level = 0; level < levels.size(); ++level) {
        QAction *item = levels[level];
        item->setCheckable(true);
        LevelGroup->addAction(item);
        connect(item, &QAction::triggered, this, [this, level] { guarded([this, level] { levelMenuClick(level); }); });
    }
    N19->setChecked(true);
    N13 = menuItem(N10Menu, "N13", QString());
    N11 = menuItem(N10Menu, "N11", QStringLiteral("計數器歸零"));
    N11->setEnabled(false);
    N5 = menuItem(PopupMenu3, "N5", QString());
    AboutItem3 = menuItem(PopupMenu3, "AboutItem3", QStringLiteral("關於Morlanex"));
    N6 = menuItem(PopupMenu3, "N6", QStringLiteral("結束程式"));

    connect(PopupMenu3, &QMenu::aboutToShow, this, [this] { PopupMenu3Popup(); });
    connect(N10Menu, &QMenu::aboutToShow, this, [this] { N10Click(); });
    connect(N2, &QAction::triggered, this, [this] { N2Click(); });
    connect(N3, &QAction::triggered, this, [this] { N3Click(); });
    connect(N6, &QAction::triggered, this, [this] { N3Click(); });
    connect(N4, &QAction::triggered, this, [this] { Image2Click(); });
    connect(N8, &QAction::triggered, this, [this] { guarded([this] { SpeedButton2Click(); }); });
    connect(N9, &QAction::triggered, this, [this] { guarded([this] { SpeedButton5Click(); }); });
    connect(N11, &QAction::triggered, this, [this] { guarded([this] { N11Click(); }); });
    connect(AboutItem2, &QAction::triggered, this, [this] { SpeedButton3Click(); });
    connect(AboutItem3, &QAction::triggered, this, [this] { SpeedButton3Click(); });
    connect(PortalItem, &QAction::triggered, this, [this] { openUrl(QString::fromStdString(Config.portalUrl)); });
    connect(ProductItem, &QAction::triggered, this, [this] { openUrl(QString::fromStdString(Config.productUrl)); });
}

void TForm1::buildTray()
{
    CoolTrayIcon1 = new QSystemTrayIcon(QIcon(QStringLiteral(":/skin/app.png")), this);
    CoolTrayIcon1->setObjectName(QStringLiteral("CoolTrayIcon1"));
    CoolTrayIcon1->setToolTip(QStringLiteral("Morlanex!"));
    CoolTrayIcon1->setContextMenu(PopupMenu2);
    connect(CoolTrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            CoolTrayIcon1DblClick();
    });
    if (trayAvailable())
        CoolTrayIcon1->show();
}

bool TForm1::trayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void TForm1::FormCreate()
{
    // A failing step skips the rest; the window still opens and the error is reported once
    // the event loop runs.
    try {
        Config = morlanex::loadAppConfig(morlanex::programFolder() / "Morlanex.conf");
        ServerAddress = QString::fromStdString(Config.directoryAddress);
        DirectoryPort1 = 20;
        DirectoryPort2 = 22;
        // The mouse hook is the application-wide filter installed in main().
        obtainNodeIdentity();
        createMediaTypeLists();
        morlanex::createSettingsIfMissing(morlanex::settingsFilePath());
        obtainLocalAddress();
        activateEndpoints();
        setWriterPort(LocalPort);
        OwnVersion = QStringLiteral("1.1.0.2");
        Timer3->start();
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        QTimer::singleShot(0, this, [this, text] { reportError(text); });
    }
}

void TForm1::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    FormShow();
}

void TForm1::FormShow()
{
    Image2->setPixmap(QPixmap());
    for (QLabel *l : {Image1, Image11, Image12, Image14})
        if (l->isVisible())
            l->hide();
}

void TForm1::closeEvent(QCloseEvent *e)
{
    if (closing || FormCloseQuery()) {
        e->accept();
        emit closed();
    } else {
        e->ignore();
    }
}

bool TForm1::FormCloseQuery()
{
    closing = true;
    if (CoolTrayIcon1) {
        CoolTrayIcon1->hide();
        CoolTrayIcon1->deleteLater();
        CoolTrayIcon1 = nullptr;
    }
    try {
        sendCloseNotice();
    } catch (...) {
        // The close goes on whatever the notice did.
    }
    return true;
}

void TForm1::N3Click()
{
    close();
}

// ---------------------------------------------------------------------------------------------
// Mouse

void TForm1::beginWindowDrag(const QPoint &globalPos)
{
    // The move starts once the mouse travels, so a double click on a caption stays a double click.
    dragState = DragState::Pending;
    dragOffset = globalPos - frameGeometry().topLeft();
    dragPressPos = globalPos;
}

void TForm1::continueWindowDrag(const QPoint &globalPos)
{
    if (dragState == DragState::Pending) {
        if ((globalPos - dragPressPos).manhattanLength() < QApplication::startDragDistance())
            return;
        QWindow *w = windowHandle();
        if (w && w->startSystemMove()) {
            dragState = DragState::None;
            return;
        }
        dragState = DragState::Manual; // the window system cannot move it: move it by hand
    }
    if (dragState == DragState::Manual)
        move(globalPos - dragOffset);
}

void TForm1::closeStartPopup()
{
    if (Form4 && Form4->isVisible())
        Form4->closePopup();
}

void TForm1::finishOpenEdit()
{
    if (Edit1->hasFocus())
        Edit1Exit();
    if (Edit2->hasFocus())
        Edit1Exit();
}

void TForm1::Panel4MouseDown(Qt::MouseButton button, const QPoint &globalPos)
{
    finishOpenEdit();
    closeStartPopup();
    if (button == Qt::LeftButton)
        beginWindowDrag(globalPos);
}

void TForm1::SpeedButton2MouseDown()
{
    finishOpenEdit();
    closeStartPopup();
    Label7->setText(QString());
}

void TForm1::Panel3MouseMove()
{
    actionHovered = false;
    if (busy())
        return;
    FormShow(); // the same reset as showing the window
}

void TForm1::Image1MouseMove()
{
    actionHovered = true;
    QLabel *shown = LiveActive ? Image12 : PreviewActive ? Image11 : Image1;
    for (QLabel *overlay : {Image1, Image11, Image12})
        if (overlay != shown)
            overlay->hide();
    shown->show();
}

void TForm1::refreshActionOverlay()
{
    if (actionHovered)
        Image1MouseMove();
}

void TForm1::leaveEvent(QEvent *e)
{
    QWidget::leaveEvent(e);
    // A confirmation opening over the button takes the pointer from the window, not off it.
    if (!rect().contains(mapFromGlobal(QCursor::pos())))
        actionHovered = false;
}

void TForm1::Image2MouseMove()
{
    if (busy())
        return;
    Image2->setPixmap(ImageList4);
}

void TForm1::Image2MouseUp()
{
    Image2->setPixmap(QPixmap());
}

void TForm1::Image2Click()
{
    hideToTray();
}

void TForm1::Image13MouseMove()
{
    Image14->show();
}

void TForm1::Image14MouseDown(Qt::MouseButton button, const QPoint &globalPos)
{
    if (button != Qt::LeftButton)
        return;
    PopupMenu3->exec(globalPos);
    Image14->hide();
}

void TForm1::PopupMenu3Popup()
{
    N10->setEnabled(PreviewActive && !busy());
}

void TForm1::N10Click()
{
    if (LiveActive) {
        N14->setEnabled(false);
        N11->setEnabled(Label9->text() != QLatin1String("0"));
    } else {
        N14->setEnabled(true);
        N11->setEnabled(false);
    }
}

bool TForm1::busy() const
{
    return Timer1->isActive() || Timer2->isActive();
}

bool TForm1::confirm(const QString &text)
{
    return QMessageBox::warning(this, QStringLiteral("Morlanex!"), text,
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void TForm1::showWizard()
{
    if (Form2)
        Form2->exec();
}

void TForm1::SpeedButton2Click()
{
    if (busy())
        return;
    if (PreviewActive && !confirm(kConfirmReplace))
        return;
    showWizard();
}

void TForm1::Image1Click()
{
    showWizard();
}

void TForm1::SpeedButton1Click()
{
    if (busy())
        return;
    const bool wizardShowing = Form2 && Form2->isVisible();
    if (PreviewActive && !wizardShowing && !confirm(kConfirmReplace))
        return;
    if (LiveActive) {
        CloseDeviceAfterStop = true;
        Timer2->start();
    } else if (PreviewActive) {
        AbortWebCamDATA();
    }
}

void TForm1::SpeedButton3Click()
{
    if (busy())
        return;
    showAboutBox();
}

void TForm1::SpeedButton5Click()
{
    if (busy())
        return;
    openRecordingControl();
}

void TForm1::showAboutBox()
{
    if (Form3)
        Form3->showCentred();
}

void TForm1::CoolTrayIcon1DblClick()
{
    showFromTray();
}

void TForm1::N2Click()
{
    showFromTray();
}

void TForm1::hideToTray()
{
    if (trayAvailable()) {
        showMinimized();
        hide();
    } else {
        // Without a notification area a hidden window could never come back.
        showMinimized();
    }
}

void TForm1::showFromTray()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TForm1::setStatus(const QString &text, const QColor &colour)
{
    QPalette p = Label7->palette();
    p.setColor(QPalette::WindowText, colour);
    Label7->setPalette(p);
    Label7->setText(text);
}

void TForm1::reportError(const QString &text)
{
    QMessageBox::critical(this, QStringLiteral("Morlanex!"), text);
}

void TForm1::openUrl(const QString &url)
{
    QDesktopServices::openUrl(QUrl(url));
}

void TForm1::guarded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        reportError(QString::fromUtf8(e.what()));
    }
}

bool TForm1::eventFilter(QObject *watched, QEvent *e)
{
    auto *w = qobject_cast<QWidget *>(watched);
    if (!w)
        return false;

    // Key preview: Enter and Escape finish an in-place edit.
    if (e->type() == QEvent::KeyPress && (w == Edit1 || w == Edit2) && w->isVisible()) {
        auto *k = static_cast<QKeyEvent *>(e);
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            guarded([this] { Edit1Exit(); });
            return true;
        }
        if (k->key() == Qt::Key_Escape) {
            w == Edit1 ? Edit1->clear() : Edit2->clear();
            guarded([this] { Edit1Exit(); });
            return true;
        }
        return false;
    }
    if (e->type() == QEvent::FocusOut && (w == Edit1 || w == Edit2)) {
        // Focus moving on from an open editor finishes the edit; the window merely losing
        // activation does not, nor does a closed editor that still held the focus.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(e)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason && !finishingEdit
            && w->isVisible())
            guarded([this] { Edit1Exit(); });
        return false;
    }

    switch (e->type()) {
    case QEvent::MouseButtonPress: {
        auto *m = static_cast<QMouseEvent *>(e);
        const QPoint global = m->globalPosition().toPoint();
        pressedWidget = w;
        if (w == Image3 || w == Panel3 || w == Label6 || w == GroupBox1 || w == GroupBox2
            || w == Panel4 || w == Label2 || w == Label3) {
            guarded([&] { Panel4MouseDown(m->button(), global); });
            return true;
        }
        if (w == SpeedButton2 || w == SpeedButton5 || w == SpeedButton3 || w == SpeedButton1) {
            guarded([this] { SpeedButton2MouseDown(); });
            return false; // the button still gets its click
        }
        if (w == Image7 || w == Image1 || w == Image11 || w == Image12) {
            guarded([this] { SpeedButton2MouseDown(); });
            return true;
        }
        if (w == Label4 || w == Image10) {
            guarded([&] { Label4MouseDown(m->button(), global); });
            return true;
        }
        if (w == Label5 || w == Image9) {
            guarded([&] { Label5MouseDown(m->button(), global); });
            return true;
        }
        if (w == Image14) {
            Image14MouseDown(m->button(), global);
            return true;
        }
        if (w == Image8 && m->button() == Qt::RightButton) {
            PopupMenu3->popup(global);
            return true;
        }
        return false;
    }
    case QEvent::MouseMove: {
        auto *m = static_cast<QMouseEvent *>(e);
        if (dragState != DragState::None) {
            if (m->buttons() & Qt::LeftButton) {
                continueWindowDrag(m->globalPosition().toPoint());
                if (dragState == DragState::Manual)
                    return true;
            } else {
                dragState = DragState::None;
            }
        }
        if (w == Panel3 || w == GroupBox1 || w == Image8 || w == VideoWindow1)
            Panel3MouseMove();
        else if (w == Image7 || w == Image1 || w == Image11 || w == Image12)
            Image1MouseMove();
        else if (w == Image2)
            Image2MouseMove();
        else if (w == Image13)
            Image13MouseMove();
        else if (w == Label4)
            Label4MouseMove();
        else if (w == Label5)
            Label5MouseMove();
        return false;
    }
    case QEvent::MouseButtonRelease: {
        auto *m = static_cast<QMouseEvent *>(e);
        dragState = DragState::None;
        const bool click = pressedWidget == w && w->rect().contains(m->position().toPoint())
                           && m->button() == Qt::LeftButton;
        pressedWidget = nullptr;
        if (w == Image2) {
            Image2MouseUp();
            if (click)
                Image2Click();
            return true;
        }
        if (!click)
            return false;
        if (w == Image1)
            guarded([this] { Image1Click(); });
        else if (w == Image11)
            guarded([this] { Image11Click(); });
        else if (w == Image12)
            guarded([this] { Image12Click(); });
        else if (w == Label8)
            guarded([this] { Label8Click(); });
        else if (w == Label12)
            guarded([this] { Label12Click(); });
        return false;
    }
    case QEvent::MouseButtonDblClick: {
        if (w == Label4 || w == Image10) {
            guarded([this] { Label4DblClick(); });
            return true;
        }
        if (w == Label5 || w == Image9) {
            guarded([this] { Label5DblClick(); });
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}
