// Internal header. Small helpers the three dialogs share: plain labels at fixed places, the
// cream dialog background, and trimming as the channel texts need it.
#pragma once

#include <QRect>
#include <QString>

#include <string>
#include <string_view>

class QLabel;
class QWidget;

namespace morlanex::dialogs {

// The window class of an embedded HTML view, whose right clicks the application-wide mouse
// hook swallows; the about box's help text carries it.
inline constexpr const char *kHtmlViewWindowClass = "Internet Explorer_Server";

// The dialogs' background colour.
inline constexpr unsigned kCreamRgb = 0xFFFBF0;

QLabel *label(QWidget *parent, const QString &text, QRect geometry);
void paintCream(QWidget *w);

// Removes leading and trailing characters whose code is 32 or below.
QString trimmedText(const QString &text);

} // namespace morlanex::dialogs
