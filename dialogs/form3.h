// Internal header. `TForm3`: the about box, a modal dialog with the banner, the version, the
// maker's line, a read-only help text and the address at which the live channel is reached.
//
// Threads: UI thread only. The labels are set on every showing and do not follow a broadcast
// that starts or stops while the box is open.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class TForm1;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(TForm1 *mainWindow);

    // Centres the box on the screen and shows it modally.
    void showCentred();

    // Version and network location, from the main window's state at this moment.
    void FormShow();

    // The help text's wording; the download address is the portal's.
    static QString helpText(const QString &portalUrl);

    QLabel *Image1 = nullptr;         // banner
    QLabel *Label3 = nullptr;         // version, on the banner
    QLabel *Label2 = nullptr;         // maker
    QPlainTextEdit *Memo1 = nullptr;  // help text
    QGroupBox *GroupBox1 = nullptr;   // "視訊分享網路位置"
    QLabel *Label1 = nullptr;         // NodePublicAddress:LocalPort while live

protected:
    void showEvent(QShowEvent *e) override;

private:
    TForm1 *Form1;
};
