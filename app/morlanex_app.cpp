#include "app/morlanex_app.h"

#include "app/main_window.h"
#include "app/mouse_hook.h"
#include "app/settings_store.h"
#include "dialogs/about_box.h"
#include "dialogs/setup_wizard.h"
#include "dialogs/start_hint.h"
#include "session/tick_source.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

namespace {
// The interface font: a Ming face for Traditional Chinese at 9 points.
QFont interfaceFont() {
    const QStringList families = QFontDatabase::families();
    for (const char *name : {"AR PL UMing TW", "AR PL UMing TW MBE", "AR PL UMing HK", "Noto Serif CJK TC",
                             "Noto Sans CJK TC", "WenQuanYi Zen Hei"}) {
        if (families.contains(QLatin1String(name))) return QFont(QLatin1String(name), 9);
    }
    return QFont(QApplication::font().family(), 9);
}
}  // namespace

MorlanexApp::MorlanexApp(morlanex::TickSource *ticks) : settings(std::make_unique<SettingsStore>()) {
    if (!ticks) {
        ownTicks = std::make_unique<morlanex::QtTickSource>();
        ticks = ownTicks.get();
    }
    QApplication::setApplicationName(QStringLiteral("Morlanex!"));
    QApplication::setApplicationDisplayName(QStringLiteral("Morlanex!"));
    QApplication::setFont(interfaceFont());
    hook = std::make_unique<MouseHook>();
    qApp->installEventFilter(hook.get());

    mainWindow = std::make_unique<MainWindow>(*settings, *ticks);
    mainWindow->show();
    wizard = new SetupWizard(mainWindow->wizardHost(), mainWindow.get());
    aboutBox = new AboutBox(QString::fromStdString(mainWindow->config().portalUrl), mainWindow.get());
    startHint = std::make_unique<StartHint>();
    mainWindow->attachDialogs(wizard, aboutBox, startHint.get());
    startHint->show();
}

MorlanexApp::~MorlanexApp() {
    if (qApp && hook) qApp->removeEventFilter(hook.get());
    startHint.reset();
    mainWindow.reset();
}
