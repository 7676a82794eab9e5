// Internal header. The application-wide mouse filter installed at start-up: right-button presses
// and releases aimed at a widget of the embedded HTML view's window class never reach it, so the
// view shows no context menu of its own. Everything else passes untouched.
#pragma once

#include "dialogs/dialog_widgets.h"

#include <QObject>

class MouseHook : public QObject {
    Q_OBJECT
public:
    // A widget belongs to the class when its "windowClass" property (or else its class name)
    // is exactly this text.
    static constexpr const char *kBlockedClass = morlanex::dialogs::kHtmlViewWindowClass;

    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *e) override;
};
