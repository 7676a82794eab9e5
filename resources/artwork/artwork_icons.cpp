// The small glyphs and the application icon.
#include "artwork.h"

#include <QDir>
#include <QLinearGradient>
#include <QPainterPath>
#include <cstdio>

namespace artwork {
namespace {
// The application icon, drawn on a 64 unit grid so every size is sharp (resources/desktop/
// icons/morlanex.svg is the same drawing for scalable themes).
QImage appIconImage(int size) {
    QImage img = canvas(size, size, false);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    QLinearGradient g(0, 0, 0, 64);
    g.setColorAt(0, QColor(0x5b, 0x8c, 0xc4));
    g.setColorAt(1, QColor(0x14, 0x2c, 0x4c));
    p.setPen(QPen(QColor(0xe4, 0xee, 0xf8), 2));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(3, 3, 58, 58), 13, 13);
    p.setBrush(QColor(0x0b, 0x16, 0x28));
    p.drawEllipse(QPointF(28, 34), 14, 14);
    p.setBrush(QColor(0x5b, 0x8c, 0xc4));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(28, 34), 7, 7);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(25, 31), 2.4, 2.4);
    p.setPen(QPen(QColor(0xff, 0x6a, 0x5a), 3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(38, 8, 16, 16), -30 * 16, 120 * 16);
    p.drawArc(QRectF(42, 12, 8, 8), -30 * 16, 120 * 16);
    p.end();
    return img;
}
}  // namespace

void smallIcons() {
    for (int hot = 0; hot < 2; ++hot) {
        QImage img = canvas(10, 11, false);
        QPainter p(&img);
        p.setPen(Qt::NoPen);
        p.setBrush(hot ? QColor(0xff, 0xd8, 0x4a) : QColor(0xe4, 0xee, 0xf8));
        for (int y : {1, 5, 9}) p.drawRect(0, y, 10, 2);
        p.end();
        save(img, hot ? "menu_hot.png" : "menu.png");
    }
    {
        QImage img = canvas(43, 17, false);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, 0, 17);
        g.setColorAt(0, QColor(0xf0, 0x6a, 0x5a));
        g.setColorAt(1, QColor(0xb3, 0x22, 0x1c));
        p.setPen(QPen(QColor(0xff, 0xc9, 0xc0), 1));
        p.setBrush(g);
        p.drawRoundedRect(QRectF(0.5, 0.5, 42, 16), 4, 4);
        p.setPen(QPen(Qt::white, 1.8));
        p.drawLine(QPointF(17, 4.5), QPointF(25, 12.5));
        p.drawLine(QPointF(25, 4.5), QPointF(17, 12.5));
        p.end();
        save(img, "close_hot.png");
    }
    auto lamp = [](QColor centre, QColor rim, const char *name) {
        QImage img = canvas(9, 9, false);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QRadialGradient g(3.5, 3.5, 5);
        g.setColorAt(0, centre);
        g.setColorAt(1, rim);
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawEllipse(QRectF(0.5, 0.5, 8, 8));
        p.end();
        save(img, name);
    };
    lamp(QColor(0xb8, 0xc4, 0xd2), QColor(0x4a, 0x58, 0x6a), "lamp.png");
    lamp(QColor(0xff, 0xb0, 0xa0), QColor(0xe0, 0x10, 0x10), "lamp_on.png");
    lamp(QColor(0x8a, 0x30, 0x30), QColor(0x40, 0x08, 0x08), "lamp_off.png");

    auto glyph = [](const char *name, auto draw) {
        QImage img = canvas(16, 16, false);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p);
        p.end();
        save(img, name);
    };
    const QColor ink(0xe4, 0xee, 0xf8);
    glyph("tool_wizard.png", [&](QPainter &p) {
        p.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3, 13), QPointF(10, 6));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xff, 0xd8, 0x4a));
        QPainterPath star;
        for (int i = 0; i < 10; ++i) {
            double r = i % 2 ? 1.6 : 4.2, a = i * M_PI / 5 - M_PI / 2;
            QPointF pt(11.5 + r * std::cos(a), 4.5 + r * std::sin(a));
            i ? star.lineTo(pt) : star.moveTo(pt);
        }
        star.closeSubpath();
        p.drawPath(star);
    });
    glyph("tool_mixer.png", [&](QPainter &p) {
        p.setPen(QPen(ink, 1.5));
        p.setBrush(ink);
        p.drawRoundedRect(QRectF(5.5, 1.5, 5, 8), 2.5, 2.5);
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(3, 4, 10, 9), 200 * 16, 140 * 16);
        p.drawLine(QPointF(8, 13), QPointF(8, 15));
        p.drawLine(QPointF(5, 15), QPointF(11, 15));
    });
    glyph("tool_close.png", [&](QPainter &p) {
        p.setPen(QPen(ink, 1.4));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(1.5, 4.5, 9, 7), 1.5, 1.5);
        p.drawLine(QPointF(10.5, 7), QPointF(14, 5));
        p.drawLine(QPointF(10.5, 9), QPointF(14, 11));
        p.setPen(QPen(QColor(0xff, 0x6a, 0x5a), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(2, 14), QPointF(14, 2));
    });
    glyph("tool_about.png", [&](QPainter &p) {
        p.setPen(QPen(ink, 1.4));
        p.setBrush(QColor(0x2f, 0x5e, 0x94));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        p.drawEllipse(QPointF(8, 4.8), 1.2, 1.2);
        p.drawRoundedRect(QRectF(7, 6.8, 2, 5.8), 0.8, 0.8);
    });
    glyph("help.png", [&](QPainter &p) {
        p.setPen(QPen(QColor(0xff, 0xe0, 0x8a), 1.2));
        p.setBrush(QColor(0xd9, 0x8c, 0x1f));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setPen(Qt::white);
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(11);
        f.setBold(true);
        p.setFont(f);
        p.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("?"));
    });
}

void appIcon() {
    save(appIconImage(64), "app.png");
    save(appIconImage(256), "app256.png");
}

// The icon at the desktop theme's usual sizes, named by size: 16.png ... 256.png.
void themeIcons(const QString &dir) {
    QDir().mkpath(dir);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString path = dir + "/" + QString::number(size) + ".png";
        if (!appIconImage(size).save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    }
}
}  // namespace artwork
