#include "app/window_background.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

WindowBackground::WindowBackground(QWidget *window) : QObject(window), window(window) {}

void WindowBackground::addDragHandle(QWidget *handle) {
    handle->installEventFilter(this);
    handle->setProperty("dragHandle", true);
}

void WindowBackground::followDragOn(QWidget *widget) { widget->installEventFilter(this); }

void WindowBackground::addHoverArea(QWidget *area) {
    area->installEventFilter(this);
    area->setProperty("hoverArea", true);
}

void WindowBackground::beginDrag(const QPoint &globalPos) {
    drag = Drag::Pending;
    offset = globalPos - window->frameGeometry().topLeft();
    pressPos = globalPos;
}

void WindowBackground::continueDrag(const QPoint &globalPos) {
    if (drag == Drag::Pending) {
        if ((globalPos - pressPos).manhattanLength() < QApplication::startDragDistance()) return;
        QWindow *w = window->windowHandle();
        if (w && w->startSystemMove()) {
            drag = Drag::None;
            return;
        }
        drag = Drag::Manual;  // the window system cannot move it: move it by hand
    }
    if (drag == Drag::Manual) window->move(globalPos - offset);
}

bool WindowBackground::eventFilter(QObject *watched, QEvent *e) {
    switch (e->type()) {
    case QEvent::MouseButtonPress:
        if (watched->property("dragHandle").toBool()) {
            auto *m = static_cast<QMouseEvent *>(e);
            const QPoint global = m->globalPosition().toPoint();
            emit pressed(m->button(), global);
            if (m->button() == Qt::LeftButton) beginDrag(global);
        }
        return false;
    case QEvent::MouseMove: {
        auto *m = static_cast<QMouseEvent *>(e);
        if (drag != Drag::None) {
            if (m->buttons() & Qt::LeftButton) {
                continueDrag(m->globalPosition().toPoint());
                if (drag == Drag::Manual) return true;
            } else {
                drag = Drag::None;
            }
        }
        if (watched->property("hoverArea").toBool()) emit hovered();
        return false;
    }
    case QEvent::MouseButtonRelease:
        drag = Drag::None;
        return false;
    default:
        return false;
    }
}
