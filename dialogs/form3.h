// Internal header. `TForm3`: the about box.
#pragma once

#include <QDialog>

class TForm1;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(TForm1 *mainWindow);

    // Centres the box on the screen and shows it modally.
    void showCentred();

private:
    TForm1 *Form1;
};
