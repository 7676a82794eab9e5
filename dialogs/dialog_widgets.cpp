#include "dialogs/dialog_widgets.h"

#include "common/qt_codepage.h"

#include <QCoreApplication>
#include <QLabel>
#include <QRegularExpression>

#include <QPalette>
#include <QWidget>

namespace morlanex::dialogs {

QLabel *label(QWidget *parent, const QString &text, QRect geometry) {
    auto *l = new QLabel(text, parent);
    l->setGeometry(geometry);
    return l;
}

void paintCream(QWidget *w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, QColor::fromRgb(kCreamRgb));
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

QString trimmedText(const QString &whole) {
    static const QRegularExpression lineBreak(QStringLiteral("[\\r\\n\\v\\f\\x{85}\\x{2028}\\x{2029}]"));
    qsizetype b = 0;
    while (b < whole.size() && whole.at(b).unicode() <= 32) ++b;
    const qsizetype cut = whole.indexOf(lineBreak, b);
    const QString text = cut < 0 ? whole : whole.left(cut);
    qsizetype e = text.size();
    while (b < e && text.at(b).unicode() <= 32) ++b;
    while (e > b && text.at(e - 1).unicode() <= 32) --e;
    return text.mid(b, e - b);
}

QString charactersOutsideBig5(const QString &text) {
    QString outside;
    for (const char32_t code : text.toUcs4()) {
        const QString c = QString::fromUcs4(&code, 1);
        // What CP950 lacks comes back from it as "?".
        if (fromCp950(toCp950(c)) != c && !outside.contains(c)) outside += c;
    }
    return outside;
}

QString outsideBig5Message(const QString &characters) {
    return QCoreApplication::translate("SetupWizard", "無法儲存這些字元: %1").arg(characters);
}

}  // namespace morlanex::dialogs
