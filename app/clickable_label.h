// Internal header. A picture or caption of the main window that reports the mouse: presses,
// clicks, double clicks and the pointer moving over it. A press is never handed on to the
// widget behind, so a press on a picture does not start a drag of the frame around it.
#pragma once

#include <QLabel>

class ClickableLabel : public QLabel {
    Q_OBJECT
public:
    explicit ClickableLabel(QWidget *parent);

signals:
    void pressed(Qt::MouseButton button, const QPoint &globalPos);
    void released(Qt::MouseButton button);
    // A left press and release over the label.
    void clicked();
    void doubleClicked();
    // The pointer moved over the label.
    void hovered();

protected:
    void mousePressEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;

private:
    bool leftPressed = false;
};
