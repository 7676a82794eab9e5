// Internal header. The in-place editor of a channel caption: Enter accepts, Escape empties it
// (which keeps the old text), and the focus moving on to another control accepts too; the
// window merely losing activation does not.
#pragma once

#include <QLineEdit>

class CaptionEditor : public QLineEdit {
    Q_OBJECT
public:
    explicit CaptionEditor(QWidget *parent);
    // Shows the editor over its caption with `text`, focused.
    void open(const QString &text);

signals:
    void finished();

protected:
    void keyPressEvent(QKeyEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;
};
