// Internal header. `TForm4`: the start pop-up, a borderless balloon pointing at the action button.
#pragma once

#include <QWidget>

class QLabel;
class QTimer;
class TForm1;

class TForm4 : public QWidget {
    Q_OBJECT
public:
    explicit TForm4(TForm1 *mainWindow);

    void closePopup();
    // Sets the call to action and shows the pop-up (placed again, a fresh 5000 ms if it was closed).
    void showWithText(const QString &text);

    QLabel *Image1 = nullptr; // balloon picture
    QLabel *Label1 = nullptr; // call to action
    QTimer *Timer1 = nullptr; // closes the pop-up after 5000 ms

private:
    TForm1 *Form1;
};
