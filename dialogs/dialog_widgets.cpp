#include "dialogs/dialog_widgets.h"

#include <QLabel>
#include <QPalette>
#include <QWidget>

namespace morlanex::dialogs {

QLabel *label(QWidget *parent, const QString &text, QRect geometry)
{
    auto *l = new QLabel(text, parent);
    l->setGeometry(geometry);
    return l;
}

void paintCream(QWidget *w)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, QColor::fromRgb(kCreamRgb));
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

QString trimmedText(const QString &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && text.at(b).unicode() <= 32)
        ++b;
    while (e > b && text.at(e - 1).unicode() <= 32)
        --e;
    return text.mid(b, e - b);
}

} // namespace morlanex::dialogs
