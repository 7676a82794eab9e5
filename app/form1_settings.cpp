// The main window's side of the settings file: its writers and the apply step of a preview start.
#include "app/form1.h"

#include "app/qt_codepage.h"
#include "app/settings_file.h"
#include "dialogs/form2.h"

#include <QLabel>

using morlanex::SettingsRecord;

void TForm1::setChannelCaptions(const QString &name, const QString &description)
{
    Label4->setText(name);
    Label4->setToolTip(name);
    Label5->setText(description);
    Label5->setToolTip(description);
}

void TForm1::saveSettingsFromMainWindow()
{
    if (!Form2)
        return;
    SettingsRecord &r = Form2->SettingsRecord;
    r[SettingsRecord::ChannelName] = toCp950(Label4->text());
    r[SettingsRecord::ChannelDescription] = toCp950(Label5->text());
    r[SettingsRecord::VideoDeviceIndex] = std::to_string(VideoDeviceIndex);
    r[SettingsRecord::AudioDeviceIndex] = std::to_string(AudioDeviceIndex);
    r[SettingsRecord::AudioInputPin] = std::to_string(AudioInputPin);
    r[SettingsRecord::CompressionLevel] = std::to_string(CompressionLevel);
    r[SettingsRecord::Keywords] = toCp950(Keywords);
    morlanex::writeSettings(morlanex::settingsFilePath(), r);
}

void TForm1::saveNewLevel(int level)
{
    if (!Form2)
        return;
    SettingsRecord &r = Form2->SettingsRecord;
    r[SettingsRecord::CompressionLevel] = std::to_string(level);
    morlanex::writeSettings(morlanex::settingsFilePath(), r);
}

void TForm1::applySettingsRecord()
{
    if (!Form2)
        return;
    const SettingsRecord &r = Form2->SettingsRecord;
    setChannelCaptions(fromCp950(morlanex::trimmed(r[SettingsRecord::ChannelName])),
                       fromCp950(morlanex::trimmed(r[SettingsRecord::ChannelDescription])));
    // All four convert before any is stored, so a bad line leaves the working copies whole.
    const int video = morlanex::toInteger(r[SettingsRecord::VideoDeviceIndex]);
    const int audio = morlanex::toInteger(r[SettingsRecord::AudioDeviceIndex]);
    const int pin = morlanex::toInteger(r[SettingsRecord::AudioInputPin]);
    const int level = morlanex::toInteger(r[SettingsRecord::CompressionLevel]);
    VideoDeviceIndex = video;
    AudioDeviceIndex = audio;
    AudioInputPin = pin;
    CompressionLevel = level;
    applyCompressionLevel();
}
