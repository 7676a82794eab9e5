#include "artwork.h"

#include <cstdio>

#include <QLinearGradient>

namespace artwork {
QString outDir;

QImage canvas(int w, int h, bool keyed) {
    QImage img(w, h, keyed ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    img.fill(keyed ? kKey : QColor(Qt::transparent));
    return img;
}

void save(const QImage &img, const char *name) {
    const QString path = outDir + "/" + name;
    if (!img.save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

QFont ming(int px, bool bold) {
    QFont f(QStringLiteral("AR PL UMing TW"));
    f.setPixelSize(px);
    f.setBold(bold);
    return f;
}

void insetPanel(QPainter &p, QRectF r, qreal radius) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(0x08, 0x11, 0x20));
    g.setColorAt(1, QColor(0x10, 0x1f, 0x36));
    p.setPen(QPen(QColor(0x3e, 0x5f, 0x86), 1));
    p.setBrush(g);
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}
}  // namespace artwork
