#include "app/caption_editor.h"

#include <QKeyEvent>

CaptionEditor::CaptionEditor(QWidget *parent) : QLineEdit(parent) {
    setFrame(false);
    setFocusPolicy(Qt::ClickFocus);
    hide();
}

void CaptionEditor::open(const QString &text) {
    setText(text);
    show();
    raise();
    setFocus(Qt::OtherFocusReason);
}

void CaptionEditor::keyPressEvent(QKeyEvent *e) {
    if (isVisible() && (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)) {
        emit finished();
        return;
    }
    if (isVisible() && e->key() == Qt::Key_Escape) {
        clear();
        emit finished();
        return;
    }
    QLineEdit::keyPressEvent(e);
}

void CaptionEditor::focusOutEvent(QFocusEvent *e) {
    QLineEdit::focusOutEvent(e);
    if (e->reason() != Qt::ActiveWindowFocusReason && e->reason() != Qt::PopupFocusReason && isVisible())
        emit finished();
}
