// The wizard's behaviour: showing, the page transitions and enabling rules, and "完成".
#include "dialogs/setup_wizard.h"

#include "dialogs/dialog_widgets.h"

#include <QMessageBox>
#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QToolButton>
#include <QUrl>

using morlanex::dialogs::charactersOutsideBig5;
using morlanex::dialogs::outsideBig5Message;
using morlanex::dialogs::trimmedText;

const QString SetupWizard::kNoVideoDevice = QStringLiteral("您未安裝任何視訊擷取裝置");

namespace {
// The device list's stand-in for "no camera" (kNoVideoDevice), as the user reads it.
QString noVideoDeviceShown() { return QCoreApplication::translate("SetupWizard", "您未安裝任何視訊擷取裝置"); }

void fill(QComboBox *combo, const QStringList &items, int current) {
    combo->clear();
    combo->addItems(items);
    combo->setCurrentIndex(current);
}

QStringList items(const QComboBox *combo) {
    QStringList list;
    for (int i = 0; i < combo->count(); ++i) list << combo->itemText(i);
    return list;
}
}  // namespace

void SetupWizard::connectHandlers() {
    connect(useLastButton, &QToolButton::clicked, this, &SetupWizard::useLastSettings);
    connect(newSetupButton, &QToolButton::clicked, this, &SetupWizard::setUpNew);
    connect(videoDeviceList, &QComboBox::activated, this, &SetupWizard::chooseVideoDevice);
    connect(searchAgainButton, &QToolButton::clicked, this, [this] {
        listVideoDevices();
        videoDeviceList->setFocus();
        updateVideoNextButton();
    });
    connect(videoNextButton, &QToolButton::clicked, this, &SetupWizard::toAudioPage);
    connect(audioDeviceList, &QComboBox::activated, this, &SetupWizard::chooseAudioDevice);
    connect(recordingLineList, &QComboBox::activated, this, &SetupWizard::chooseRecordingLine);
    connect(audioNextButton, &QToolButton::clicked, this, &SetupWizard::toChannelPage);
    connect(channelNameEdit, &QLineEdit::textChanged, this, &SetupWizard::updateChannelNextButton);
    connect(channelDescriptionEdit, &QLineEdit::textChanged, this, &SetupWizard::updateChannelNextButton);
    connect(channelNextButton, &QToolButton::clicked, this, [this] { showPage(compressionPage); });
    connect(levelGroup, &QButtonGroup::idClicked, this, [this](int level) { chosen.compressionLevel = level; });
    connect(compressionNextButton, &QToolButton::clicked, this, [this] { showPage(donePage); });
    connect(finishButton, &QToolButton::clicked, this, &SetupWizard::finish);
    connect(chooseModeAgainButton, &QToolButton::clicked, this, &SetupWizard::backToModePage);
    connect(cancelButton, &QToolButton::clicked, this, &SetupWizard::reject);
}

// ---------------------------------------------------------------------------------------------

void SetupWizard::showEvent(QShowEvent *e) {
    QDialog::showEvent(e);
    // Centred on the screen, not over the main window, which the user may have moved.
    if (const QScreen *s = screen()) move(s->availableGeometry().center() - rect().center());
    // Runs while the dialog counts as showing, so the host's close-device command knows the
    // wizard asked for it and asks no confirmation.
    prepareOnShow();
}

void SetupWizard::prepareOnShow() {
    host.closeDeviceForWizard();
    chooseModeAgainButton->hide();
    channelNextButton->setEnabled(false);
    showPage(modePage);

    chosen = host.storedSetup();
    {
        // Loading is not typing: the channel page decides its button when it is entered.
        const QSignalBlocker block1(channelNameEdit), block2(channelDescriptionEdit);
        channelNameEdit->setText(chosen.name);
        channelDescriptionEdit->setText(chosen.description);
    }
    keywordsEdit->setText(chosen.keywords);
    useLastButton->setEnabled(!trimmedText(chosen.name).isEmpty() && !trimmedText(chosen.description).isEmpty());
}

void SetupWizard::showPage(QFrame *shown) {
    for (QFrame *p : {modePage, videoPage, audioPage, channelPage, compressionPage, donePage})
        if (p != shown) p->hide();
    shown->show();
}

// --- modePage: setup mode ------------------------------------------------------------------------

void SetupWizard::useLastSettings() {
    if (host.busy()) return;
    // A stored line that is no number stops the preview start; the user may then set up anew.
    if (host.startWithStoredSettings()) accept();
}

void SetupWizard::setUpNew() {
    if (host.busy()) return;
    listVideoDevices();
    updateVideoNextButton();
    showPage(videoPage);
    chooseModeAgainButton->show();
}

// --- videoPage: video device ---------------------------------------------------------------------

void SetupWizard::listVideoDevices() {
    DeviceList videos = host.videoDevices();
    for (QString &name : videos.names)
        if (name == kNoVideoDevice) name = noVideoDeviceShown();
    fill(videoDeviceList, videos.names, videos.current);
    chosen.devices.camera = videos.current;
    audioDeviceList->clear();
}

void SetupWizard::updateVideoNextButton() {
    videoNextButton->setEnabled(videoDeviceList->count() > 0 && videoDeviceList->currentText() != noVideoDeviceShown());
}

void SetupWizard::chooseVideoDevice(int index) {
    chosen.devices.camera = index;
    updateVideoNextButton();
}

void SetupWizard::toAudioPage() {
    listAudio();
    showPage(audioPage);
}

// --- audioPage: audio device and recording line --------------------------------------------------

void SetupWizard::listAudio() {
    const DeviceList shown{items(audioDeviceList), audioDeviceList->currentIndex()};
    const AudioChoices audio = host.audioChoices(shown, chosen.devices.microphone);
    // The list the user sees and chose from stays unless the devices changed.
    if (items(audioDeviceList) != audio.devices.names)
        fill(audioDeviceList, audio.devices.names, audio.devices.current);
    else
        audioDeviceList->setCurrentIndex(audio.devices.current);
    fill(recordingLineList, audio.lines, audio.currentLine);
    fill(recordingPinList, audio.linePins, audio.currentLine);
    recordingLineList->setEnabled(audio.linesEnabled);
    recordingLineCaption->setEnabled(audio.linesCaptionEnabled);
    // The camera stays the one chosen on the video page.
    chosen.devices.microphone = audio.choice.microphone;
    chosen.devices.recordingLine = audio.choice.recordingLine;
    chosen.devices.listedMicrophone = audio.choice.listedMicrophone;
}

void SetupWizard::chooseAudioDevice(int index) {
    if (audioDeviceList->itemText(index) == QString::fromStdString(chosen.devices.listedMicrophone)) return;
    chosen.devices.microphone = index;
    listAudio();
}

void SetupWizard::chooseRecordingLine(int index) {
    bool ok = false;
    const int pin = recordingPinList->itemText(index).toInt(&ok);
    if (ok) chosen.devices.recordingLine = pin;
}

void SetupWizard::toChannelPage() {
    showPage(channelPage);
    updateChannelNextButton();
}

// --- channelPage: channel texts ------------------------------------------------------------------

void SetupWizard::updateChannelNextButton() {
    channelNextButton->setEnabled(!trimmedText(channelNameEdit->text()).isEmpty() &&
                                  !trimmedText(channelDescriptionEdit->text()).isEmpty());
}

// --- donePage: done ------------------------------------------------------------------------------

bool SetupWizard::eventFilter(QObject *watched, QEvent *e) {
    if (watched == portalLink && e->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton) {
        QDesktopServices::openUrl(QUrl(host.portalUrl()));
        return true;
    }
    return QDialog::eventFilter(watched, e);
}

void SetupWizard::finish() {
    chosen.name = trimmedText(channelNameEdit->text());
    chosen.description = trimmedText(channelDescriptionEdit->text());
    chosen.keywords = trimmedText(keywordsEdit->text());
    const QString outside = charactersOutsideBig5(chosen.name + chosen.description + chosen.keywords);
    if (!outside.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Morlanex!"), outsideBig5Message(outside));
        return;
    }
    if (host.startWithSetup(chosen)) accept();
}

// --- any page ------------------------------------------------------------------------------------

void SetupWizard::backToModePage() {
    if (host.busy()) return;
    showPage(modePage);
    chooseModeAgainButton->hide();
}
