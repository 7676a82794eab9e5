// In-place editing of the channel name and description on the main window.
#include "app/form1.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

namespace {
QString trimmedText(const QString &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && text.at(b).unicode() <= 32)
        ++b;
    while (e > b && text.at(e - 1).unicode() <= 32)
        --e;
    return text.mid(b, e - b);
}

void openEditor(QLineEdit *edit, const QString &text)
{
    edit->setText(text);
    edit->show();
    edit->raise();
    edit->setFocus(Qt::OtherFocusReason);
}
} // namespace

void TForm1::Label4DblClick()
{
    if (busy() || trimmedText(Label4->text()).isEmpty())
        return;
    openEditor(Edit1, Label4->text());
}

void TForm1::Label5DblClick()
{
    // The description is editable only once a channel name is shown.
    if (busy() || trimmedText(Label4->text()).isEmpty())
        return;
    openEditor(Edit2, Label5->text());
}

void TForm1::Label4MouseDown(Qt::MouseButton button, const QPoint &globalPos)
{
    if (Edit2->hasFocus())
        Edit1Exit();
    closeStartPopup();
    if (button == Qt::LeftButton)
        beginWindowDrag(globalPos);
}

void TForm1::Label5MouseDown(Qt::MouseButton button, const QPoint &globalPos)
{
    if (Edit1->hasFocus())
        Edit1Exit();
    closeStartPopup();
    if (button == Qt::LeftButton)
        beginWindowDrag(globalPos);
}

void TForm1::Label4MouseMove()
{
    // Only the connect sequence stops the name's help icon; the description tests both timers.
    if (Timer1->isActive() || Label4->text().isEmpty())
        return;
    Image9->hide();
    Image10->show();
}

void TForm1::Label5MouseMove()
{
    if (busy() || Label5->text().isEmpty())
        return;
    Image10->hide();
    Image9->show();
}

void TForm1::Edit1Exit()
{
    // Hiding a focused editor moves the focus; that must not finish a second time.
    finishingEdit = true;
    struct Reset { bool &flag; ~Reset() { flag = false; } } reset{finishingEdit};

    auto accept = [this](QLineEdit *edit, QLabel *label) {
        const QString text = trimmedText(edit->text());
        const bool changed = !text.isEmpty() && text != label->text();
        if (changed) {
            label->setText(text);
            label->setToolTip(text);
        }
        // The focus goes back to the window, so keys no longer reach a closed editor.
        if (edit->hasFocus())
            setFocus(Qt::OtherFocusReason);
        edit->hide();
        edit->clear();
        return changed;
    };
    if (Edit1->hasFocus() && !accept(Edit1, Label4))
        return;
    if (Edit2->hasFocus() && !accept(Edit2, Label5))
        return;

    saveSettingsFromMainWindow();
    if (LiveActive) {
        try {
            sendChannelTextNotice();
        } catch (...) {
            // The edit stays accepted whatever the directory notice did.
        }
    }
}
