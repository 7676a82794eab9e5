#include "app/mouse_hook.h"

#include <QMouseEvent>
#include <QWidget>

bool MouseHook::eventFilter(QObject *watched, QEvent *e) {
    if (e->type() != QEvent::MouseButtonPress && e->type() != QEvent::MouseButtonRelease) return false;
    if (static_cast<QMouseEvent *>(e)->button() != Qt::RightButton) return false;
    auto *w = qobject_cast<QWidget *>(watched);
    if (!w) return false;
    const QVariant declared = w->property("windowClass");
    const QByteArray className =
        declared.isValid() ? declared.toString().toUtf8().left(256) : QByteArray(w->metaObject()->className());
    return className == kBlockedClass;
}
