// Internal header. `TForm2`: the quick-setup wizard, a modal dialog of six pages.
//
// Page 1 chooses between the last stored settings and a new setup; pages 2 to 6 choose the
// video device, the audio device and its recording line, the channel texts, the compression
// level, and finish. "完成" writes the settings file and starts the preview. The dialog holds
// the run's only in-memory `SettingsRecord`.
//
// Threads: UI thread only. Every handler runs inside the dialog's modal loop; the main window's
// timers keep ticking meanwhile, so the mode buttons test for busy on every click.
//
// The controls are public and keep their designer names: the main window fills the device
// lists (`ComboBox1`..`ComboBox4`, `Label8`) and tests find them by objectName.
#pragma once

#include "app/settings_file.h"

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QRadioButton;
class QToolButton;
class TForm1;

class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(TForm1 *mainWindow);

    // The only in-memory copy of the settings file, loaded each time the wizard opens.
    morlanex::SettingsRecord SettingsRecord;

    // The single entry of `ComboBox1` when no video capture device is installed.
    static const QString kNoVideoDevice;

    // --- handlers -----------------------------------------------------------------------------
    void FormShow();
    void SpeedButton3Click();   // use the last settings
    void SpeedButton2Click();   // set up a new video device
    void ComboBox1Change(int index);
    void SpeedButton6Click();   // search for video devices again
    void SpeedButton7Click();   // video page: next
    void ComboBox2Change(int index);
    void ComboBox3Change(int index);
    void SpeedButton1Click();   // audio page: next
    void Edit1Change();         // shared by Edit1 and Edit2
    void SpeedButton8Click();   // channel page: next
    void RadioButtonClick(int level);
    void SpeedButton9Click();   // compression page: next
    void Label16Click();        // the portal's home page
    void SpeedButton11Click();  // "完成"
    void SpeedButton4Click();   // back to the first page
    void SpeedButton5Click();   // cancel

    // --- components, named as the dialog's designer named them ------------------------------
    QLabel *Image1 = nullptr;          // picture strip on the left
    QFrame *Panel1 = nullptr;          // setup mode
    QFrame *Panel2 = nullptr;          // video device
    QFrame *Panel3 = nullptr;          // audio device and recording line
    QFrame *Panel4 = nullptr;          // channel texts
    QFrame *Panel5 = nullptr;          // compression
    QFrame *Panel6 = nullptr;          // done
    QToolButton *SpeedButton3 = nullptr;  // picture button: use the last settings
    QToolButton *SpeedButton2 = nullptr;  // picture button: set up a new video device
    QComboBox *ComboBox1 = nullptr;    // video devices
    QToolButton *SpeedButton6 = nullptr;
    QToolButton *SpeedButton7 = nullptr;
    QComboBox *ComboBox2 = nullptr;    // audio devices
    QLabel *Label8 = nullptr;          // "音源裝置"
    QComboBox *ComboBox3 = nullptr;    // recording lines
    QComboBox *ComboBox4 = nullptr;    // pin number of each line, never visible
    QToolButton *SpeedButton1 = nullptr;
    QLineEdit *Edit1 = nullptr;        // channel name
    QLineEdit *Edit2 = nullptr;        // channel description
    QLineEdit *Edit3 = nullptr;        // keywords
    QToolButton *SpeedButton8 = nullptr;
    QRadioButton *RadioButton1 = nullptr; // automatic (MBR)
    QRadioButton *RadioButton2 = nullptr; // high compression
    QRadioButton *RadioButton3 = nullptr; // medium
    QRadioButton *RadioButton4 = nullptr; // low compression
    QButtonGroup *RadioGroup = nullptr;
    QToolButton *SpeedButton9 = nullptr;
    QLabel *Image2 = nullptr;          // the start icon in the text of the last page
    QLabel *Label16 = nullptr;         // the portal's address, a link
    QToolButton *SpeedButton11 = nullptr; // "完成"
    QToolButton *SpeedButton4 = nullptr;  // choose the setup mode again
    QToolButton *SpeedButton5 = nullptr;  // cancel

protected:
    void showEvent(QShowEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void buildPages();
    void buildModePage();
    void buildVideoPage();
    void buildAudioPage();
    void buildChannelPage();
    void buildCompressionPage();
    void buildDonePage();
    void connectHandlers();
    void showPage(QFrame *page);
    void updateSpeedButton7();
    void updateSpeedButton8();
    // Runs a call into the main window; an escaped error goes to its standard error report
    // and the result is false.
    bool guarded(void (TForm1::*call)());

    TForm1 *Form1;
};
