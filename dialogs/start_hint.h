// Internal header. `StartHint`: the start pop-up, a borderless balloon that points at the main
// window's action button with a short call to action and goes away by itself.
//
// It is shown at start-up ("按此開始") and again when the wizard starts the preview
// ("按此啟動直播"); it closes after 5000 ms, when it loses the activation, or when the main
// window is pressed (the window calls closeHint()). Its lifetime runs on a tick source, so tests
// step it (real time when none is given). Threads: UI thread only.
#pragma once

#include <QWidget>

#include <QPointer>

#include <memory>

class QLabel;
namespace morlanex {
class TickSource;
class Ticker;
}  // namespace morlanex

class StartHint : public QWidget {
    Q_OBJECT
public:
    explicit StartHint(morlanex::TickSource *ticks = nullptr);
    ~StartHint() override;

    // The action button the balloon points at.
    void setAnchor(QWidget *anchor) { this->anchor = anchor; }
    // Disables the timer and hides the pop-up.
    void closeHint();
    // Sets the call to action and shows the pop-up (placed again, a fresh 5000 ms if it was closed).
    void showWithText(const QString &text);

    QString text() const;
    // Whether the 5000 ms that close it are running.
    bool closingByItself() const;

protected:
    void showEvent(QShowEvent *e) override;
    void changeEvent(QEvent *e) override;

private:
    // Places the pop-up 50 pixels up and left of the action button, brings it to the front and
    // enables the timer; a running timer is not restarted.
    void placeAndRaise();

    QPointer<QWidget> anchor;
    QLabel *callToAction = nullptr;
    std::unique_ptr<morlanex::TickSource> ownTicks;  // when none is given
    std::unique_ptr<morlanex::Ticker> lifetime;  // closes the pop-up after 5000 ms
};
