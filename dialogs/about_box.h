// Internal header. `AboutBox`: the about box, a modal dialog with the banner, the version, the
// maker's line, a read-only help text and the address at which the live channel is reached.
//
// Threads: UI thread only. The labels are set on every showing and do not follow a broadcast
// that starts or stops while the box is open.
#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QPlainTextEdit;

// What the box shows of the running program, asked for on every showing.
struct AboutInfo {
    QString version;
    QString liveAddress;  // address:port of the live stream; empty when not live
    QString outside;  // whether viewers outside the router get in; empty when not live
};

class AboutBox : public QDialog {
    Q_OBJECT
public:
    AboutBox(const QString &portalUrl, QWidget *parent);

    void setInfoSource(std::function<AboutInfo()> source) { info = std::move(source); }
    // Centres the box on the screen and shows it modally.
    void showCentred();

    // The help text's wording; the download address is the portal's.
    static QString helpText(const QString &portalUrl);

protected:
    void showEvent(QShowEvent *e) override;

private:
    std::function<AboutInfo()> info;
    QLabel *versionLabel = nullptr;
    QPlainTextEdit *helpText_ = nullptr;
    QLabel *liveAddressLabel = nullptr;
    QLabel *outsideLabel = nullptr;
};
