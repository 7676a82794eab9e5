// In-place editing of the channel name and description on the main window.
#include "app/caption_editor.h"
#include "app/clickable_label.h"
#include "app/main_window_parts.h"
#include "app/window_background.h"
#include "dialogs/dialog_widgets.h"
#include "session/broadcast_session.h"

using morlanex::dialogs::trimmedText;

void MainWindow::connectCaptions()
{
    Parts &w = *parts;
    for (ClickableLabel *name : {w.channelNameLabel, w.nameHelpIcon}) {
        connect(name, &ClickableLabel::doubleClicked, this, [this] { guarded([this] { openEditor(true); }); });
        connect(name, &ClickableLabel::pressed, this, [this](Qt::MouseButton b, const QPoint &at) {
            guarded([&] { onCaptionPressed(true, b, at); });
        });
        w.background->followDragOn(name);
    }
    for (ClickableLabel *description : {w.channelDescriptionLabel, w.descriptionHelpIcon}) {
        connect(description, &ClickableLabel::doubleClicked, this, [this] { guarded([this] { openEditor(false); }); });
        connect(description, &ClickableLabel::pressed, this, [this](Qt::MouseButton b, const QPoint &at) {
            guarded([&] { onCaptionPressed(false, b, at); });
        });
        w.background->followDragOn(description);
    }
    connect(w.channelNameLabel, &ClickableLabel::hovered, this, &MainWindow::onNameHovered);
    connect(w.channelDescriptionLabel, &ClickableLabel::hovered, this, &MainWindow::onDescriptionHovered);
    for (CaptionEditor *edit : {w.channelNameEdit, w.channelDescriptionEdit})
        connect(edit, &CaptionEditor::finished, this, [this] { guarded([this] { finishEdit(); }); });
}

void MainWindow::setChannelCaptions(const QString &name, const QString &description)
{
    parts->channelNameLabel->setText(name);
    parts->channelNameLabel->setToolTip(name);
    parts->channelDescriptionLabel->setText(description);
    parts->channelDescriptionLabel->setToolTip(description);
    broadcast->setChannelTexts(name, description);
}

void MainWindow::openEditor(bool name)
{
    // Either caption is editable only once a channel name is shown.
    if (busy() || trimmedText(parts->channelNameLabel->text()).isEmpty())
        return;
    if (name)
        parts->channelNameEdit->open(parts->channelNameLabel->text());
    else
        parts->channelDescriptionEdit->open(parts->channelDescriptionLabel->text());
}

void MainWindow::onCaptionPressed(bool name, Qt::MouseButton button, const QPoint &globalPos)
{
    // A press on one caption accepts an open edit of the other.
    if ((name ? parts->channelDescriptionEdit : parts->channelNameEdit)->hasFocus())
        finishEdit();
    closeStartHint();
    if (button == Qt::LeftButton)
        parts->background->beginDrag(globalPos);
}

void MainWindow::onNameHovered()
{
    // Only the registration stops the name's help icon; the description tests both sequences.
    if (broadcast->state() == morlanex::BroadcastState::Registering || parts->channelNameLabel->text().isEmpty())
        return;
    parts->descriptionHelpIcon->hide();
    parts->nameHelpIcon->show();
}

void MainWindow::onDescriptionHovered()
{
    if (busy() || parts->channelDescriptionLabel->text().isEmpty())
        return;
    parts->nameHelpIcon->hide();
    parts->descriptionHelpIcon->show();
}

void MainWindow::finishOpenEdit()
{
    if (parts->channelNameEdit->hasFocus())
        finishEdit();
    if (parts->channelDescriptionEdit->hasFocus())
        finishEdit();
}

void MainWindow::finishEdit()
{
    // Hiding a focused editor moves the focus; that must not finish a second time.
    if (finishingEdit)
        return;
    finishingEdit = true;
    struct Reset { bool &flag; ~Reset() { flag = false; } } reset{finishingEdit};

    auto accept = [this](CaptionEditor *edit, ClickableLabel *label) {
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
    if (parts->channelNameEdit->hasFocus() && !accept(parts->channelNameEdit, parts->channelNameLabel))
        return;
    if (parts->channelDescriptionEdit->hasFocus() && !accept(parts->channelDescriptionEdit, parts->channelDescriptionLabel))
        return;

    saveSettings();
    broadcast->correctChannelTexts(parts->channelNameLabel->text(), parts->channelDescriptionLabel->text());
}
