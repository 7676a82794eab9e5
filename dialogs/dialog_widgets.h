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

// A channel text is one line: cut at the first line break (a paste may bring several), then
// leading and trailing characters whose code is 32 or below removed.
QString trimmedText(const QString &text);
// The characters of `text` that Big5 (CP950) cannot store, each once; empty when all fit.
QString charactersOutsideBig5(const QString &text);
// The message that refuses them.
QString outsideBig5Message(const QString &characters);

}  // namespace morlanex::dialogs
