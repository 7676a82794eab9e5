// In-place editing of the channel name and description on the main window.
#include "app/caption_editor.h"
#include "app/clickable_label.h"
#include "app/main_window_parts.h"
#include "app/window_background.h"
#include "dialogs/dialog_widgets.h"
#include "session/broadcast_session.h"
#include "session/channel_setup.h"

#include <QMessageBox>

using morlanex::dialogs::trimmedText;

void MainWindow::connectCaptions() {
    Parts &w = *parts;
    for (ClickableLabel *name : {w.channelNameLabel, w.nameHelpIcon}) {
        connect(name, &ClickableLabel::doubleClicked, this, [this] { guarded([this] { openEditor(true); }); });
        connect(name, &ClickableLabel::pressed, this,
                [this](Qt::MouseButton b, const QPoint &at) { guarded([&] { onCaptionPressed(true, b, at); }); });
        w.background->followDragOn(name);
    }
    for (ClickableLabel *description : {w.channelDescriptionLabel, w.descriptionHelpIcon}) {
        connect(description, &ClickableLabel::doubleClicked, this, [this] { guarded([this] { openEditor(false); }); });
        connect(description, &ClickableLabel::pressed, this,
                [this](Qt::MouseButton b, const QPoint &at) { guarded([&] { onCaptionPressed(false, b, at); }); });
        w.background->followDragOn(description);
    }
    connect(w.channelNameLabel, &ClickableLabel::hovered, this, &MainWindow::onNameHovered);
    connect(w.channelDescriptionLabel, &ClickableLabel::hovered, this, &MainWindow::onDescriptionHovered);
    for (CaptionEditor *edit : {w.channelNameEdit, w.channelDescriptionEdit})
        connect(edit, &CaptionEditor::finished, this, [this] { guarded([this] { finishEdit(); }); });
    connect(setupModel, &morlanex::ChannelSetupModel::changed, this, &MainWindow::showChannelTexts);
}

// The captions show the working setup's texts, which are also the ones registered with.
void MainWindow::showChannelTexts() {
    const morlanex::ChannelSetup &setup = setupModel->setup();
    parts->channelNameLabel->setText(setup.name);
    parts->channelNameLabel->setToolTip(setup.name);
    parts->channelDescriptionLabel->setText(setup.description);
    parts->channelDescriptionLabel->setToolTip(setup.description);
    broadcast->setChannelTexts(setup.name, setup.description);
}

void MainWindow::openEditor(bool name) {
    // Either caption is editable only once a channel name is shown.
    const morlanex::ChannelSetup &setup = setupModel->setup();
    if (busy() || trimmedText(setup.name).isEmpty()) return;
    if (name)
        parts->channelNameEdit->open(setup.name);
    else
        parts->channelDescriptionEdit->open(setup.description);
}

void MainWindow::onCaptionPressed(bool name, Qt::MouseButton button, const QPoint &globalPos) {
    // A press on one caption accepts an open edit of the other.
    if ((name ? parts->channelDescriptionEdit : parts->channelNameEdit)->hasFocus()) finishEdit();
    closeStartHint();
    if (button == Qt::LeftButton) parts->background->beginDrag(globalPos);
}

void MainWindow::onNameHovered() {
    // Only the registration stops the name's help icon; the description tests both sequences.
    if (broadcast->state() == morlanex::BroadcastState::Registering || setupModel->setup().name.isEmpty()) return;
    parts->descriptionHelpIcon->hide();
    parts->nameHelpIcon->show();
}

void MainWindow::onDescriptionHovered() {
    if (busy() || setupModel->setup().description.isEmpty()) return;
    parts->nameHelpIcon->hide();
    parts->descriptionHelpIcon->show();
}

void MainWindow::finishOpenEdit() {
    if (parts->channelNameEdit->hasFocus()) finishEdit();
    if (parts->channelDescriptionEdit->hasFocus()) finishEdit();
}

void MainWindow::finishEdit() {
    // Hiding a focused editor moves the focus; that must not finish a second time.
    if (finishingEdit) return;
    finishingEdit = true;
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{finishingEdit};

    // The edit's trimmed text when it is new and not blank, else an empty one; the editor closes.
    auto take = [this](CaptionEditor *edit, const QString &shown) {
        const QString text = trimmedText(edit->text());
        // The focus goes back to the window, so keys no longer reach a closed editor.
        if (edit->hasFocus()) setFocus(Qt::OtherFocusReason);
        edit->hide();
        edit->clear();
        return text != shown ? text : QString();
    };
    // Text the settings file and the directory cannot carry is refused; the editor stays open.
    for (CaptionEditor *edit : {parts->channelNameEdit, parts->channelDescriptionEdit}) {
        const QString outside = morlanex::dialogs::charactersOutsideBig5(trimmedText(edit->text()));
        if (edit->hasFocus() && !outside.isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("Morlanex!"), morlanex::dialogs::outsideBig5Message(outside));
            edit->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    const morlanex::ChannelSetup &setup = setupModel->setup();
    if (parts->channelNameEdit->hasFocus()) {
        const QString name = take(parts->channelNameEdit, setup.name);
        if (name.isEmpty()) return;
        setupModel->setTexts(name, setup.description);
    }
    if (parts->channelDescriptionEdit->hasFocus()) {
        const QString description = take(parts->channelDescriptionEdit, setup.description);
        if (description.isEmpty()) return;
        setupModel->setTexts(setup.name, description);
    }

    broadcast->correctChannelTexts(setup.name, setup.description);
    saveSettings();  // a failure is reported; the caption stays as typed
}
