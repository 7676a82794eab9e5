// Internal header. `SetupWizard`: the quick-setup wizard, a modal dialog of six pages.
//
// Page 1 chooses between the last stored settings and a new setup; pages 2 to 6 choose the
// video device, the audio device and its recording line, the channel texts, the compression
// level, and finish. "完成" hands the choices to the host, which stores them and starts the
// preview. The wizard keeps only the choices of its current walk.
//
// Threads: UI thread only. Every handler runs inside the dialog's modal loop; the main window's
// sequences keep ticking meanwhile, so the mode buttons ask the host for busy on every click.
// The controls are public for tests, which also find them by objectName.
#pragma once

#include "dialogs/wizard_host.h"

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QRadioButton;
class QToolButton;

class SetupWizard : public QDialog {
    Q_OBJECT
public:
    SetupWizard(WizardHost &host, QWidget *parent);

    // The single entry of `videoDeviceList` when no video capture device is installed.
    static const QString kNoVideoDevice;
    // The choices of the current walk, as "完成" would hand them over.
    const morlanex::ChannelSetup &choices() const { return chosen; }

    QLabel *pictureStrip = nullptr;
    QFrame *modePage = nullptr;
    QFrame *videoPage = nullptr;
    QFrame *audioPage = nullptr;
    QFrame *channelPage = nullptr;
    QFrame *compressionPage = nullptr;
    QFrame *donePage = nullptr;
    QToolButton *useLastButton = nullptr;
    QToolButton *newSetupButton = nullptr;
    QComboBox *videoDeviceList = nullptr;
    QToolButton *searchAgainButton = nullptr;
    QToolButton *videoNextButton = nullptr;
    QComboBox *audioDeviceList = nullptr;
    QLabel *recordingLineCaption = nullptr;
    QComboBox *recordingLineList = nullptr;
    QComboBox *recordingPinList = nullptr;  // pin number of each line, never visible
    QToolButton *audioNextButton = nullptr;
    QLineEdit *channelNameEdit = nullptr;
    QLineEdit *channelDescriptionEdit = nullptr;
    QLineEdit *keywordsEdit = nullptr;
    QToolButton *channelNextButton = nullptr;
    QRadioButton *levelAutomaticButton = nullptr;
    QRadioButton *levelHighButton = nullptr;
    QRadioButton *levelMediumButton = nullptr;
    QRadioButton *levelLowButton = nullptr;
    QButtonGroup *levelGroup = nullptr;
    QToolButton *compressionNextButton = nullptr;
    QLabel *startIcon = nullptr;  // the start icon in the text of the last page
    QLabel *portalLink = nullptr;
    QToolButton *finishButton = nullptr;
    QToolButton *chooseModeAgainButton = nullptr;
    QToolButton *cancelButton = nullptr;

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
    void prepareOnShow();
    void showPage(QFrame *page);
    void useLastSettings();
    void setUpNew();
    void listVideoDevices();
    void chooseVideoDevice(int index);
    void toAudioPage();
    void listAudio();
    void chooseAudioDevice(int index);
    void chooseRecordingLine(int index);
    void toChannelPage();
    void updateVideoNextButton();
    void updateChannelNextButton();
    void finish();
    void backToModePage();

    WizardHost &host;
    morlanex::ChannelSetup chosen;
};
