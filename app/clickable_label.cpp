#include "app/clickable_label.h"

#include <QMouseEvent>

ClickableLabel::ClickableLabel(QWidget *parent) : QLabel(parent) { setMouseTracking(true); }

void ClickableLabel::mousePressEvent(QMouseEvent *e) {
    leftPressed = e->button() == Qt::LeftButton;
    emit pressed(e->button(), e->globalPosition().toPoint());
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent *e) {
    const bool click = leftPressed && e->button() == Qt::LeftButton && rect().contains(e->position().toPoint());
    leftPressed = false;
    emit released(e->button());
    if (click) emit clicked();
}

void ClickableLabel::mouseDoubleClickEvent(QMouseEvent *) { emit doubleClicked(); }

void ClickableLabel::mouseMoveEvent(QMouseEvent *e) {
    QLabel::mouseMoveEvent(e);
    emit hovered();
}
