// Internal header. The main window's background pieces: a left press on a drag handle and a
// move of the mouse drags the borderless window (by the window system where it can, by hand
// where it cannot); a move over a hover area resets the window's hover state.
#pragma once

#include <QObject>
#include <QPoint>

class QWidget;

class WindowBackground : public QObject {
    Q_OBJECT
public:
    explicit WindowBackground(QWidget *window);

    void addDragHandle(QWidget *handle);
    // A widget that starts drags itself (beginDrag on its own press); the move is followed here.
    void followDragOn(QWidget *widget);
    void addHoverArea(QWidget *area);
    // A drag that starts once the mouse travels, so a double click stays a double click.
    void beginDrag(const QPoint &globalPos);

signals:
    // Any press on a drag handle.
    void pressed(Qt::MouseButton button, const QPoint &globalPos);
    void hovered();

protected:
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void continueDrag(const QPoint &globalPos);

    enum class Drag { None, Pending, Manual };
    QWidget *window;
    Drag drag = Drag::None;
    QPoint offset;
    QPoint pressPos;
};
