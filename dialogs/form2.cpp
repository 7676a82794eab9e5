// The wizard's behaviour: showing, the page transitions and enabling rules, and "完成".
#include "dialogs/form2.h"

#include "app/form1.h"
#include "dialogs/dialog_widgets.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QToolButton>

using morlanex::dialogs::cp950Text;
using morlanex::dialogs::trimmedText;
using morlanex::dialogs::unicodeText;

const QString TForm2::kNoVideoDevice = QStringLiteral("您未安裝任何視訊擷取裝置");

void TForm2::connectHandlers()
{
    connect(SpeedButton3, &QToolButton::clicked, this, &TForm2::SpeedButton3Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TForm2::SpeedButton2Click);
    connect(ComboBox1, &QComboBox::activated, this, &TForm2::ComboBox1Change);
    connect(SpeedButton6, &QToolButton::clicked, this, &TForm2::SpeedButton6Click);
    connect(SpeedButton7, &QToolButton::clicked, this, &TForm2::SpeedButton7Click);
    connect(ComboBox2, &QComboBox::activated, this, &TForm2::ComboBox2Change);
    connect(ComboBox3, &QComboBox::activated, this, &TForm2::ComboBox3Change);
    connect(SpeedButton1, &QToolButton::clicked, this, &TForm2::SpeedButton1Click);
    connect(Edit1, &QLineEdit::textChanged, this, &TForm2::Edit1Change);
    connect(Edit2, &QLineEdit::textChanged, this, &TForm2::Edit1Change);
    connect(SpeedButton8, &QToolButton::clicked, this, &TForm2::SpeedButton8Click);
    connect(RadioGroup, &QButtonGroup::idClicked, this, &TForm2::RadioButtonClick);
    connect(SpeedButton9, &QToolButton::clicked, this, &TForm2::SpeedButton9Click);
    connect(SpeedButton11, &QToolButton::clicked, this, &TForm2::SpeedButton11Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &TForm2::SpeedButton4Click);
    connect(SpeedButton5, &QToolButton::clicked, this, &TForm2::SpeedButton5Click);
}

// ---------------------------------------------------------------------------------------------

void TForm2::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    // Centred on the screen, not over the main window, which the user may have moved.
    if (const QScreen *screen = Form1->screen())
        move(screen->availableGeometry().center() - rect().center());
    // Runs while the dialog counts as showing, so the main window's close-device command
    // knows the wizard asked for it and asks no confirmation.
    FormShow();
}

void TForm2::FormShow()
{
    guarded(&TForm1::SpeedButton1Click);
    SpeedButton4->hide();
    SpeedButton8->setEnabled(false);
    showPage(Panel1);

    SettingsRecord = morlanex::readSettings(morlanex::settingsFilePath());
    using Line = morlanex::SettingsRecord::Line;
    {
        // Loading is not typing: the channel page decides its button when it is entered.
        const QSignalBlocker block1(Edit1), block2(Edit2);
        Edit1->setText(unicodeText(SettingsRecord[Line::ChannelName]));
        Edit2->setText(unicodeText(SettingsRecord[Line::ChannelDescription]));
    }
    Form1->Keywords = unicodeText(SettingsRecord[Line::Keywords]);
    Edit3->setText(Form1->Keywords);
    SpeedButton3->setEnabled(!morlanex::trimmed(SettingsRecord[Line::ChannelName]).empty()
                             && !morlanex::trimmed(SettingsRecord[Line::ChannelDescription]).empty());
}

void TForm2::showPage(QFrame *shown)
{
    for (QFrame *p : {Panel1, Panel2, Panel3, Panel4, Panel5, Panel6})
        if (p != shown)
            p->hide();
    shown->show();
}

bool TForm2::guarded(void (TForm1::*call)())
{
    try {
        (Form1->*call)();
        return true;
    } catch (const std::exception &e) {
        Form1->reportError(QString::fromUtf8(e.what()));
        return false;
    }
}

// --- Panel1: setup mode ------------------------------------------------------------------------

void TForm2::SpeedButton3Click()
{
    if (Form1->busy())
        return;
    // A stored line that is no number stops the preview start; the user may then set up anew.
    if (guarded(&TForm1::BeginPreview))
        accept();
}

void TForm2::SpeedButton2Click()
{
    if (Form1->busy())
        return;
    guarded(&TForm1::GetWebCamProc);
    updateSpeedButton7();
    showPage(Panel2);
    SpeedButton4->show();
}

// --- Panel2: video device ----------------------------------------------------------------------

void TForm2::updateSpeedButton7()
{
    SpeedButton7->setEnabled(ComboBox1->count() > 0 && ComboBox1->currentText() != kNoVideoDevice);
}

void TForm2::ComboBox1Change(int index)
{
    Form1->VideoDeviceIndex = index;
    updateSpeedButton7();
}

void TForm2::SpeedButton6Click()
{
    guarded(&TForm1::GetWebCamProc);
    ComboBox1->setFocus();
    updateSpeedButton7();
}

void TForm2::SpeedButton7Click()
{
    guarded(&TForm1::GetWAVProc);
    showPage(Panel3);
}

// --- Panel3: audio device and recording line ---------------------------------------------------

void TForm2::ComboBox2Change(int index)
{
    if (ComboBox2->itemText(index) == Form1->ListedAudioDevice)
        return;
    Form1->AudioDeviceIndex = index;
    guarded(&TForm1::GetWAVProc);
}

void TForm2::ComboBox3Change(int index)
{
    bool ok = false;
    const int pin = ComboBox4->itemText(index).toInt(&ok);
    if (ok)
        Form1->AudioInputPin = pin;
}

void TForm2::SpeedButton1Click()
{
    showPage(Panel4);
    updateSpeedButton8();
}

// --- Panel4: channel texts ---------------------------------------------------------------------

void TForm2::updateSpeedButton8()
{
    SpeedButton8->setEnabled(!trimmedText(Edit1->text()).isEmpty()
                             && !trimmedText(Edit2->text()).isEmpty());
}

void TForm2::Edit1Change()
{
    updateSpeedButton8();
}

void TForm2::SpeedButton8Click()
{
    showPage(Panel5);
}

// --- Panel5: compression -----------------------------------------------------------------------

void TForm2::RadioButtonClick(int level)
{
    Form1->CompressionLevel = level;
}

void TForm2::SpeedButton9Click()
{
    showPage(Panel6);
}

// --- Panel6: done ------------------------------------------------------------------------------

void TForm2::Label16Click()
{
    TForm1::openUrl(QString::fromStdString(Form1->config().portalUrl));
}

bool TForm2::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == Label16 && e->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton) {
        Label16Click();
        return true;
    }
    return QDialog::eventFilter(watched, e);
}

void TForm2::SpeedButton11Click()
{
    const QString name = trimmedText(Edit1->text());
    const QString description = trimmedText(Edit2->text());
    Form1->Label4->setText(name);
    Form1->Label4->setToolTip(name);
    Form1->Label5->setText(description);
    Form1->Label5->setToolTip(description);
    Form1->Keywords = trimmedText(Edit3->text());

    using Line = morlanex::SettingsRecord::Line;
    SettingsRecord[Line::ChannelName] = cp950Text(Form1->Label4->text());
    SettingsRecord[Line::ChannelDescription] = cp950Text(Form1->Label5->text());
    SettingsRecord[Line::VideoDeviceIndex] = std::to_string(Form1->VideoDeviceIndex);
    SettingsRecord[Line::AudioDeviceIndex] = std::to_string(Form1->AudioDeviceIndex);
    SettingsRecord[Line::AudioInputPin] = std::to_string(Form1->AudioInputPin);
    SettingsRecord[Line::CompressionLevel] = std::to_string(Form1->CompressionLevel);
    SettingsRecord[Line::Keywords] = cp950Text(Form1->Keywords);
    // A file that cannot be written is not reported; the preview starts all the same.
    morlanex::writeSettings(morlanex::settingsFilePath(), SettingsRecord);

    if (guarded(&TForm1::BeginPreview))
        accept();
}

// --- any page ----------------------------------------------------------------------------------

void TForm2::SpeedButton4Click()
{
    if (Form1->busy())
        return;
    showPage(Panel1);
    SpeedButton4->hide();
}

void TForm2::SpeedButton5Click()
{
    reject();
}
