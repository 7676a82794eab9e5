// The drawing tools every artwork file shares: the colours, the canvas, saving, the font.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>

namespace artwork {
inline const QColor kKey(0, 0, 3);  // the colour key: outside the window's shape
inline const QColor kEdge(0x6d, 0x8f, 0xb5);
inline const QColor kDeep(0x0b, 0x16, 0x28);
extern QString outDir;

QImage canvas(int w, int h, bool keyed);
void save(const QImage &img, const char *name);
QFont ming(int px, bool bold = false);
void insetPanel(QPainter &p, QRectF r, qreal radius);

// The menu and title-bar glyphs, and the application icon (also at the theme's sizes).
void smallIcons();
void appIcon();
void themeIcons(const QString &dir);
}  // namespace artwork
