// Internal header. Small helpers the three dialogs share: plain labels at fixed places, the
// cream dialog background, trimming as the channel texts need it, and the code-page bridge
// between the settings file's CP950 bytes and the widgets' Unicode.
#pragma once

#include <QRect>
#include <QString>

#include <string>
#include <string_view>

class QLabel;
class QWidget;

namespace morlanex::dialogs {

// The dialogs' background colour.
inline constexpr unsigned kCreamRgb = 0xFFFBF0;

QLabel *label(QWidget *parent, const QString &text, QRect geometry);
void paintCream(QWidget *w);

// Removes leading and trailing characters whose code is 32 or below.
QString trimmedText(const QString &text);

std::string cp950Text(const QString &text);
QString unicodeText(std::string_view cp950);

} // namespace morlanex::dialogs
