// Internal header. The main window `TForm1`: the borderless skinned window, its hover-driven
// action button, both menus, the tray icon, and every handler of the broadcast.
//
// Threads: everything here runs on the UI thread. The UDP endpoints' listener threads reach it
// only through a blocking hand-off that runs the read handlers on this thread.
//
// The class is split over several source files by subject: form1.cpp (window, menus, tray,
// start-up and shutdown), form1_session.cpp (directory registration and viewers),
// form1_media.cpp (preview and live encoding), form1_captions.cpp (in-place caption editing).
#pragma once

#include "app/app_config.h"

#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QActionGroup;
class QFrame;
class QLabel;
class QLineEdit;
class QMovie;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class TForm2;
class TForm3;
class TForm4;
namespace morlanex { struct Datagram; struct PipelineEvent; }

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // Wires the secondary windows, which are created after the main window.
    void attachForms(TForm2 *wizard, TForm3 *about, TForm4 *popup);

    // --- state (read by the dialogs and by tests) -------------------------------------------
    bool busy() const;
    bool previewActive() const { return PreviewActive; }
    bool liveActive() const { return LiveActive; }
    int localPort() const { return LocalPort; }
    const QString &ownVersion() const { return OwnVersion; }
    const QString &nodePublicAddress() const { return NodePublicAddress; }
    const morlanex::AppConfig &config() const { return Config; }

    // Shows an error in the application's standard error report.
    void reportError(const QString &text);

    // Opens a web address with the desktop's default handler; failures are not reported.
    static void openUrl(const QString &url);

    // --- window operations ------------------------------------------------------------------
    void hideToTray();
    void showFromTray();

signals:
    // The shutdown sequence has run and the window has closed for good.
    void closed();

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;
    // Whether the desktop has a notification area; without one, hiding minimises instead.
    virtual bool trayAvailable() const;
    // Starts moving the window with the mouse; falls back to moving it by hand where the window
    // system cannot do it.
    void beginWindowDrag(const QPoint &globalPos);
    void continueWindowDrag(const QPoint &globalPos);

public:
    // --- handlers of the window, menus and tray ---------------------------------------------
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void Panel4MouseDown(Qt::MouseButton button, const QPoint &globalPos);
    void SpeedButton2MouseDown();
    void Panel3MouseMove();
    void Image1MouseMove();
    void Image2MouseMove();
    void Image2MouseUp();
    void Image2Click();
    void Image13MouseMove();
    void Image14MouseDown(Qt::MouseButton button, const QPoint &globalPos);
    void PopupMenu3Popup();
    void N10Click();
    void SpeedButton2Click();
    void Image1Click();
    void SpeedButton1Click();
    void SpeedButton3Click();
    void SpeedButton5Click();
    void CoolTrayIcon1DblClick();
    void N2Click();
    void N3Click();

    // --- broadcast session (directory link) -------------------------------------------------
    void Image11Click();
    void Image12Click();
    void Timer1Timer();
    void Timer2Timer();
    void Timer3Timer();
    void BeginSendWebCamData();
    void StopSendWebCamData();
    // The live part of a stop: close notice, encoding stopped, counters reset and hidden.
    void endLive();
    void N11Click();
    void Label8Click();
    void Label12Click();
    void obtainNodeIdentity();
    void obtainLocalAddress();
    void activateEndpoints();
    void sendCloseNotice();
    // Read events of IdCAMUDPServer1 and IdUDPServer1, run on this thread by the endpoints.
    void IdCAMUDPServer1UDPRead(const morlanex::Datagram &datagram);
    void IdUDPServer1UDPRead(const morlanex::Datagram &datagram);

    // --- media ------------------------------------------------------------------------------
    void BeginPreview();
    void AbortWebCamDATA();
    // False when the stream's port could not be opened (the status says so in red).
    bool MixBoth();
    void stopLiveEncoding();
    void RadioCheck(int level);
    void levelMenuClick(int level);
    void applyCompressionLevel();
    void createMediaTypeLists();
    void setWriterPort(int port);
    // Pipeline events, on this thread: pause completed shows the video; an error is reported.
    void showPipelineEvent(const morlanex::PipelineEvent &event);
    // The live profile (Wm8Profile index), for the about box and tests.
    int writerProfile() const;

    // --- device lists of the wizard (Form2's ComboBox1..ComboBox4 and Label8) -----------------
    void GetWebCamProc();
    void GetWAVProc();
    QString ListedAudioDevice; // the audio device whose recording lines the wizard lists

    // --- caption editing --------------------------------------------------------------------
    void Label4DblClick();
    void Label5DblClick();
    void Label4MouseDown(Qt::MouseButton button, const QPoint &globalPos);
    void Label5MouseDown(Qt::MouseButton button, const QPoint &globalPos);
    void Label4MouseMove();
    void Label5MouseMove();
    void Edit1Exit();
    void sendChannelTextNotice(); // "ChangeChannelText" while live (session section)

    // --- settings file (the wizard holds the record) ----------------------------------------
    void saveSettingsFromMainWindow();
    void saveNewLevel(int level);
    // Copies the record into the captions and working copies; throws ConversionError for a
    // line 3 to 6 that is not a number (the captions are set by then).
    void applySettingsRecord();
    void setChannelCaptions(const QString &name, const QString &description);

    // --- components, named as the window's designer named them --------------------------------
    QLabel *Image3 = nullptr;        // skin picture, fills the window
    QWidget *Panel3 = nullptr;       // container of every control
    QLabel *Label6 = nullptr;        // title
    QLabel *Image13 = nullptr;       // menu icon
    QLabel *Image14 = nullptr;       // highlighted menu icon
    QLabel *Image2 = nullptr;        // close button (empty at rest)
    QPixmap ImageList4;              // highlighted close button
    QToolButton *SpeedButton2 = nullptr; // wizard
    QToolButton *SpeedButton5 = nullptr; // recording input control
    QToolButton *SpeedButton1 = nullptr; // close video device
    QToolButton *SpeedButton3 = nullptr; // about
    QWidget *Panel4 = nullptr;       // channel information panel
    QLabel *Label2 = nullptr;        // "頻道名稱"
    QLabel *Label3 = nullptr;        // "頻道簡介"
    QLabel *Label4 = nullptr;        // channel name
    QLabel *Label5 = nullptr;        // channel description
    QLineEdit *Edit1 = nullptr;      // name editor
    QLineEdit *Edit2 = nullptr;      // description editor
    QLabel *Image10 = nullptr;       // help icon beside the name
    QLabel *Image9 = nullptr;        // help icon beside the description
    QFrame *GroupBox2 = nullptr;     // frame around the video
    QLabel *Image8 = nullptr;        // placeholder shown when there is no video
    QWidget *VideoWindow1 = nullptr; // live camera picture
    QFrame *Panel1 = nullptr;        // mode badge
    QLabel *Label10 = nullptr;       // mode badge text
    QFrame *GroupBox1 = nullptr;     // bottom frame
    QLabel *Image7 = nullptr;        // action button at rest
    QLabel *Image1 = nullptr;        // action overlay: initial setup
    QLabel *Image11 = nullptr;       // action overlay: start live broadcast
    QLabel *Image12 = nullptr;       // action overlay: stop live broadcast
    QLabel *Image6 = nullptr;        // live lamp, still
    QLabel *Image5 = nullptr;        // live lamp, blinking
    QMovie *Image5Movie = nullptr;
    QLabel *Label1 = nullptr;        // "狀態"
    QLabel *Label7 = nullptr;        // status line
    QLabel *Label8 = nullptr;        // "累計收視人次"
    QLabel *Label9 = nullptr;        // cumulative views
    QLabel *Label12 = nullptr;       // "目前收視人數"
    QLabel *Label11 = nullptr;       // current viewers

    QTimer *Timer1 = nullptr;        // connect sequence, 1000 ms
    QTimer *Timer2 = nullptr;        // disconnect sequence, 1000 ms
    QTimer *Timer3 = nullptr;        // version query, 10000 ms

    QSystemTrayIcon *CoolTrayIcon1 = nullptr;
    QMenu *PopupMenu2 = nullptr;     // tray menu
    QMenu *PopupMenu3 = nullptr;     // function menu
    QAction *N2 = nullptr, *N1 = nullptr, *PortalItem = nullptr, *ProductItem = nullptr,
            *N20 = nullptr, *AboutItem2 = nullptr, *N3 = nullptr;
    QAction *N4 = nullptr, *N7 = nullptr, *N8 = nullptr, *N9 = nullptr, *N10 = nullptr,
            *N14 = nullptr, *N19 = nullptr, *N18 = nullptr, *N15 = nullptr, *N16 = nullptr,
            *N17 = nullptr, *N13 = nullptr, *N11 = nullptr, *N5 = nullptr, *AboutItem3 = nullptr,
            *N6 = nullptr;
    QMenu *N10Menu = nullptr;        // "進階功能"
    QMenu *N14Menu = nullptr;        // "切換視訊壓縮比"
    QActionGroup *LevelGroup = nullptr;

    // --- state --------------------------------------------------------------------------------
    QString OwnVersion;
    QString ServerAddress;
    int DirectoryPort1 = 0;
    int DirectoryPort2 = 0;
    QString NodeId;
    QString LocalAddress;
    int LocalPort = 0;
    QString ChannelId;
    QString NodePublicAddress;
    int PhaseTick = 0;
    int VideoDeviceIndex = 0;
    int AudioDeviceIndex = 0;
    int AudioInputPin = 0;
    int CompressionLevel = 0;
    QString Keywords;
    bool PreviewActive = false;
    bool LiveActive = false;
    bool CloseDeviceAfterStop = false;
    bool SaveLevelRequest = false;
    bool finishingEdit = false; // a finish in progress; hiding its editor must not start another

    TForm2 *Form2 = nullptr;
    TForm3 *Form3 = nullptr;
    TForm4 *Form4 = nullptr;

    // Status line: text and colour.
    void setStatus(const QString &text, const QColor &colour);

    // --- session section (directory link) -------------------------------------------------
    struct Session;
    struct SessionDeleter { void operator()(Session *) const; };
    std::unique_ptr<Session, SessionDeleter> session;

    // --- media section ----------------------------------------------------------------------
    struct Media;
    struct MediaDeleter { void operator()(Media *) const; };
    std::unique_ptr<Media, MediaDeleter> media;

private:
    void buildWidgets();
    void buildMenus();
    void buildTray();
    void closeStartPopup();
    // A press elsewhere accepts an open caption edit first.
    void finishOpenEdit();
    void showAboutBox();
    // The action button under a still pointer shows the overlay of the current state.
    void refreshActionOverlay();
    void leaveEvent(QEvent *e) override;
    void showWizard();
    bool confirm(const QString &text);
    // Runs a handler; an escaped error goes to the standard error report.
    void guarded(const std::function<void()> &handler);

    morlanex::AppConfig Config;
    enum class DragState { None, Pending, Manual };
    DragState dragState = DragState::None;
    QPoint dragOffset;
    QPoint dragPressPos;
    QPointer<QWidget> pressedWidget;
    bool closing = false;
    bool actionHovered = false; // the pointer rests on the action button
};

// Status colours.
extern const QColor kStatusRed;
extern const QColor kStatusGreen;
