// Draws the program's artwork into resources/skin/, and the pictures with words in them again
// in English and Simplified Chinese into resources/skin_en/ and resources/skin_zh_CN/ (the
// translations name them in place of the resources/skin/ ones, see app/translation.h). Run by scripts/make-artwork; its
// output is kept in the repository so a build needs no drawing step.
#include "artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

using namespace artwork;

namespace {
QString skinDir;  // resources/skin: the pictures without words, app.png among them

// The words drawn into pictures, in one language; `suffix` names its folder beside outDir.
struct Wording {
    const char *suffix;
    QString placeholderHint, bannerTagline;
    QStringList stripLines;  // the wizard strip's title, one line each
    bool latin;  // drawn in a sans font rather than the Ming one
};

const Wording kWordings[] = {
    {"", QStringLiteral("按右下角按鈕開始設定您的視訊頻道"), QStringLiteral("個人視訊直播頻道"),
     QStringLiteral("快速設定精靈").split(QString(), Qt::SkipEmptyParts), false},
    {"_zh_CN", QStringLiteral("按右下角按钮开始设置您的视频频道"), QStringLiteral("个人视频直播频道"),
     QStringLiteral("快速设置向导").split(QString(), Qt::SkipEmptyParts), false},
    {"_en",
     QStringLiteral("Click the button at the lower right to begin"),
     QStringLiteral("Your own live video channel"),
     {QStringLiteral("Quick"), QStringLiteral("setup"), QStringLiteral("wizard")},
     true},
};

QFont wordFont(const Wording &w, int px, bool bold = false) {
    if (!w.latin) return ming(px, bold);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(px - 2);
    f.setBold(bold);
    return f;
}

// The window body. Drawn antialiased on a transparent canvas, then flattened onto the key colour
// with hard edges, so the shape cut from the key has no fringe.
void skin() {
    const int W = 357, H = 458;
    QImage body(W, H, QImage::Format_ARGB32_Premultiplied);
    body.fill(Qt::transparent);
    QPainter p(&body);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(0.5, 0.5, W - 1, H - 1), 14, 14);
    QLinearGradient bg(0, 0, 0, H);
    bg.setColorAt(0, QColor(0x24, 0x43, 0x6a));
    bg.setColorAt(0.12, QColor(0x1a, 0x33, 0x55));
    bg.setColorAt(1, QColor(0x0e, 0x1c, 0x31));
    p.fillPath(outline, bg);

    // Title band with a glossy top.
    QPainterPath title;
    title.addRoundedRect(QRectF(3, 3, W - 6, 24), 11, 11);
    QLinearGradient tg(0, 3, 0, 27);
    tg.setColorAt(0, QColor(0x5b, 0x8c, 0xc4));
    tg.setColorAt(0.5, QColor(0x2f, 0x5e, 0x94));
    tg.setColorAt(1, QColor(0x1f, 0x43, 0x70));
    p.fillPath(title, tg);

    // Close affordance at rest (the highlight picture lies over it).
    QRectF close(304, 5, 43, 17);
    p.setPen(QPen(QColor(0x9c, 0xb9, 0xdb), 1));
    p.setBrush(QColor(0x1b, 0x3a, 0x60));
    p.drawRoundedRect(close.adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    p.setPen(QPen(QColor(0xe4, 0xee, 0xf8), 1.6));
    p.drawLine(QPointF(321, 9.5), QPointF(329, 17.5));
    p.drawLine(QPointF(329, 9.5), QPointF(321, 17.5));

    // Tool row.
    p.setPen(Qt::NoPen);
    QLinearGradient row(0, 30, 0, 57);
    row.setColorAt(0, QColor(0x22, 0x40, 0x66));
    row.setColorAt(1, QColor(0x18, 0x30, 0x50));
    p.setBrush(row);
    p.drawRoundedRect(QRectF(8, 30, W - 16, 27), 6, 6);

    insetPanel(p, QRectF(12, 60, 333, 48), 6);  // channel texts
    insetPanel(p, QRectF(12, 112, 333, 254), 6);  // video
    insetPanel(p, QRectF(12, 372, 333, 74), 6);  // status
    // Divider between status and counters.
    p.setPen(QPen(QColor(0x2a, 0x45, 0x68), 1));
    p.drawLine(QPointF(22, 404.5), QPointF(285, 404.5));

    // Outer rim.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kEdge, 1.2));
    p.drawPath(outline);
    p.end();

    QImage out = canvas(W, H, true);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            QColor c = body.pixelColor(x, y);
            if (c.alpha() >= 128) {
                // Over a dark backdrop, so the rim stays smooth against any desktop.
                QColor d(QColor(0x0e, 0x1c, 0x31));
                float a = c.alphaF();
                QColor mixed = QColor::fromRgbF(c.redF() + d.redF() * (1 - a), c.greenF() + d.greenF() * (1 - a),
                                                c.blueF() + d.blueF() * (1 - a));
                if (mixed == kKey) mixed = QColor(0, 0, 4);
                out.setPixelColor(x, y, mixed);
            }
        }
    save(out, "skin.png");
}

void placeholder(const Wording &w) {
    QImage img(320, 240, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(160, 110, 220);
    g.setColorAt(0, QColor(0x23, 0x3d, 0x60));
    g.setColorAt(1, QColor(0x07, 0x0f, 0x1c));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(QColor(255, 255, 255, 14), 1));
    for (int x = 0; x < 320; x += 16) p.drawLine(x, 0, x, 240);
    for (int y = 0; y < 240; y += 16) p.drawLine(0, y, 320, y);
    // Camera.
    p.setPen(QPen(QColor(0x9c, 0xb9, 0xdb), 3));
    p.setBrush(QColor(0x16, 0x2b, 0x47));
    p.drawRoundedRect(QRectF(112, 72, 76, 52), 9, 9);
    QPainterPath lensHood;
    lensHood.moveTo(188, 88);
    lensHood.lineTo(212, 76);
    lensHood.lineTo(212, 120);
    lensHood.lineTo(188, 108);
    lensHood.closeSubpath();
    p.drawPath(lensHood);
    p.setBrush(QColor(0x5b, 0x8c, 0xc4));
    p.drawEllipse(QPointF(150, 98), 15, 15);
    p.setBrush(QColor(0xe4, 0xee, 0xf8));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(145, 93), 4, 4);
    p.setBrush(QColor(0xe5, 0x3e, 0x3e));
    p.drawEllipse(QPointF(122, 81), 3.5, 3.5);
    p.setPen(QColor(0xe4, 0xee, 0xf8));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 15, QFont::Bold));
    p.drawText(QRectF(0, 140, 320, 28), Qt::AlignCenter, QStringLiteral("Morlanex!"));
    p.setPen(QColor(0x9c, 0xb9, 0xdb));
    p.setFont(wordFont(w, 13));
    p.drawText(QRectF(0, 170, 320, 20), Qt::AlignCenter, w.placeholderHint);
    p.end();
    save(img, "placeholder.png");
}

QImage roundButton(QColor top, QColor bottom) {
    QImage img = canvas(36, 36, false);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient shadow(18, 19, 18);
    shadow.setColorAt(0.8, QColor(0, 0, 0, 120));
    shadow.setColorAt(1, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(QRectF(0, 1, 36, 35));
    QLinearGradient g(0, 2, 0, 34);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setBrush(g);
    p.setPen(QPen(QColor(255, 255, 255, 150), 1));
    p.drawEllipse(QRectF(2.5, 2.5, 31, 31));
    QLinearGradient gloss(0, 3, 0, 18);
    gloss.setColorAt(0, QColor(255, 255, 255, 120));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawEllipse(QRectF(7, 4, 22, 13));
    p.end();
    return img;
}

void actionButtons() {
    {
        QImage img = roundButton(QColor(0x6f, 0x86, 0xa3), QColor(0x2c, 0x3e, 0x58));
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0xe4, 0xee, 0xf8), 2.6, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(11, 11, 14, 14), 120 * 16, 300 * 16);
        p.drawLine(QPointF(18, 9), QPointF(18, 17));
        p.end();
        save(img, "action.png");
    }
    {
        QImage img = roundButton(QColor(0x6c, 0xb4, 0xf2), QColor(0x1d, 0x5c, 0xa8));
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(18, 18);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        for (int i = 0; i < 8; ++i) {
            p.drawRoundedRect(QRectF(-2, -10, 4, 6), 1, 1);
            p.rotate(45);
        }
        p.drawEllipse(QPointF(0, 0), 7, 7);
        p.setBrush(QColor(0x2a, 0x6f, 0xbf));
        p.drawEllipse(QPointF(0, 0), 3, 3);
        p.end();
        save(img, "action_setup.png");
    }
    {
        QImage img = roundButton(QColor(0x7b, 0xdc, 0x74), QColor(0x1f, 0x8a, 0x2b));
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath tri;
        tri.moveTo(14, 10);
        tri.lineTo(26, 18);
        tri.lineTo(14, 26);
        tri.closeSubpath();
        p.fillPath(tri, Qt::white);
        p.end();
        save(img, "action_start.png");
    }
    {
        QImage img = roundButton(QColor(0xf2, 0x7a, 0x6c), QColor(0xb0, 0x1e, 0x1e));
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(12.5, 12.5, 11, 11), 2, 2);
        p.end();
        save(img, "action_stop.png");
    }
}

// The brand's backdrop: the blue gradient from `from` to `to` with faint rings around `centre`.
void backdrop(QPainter &p, QRect area, QPointF from, QPointF to, QPointF centre, int lastRing, int step) {
    QLinearGradient g(from, to);
    g.setColorAt(0, QColor(0x2f, 0x5e, 0x94));
    g.setColorAt(1, QColor(0x0e, 0x1c, 0x31));
    p.fillRect(area, g);
    p.setPen(QPen(QColor(255, 255, 255, 28), 14));
    p.setBrush(Qt::NoBrush);
    for (int r = 40; r <= lastRing; r += step) p.drawEllipse(centre, r, r);
}

void banner(const Wording &w) {
    QImage img(385, 103, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    backdrop(p, img.rect(), QPointF(0, 0), QPointF(385, 103), QPointF(330, 110), 160, 30);
    QImage icon(skinDir + "/app.png");
    p.drawImage(QRectF(18, 20, 64, 64), icon);
    p.setPen(Qt::white);
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 22, QFont::Bold));
    p.drawText(QRectF(96, 22, 270, 36), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Morlanex!"));
    p.setPen(QColor(0xc8, 0xda, 0xee));
    p.setFont(wordFont(w, 14));
    p.drawText(QRectF(98, 58, 270, 22), Qt::AlignLeft | Qt::AlignVCenter, w.bannerTagline);
    p.end();
    save(img, "banner.png");
}

void balloon() {
    // 102 x 62 on the key colour, with a tail at the bottom towards the action button.
    QImage body(102, 62, QImage::Format_ARGB32_Premultiplied);
    body.fill(Qt::transparent);
    QPainter p(&body);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(1, 1, 100, 44), 10, 10);
    QPainterPath tail;
    tail.moveTo(40, 43);
    tail.lineTo(54, 61);
    tail.lineTo(58, 43);
    tail.closeSubpath();
    shape = shape.united(tail);
    QLinearGradient g(0, 0, 0, 62);
    g.setColorAt(0, QColor(0xf0, 0x6a, 0x5a));
    g.setColorAt(1, QColor(0xb3, 0x22, 0x1c));
    p.setPen(QPen(QColor(0xff, 0xe0, 0xd8), 1.5));
    p.setBrush(g);
    p.drawPath(shape);
    p.end();
    QImage out = canvas(102, 62, true);
    for (int y = 0; y < 62; ++y)
        for (int x = 0; x < 102; ++x) {
            QColor c = body.pixelColor(x, y);
            if (c.alpha() >= 128)
                out.setPixelColor(
                    x, y, QColor::fromRgbF(c.redF() / c.alphaF(), c.greenF() / c.alphaF(), c.blueF() / c.alphaF()));
        }
    save(out, "balloon.png");
}

// A video camera, drawn into a 64 x 64 box: the body of the wizard's two mode buttons.
void camera(QPainter &p) {
    QLinearGradient body(0, 18, 0, 48);
    body.setColorAt(0, QColor(0x6c, 0xb4, 0xf2));
    body.setColorAt(1, QColor(0x1d, 0x5c, 0xa8));
    p.setPen(QPen(QColor(0x15, 0x3a, 0x66), 1.5));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(6, 20, 36, 26), 5, 5);
    QPainterPath lens;
    lens.moveTo(42, 28);
    lens.lineTo(56, 21);
    lens.lineTo(56, 45);
    lens.lineTo(42, 38);
    lens.closeSubpath();
    p.drawPath(lens);
    p.setBrush(QColor(0xe4, 0xee, 0xf8));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(16, 28), 3.5, 3.5);
}

// The wizard's two mode buttons: the last settings again, and a new device.
void wizardButtons() {
    {
        QImage img = canvas(64, 64, false);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        camera(p);
        // A circling arrow: the same settings once more.
        p.setPen(QPen(QColor(0x1f, 0x8a, 0x2b), 4, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(30, 38, 22, 22), 30 * 16, 280 * 16);
        QPainterPath head;
        head.moveTo(52, 40);
        head.lineTo(53, 51);
        head.lineTo(43, 46);
        head.closeSubpath();
        p.fillPath(head, QColor(0x1f, 0x8a, 0x2b));
        p.end();
        save(img, "wizard_last.png");
    }
    {
        QImage img = canvas(64, 64, false);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        camera(p);
        // A plus: a device not set up before.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xe0, 0x8a, 0x10));
        p.drawEllipse(QPointF(44, 48), 12, 12);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(42, 41, 4, 14));
        p.drawRect(QRectF(37, 46, 14, 4));
        p.end();
        save(img, "wizard_new.png");
    }
}

// The wizard's picture strip, 116 x 381, beside the pages.
void wizardStrip(const Wording &w) {
    QImage img(116, 381, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    backdrop(p, img.rect(), QPointF(0, 0), QPointF(0, 381), QPointF(116, 381), 200, 32);
    QImage icon(skinDir + "/app.png");
    p.drawImage(QRectF(26, 24, 64, 64), icon);
    p.setPen(Qt::white);
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 12, QFont::Bold));
    p.drawText(QRectF(0, 96, 116, 24), Qt::AlignCenter, QStringLiteral("Morlanex!"));
    // The title, one character (or word) a line.
    p.setPen(QColor(0xc8, 0xda, 0xee));
    p.setFont(wordFont(w, 20, true));
    for (int i = 0; i < w.stripLines.size(); ++i)
        p.drawText(QRectF(0, 140 + i * 30, 116, 28), Qt::AlignCenter, w.stripLines[i]);
    p.end();
    save(img, "wizard_strip.png");
}
}  // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("resources/skin");
    QDir().mkpath(outDir);
    skinDir = outDir;
    skin();
    actionButtons();
    smallIcons();
    appIcon();
    balloon();
    wizardButtons();
    for (const Wording &w : kWordings) {
        outDir = skinDir + QLatin1String(w.suffix);
        QDir().mkpath(outDir);
        placeholder(w);
        banner(w);
        wizardStrip(w);
    }
    outDir = skinDir;
    if (argc > 2) themeIcons(QString::fromLocal8Bit(argv[2]));
    return 0;
}
