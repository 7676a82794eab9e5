// Internal header. `TForm2`: the quick-setup wizard, a modal dialog of six pages.
#pragma once

#include "app/settings_file.h"

#include <QDialog>

class TForm1;

class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(TForm1 *mainWindow);

    // The only in-memory copy of the settings file, loaded each time the wizard opens.
    morlanex::SettingsRecord SettingsRecord;

private:
    TForm1 *Form1;
};
