// Internal header. `TForm4`: the start pop-up, a borderless balloon that points at the main
// window's action button with a short call to action and goes away by itself.
//
// It is shown at start-up ("按此開始") and again when the wizard starts the preview
// ("按此啟動直播"); it closes after 5000 ms, when it loses the activation, or when the main
// window is pressed (TForm1 calls closePopup()). Threads: UI thread only.
#pragma once

#include <QWidget>

class QLabel;
class QTimer;
class TForm1;

class TForm4 : public QWidget {
    Q_OBJECT
public:
    explicit TForm4(TForm1 *mainWindow);

    // Disables the timer and hides the pop-up.
    void closePopup();
    // Sets the call to action and shows the pop-up (placed again, a fresh 5000 ms if it was closed).
    void showWithText(const QString &text);

    // Places the pop-up 50 pixels up and left of the action button, brings it to the front and
    // enables the timer; a running timer is not restarted.
    void FormShow();

    QLabel *Image1 = nullptr; // balloon picture
    QLabel *Label1 = nullptr; // call to action
    QTimer *Timer1 = nullptr; // closes the pop-up after 5000 ms

protected:
    void showEvent(QShowEvent *e) override;
    void changeEvent(QEvent *e) override;

private:
    TForm1 *Form1;
};
