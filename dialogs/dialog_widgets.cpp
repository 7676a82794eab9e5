#include "dialogs/dialog_widgets.h"

#include "app/codepage.h"
#include "app/settings_file.h"

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
    // Every byte of a multi-byte UTF-8 sequence is above 127, so trimming the UTF-8 bytes
    // removes exactly the characters of code 32 or below.
    return QString::fromStdString(trimmed(text.toStdString()));
}

std::string cp950Text(const QString &text)
{
    return utf8ToCp950(text.toStdString());
}

QString unicodeText(std::string_view cp950)
{
    return QString::fromStdString(cp950ToUtf8(cp950));
}

} // namespace morlanex::dialogs
