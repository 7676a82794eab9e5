// Placeholders for the wizard's device-list calls until the media side defines them.
// They are weak, so the media side's definitions replace them without touching this file:
// until then the wizard sees a machine without capture devices.
#include "app/form1.h"

#include "dialogs/form2.h"

#include <QComboBox>
#include <QLabel>

[[gnu::weak]] void TForm1::GetWebCamProc()
{
    if (!Form2)
        return;
    Form2->ComboBox1->clear();
    Form2->ComboBox2->clear();
    Form2->ComboBox1->addItem(TForm2::kNoVideoDevice);
    Form2->ComboBox1->setCurrentIndex(0);
    VideoDeviceIndex = -1;
}

[[gnu::weak]] void TForm1::GetWAVProc()
{
    if (!Form2)
        return;
    Form2->ComboBox3->clear();
    Form2->ComboBox4->clear();
    Form2->ComboBox3->setEnabled(false);
    Form2->Label8->setEnabled(false);
    AudioInputPin = -1;
    ListedAudioDevice = Form2->ComboBox2->currentText();
}
