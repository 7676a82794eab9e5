#include "app/morlanex_app.h"

#include "app/form1.h"
#include "app/mouse_hook.h"
#include "dialogs/form2.h"
#include "dialogs/form3.h"
#include "dialogs/form4.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

namespace {
// The interface font: a Ming face for Traditional Chinese at 9 points.
QFont interfaceFont()
{
    const QStringList families = QFontDatabase::families();
    for (const char *name : {"AR PL UMing TW", "AR PL UMing TW MBE", "AR PL UMing HK", "Noto Serif CJK TC",
                             "Noto Sans CJK TC", "WenQuanYi Zen Hei"}) {
        if (families.contains(QLatin1String(name)))
            return QFont(QLatin1String(name), 9);
    }
    return QFont(QApplication::font().family(), 9);
}
} // namespace

MorlanexApp::MorlanexApp()
{
    QApplication::setApplicationName(QStringLiteral("Morlanex!"));
    QApplication::setApplicationDisplayName(QStringLiteral("Morlanex!"));
    QApplication::setFont(interfaceFont());
    hook = std::make_unique<MouseHook>();
    qApp->installEventFilter(hook.get());

    Form1 = std::make_unique<TForm1>();
    Form1->show();
    Form2 = new TForm2(Form1.get());
    Form3 = new TForm3(Form1.get());
    Form4 = std::make_unique<TForm4>(Form1.get());
    Form1->attachForms(Form2, Form3, Form4.get());
    Form4->show();
}

MorlanexApp::~MorlanexApp()
{
    if (qApp && hook)
        qApp->removeEventFilter(hook.get());
    Form4.reset();
    Form1.reset();
}
