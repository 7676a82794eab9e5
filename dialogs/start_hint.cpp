#include "dialogs/start_hint.h"

#include "session/tick_source.h"

#include <QBitmap>
#include <QEvent>
#include <QLabel>
#include <QPainter>

namespace {
const QColor kColourKey(0, 0, 3);
constexpr QSize kDesignSize(111, 62);
constexpr QPoint kOffsetFromActionButton(50, 50);
constexpr std::chrono::milliseconds kLifetime{5000};
}  // namespace

StartHint::StartHint(morlanex::TickSource *ticks)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool) {
    setObjectName(QStringLiteral("startHint"));
    setWindowTitle(QStringLiteral("STARTPOP"));
    setFixedSize(kDesignSize);
    QPalette key = palette();
    key.setColor(QPalette::Window, kColourKey);
    setPalette(key);
    setAutoFillBackground(true);

    const QPixmap balloon(QStringLiteral(":/skin/balloon.png"));
    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("balloon"));
    picture->setPixmap(balloon);
    picture->setGeometry(QRect(QPoint(0, 0), balloon.isNull() ? QSize(102, 62) : balloon.size()));

    // Pixels of the colour key, and the form's own background around the picture, are outside.
    QImage shape(kDesignSize, QImage::Format_RGB32);
    shape.fill(kColourKey);
    {
        QPainter p(&shape);
        p.drawPixmap(0, 0, balloon);
    }
    setMask(QBitmap::fromImage(shape.createMaskFromColor(kColourKey.rgb(), Qt::MaskInColor)));

    callToAction = new QLabel(tr("按此開始"), this);
    callToAction->setObjectName(QStringLiteral("callToAction"));
    callToAction->setGeometry(2, 15, 96, 16);
    callToAction->setAlignment(Qt::AlignCenter);
    QFont bold(QStringLiteral("Sans Serif"));
    bold.setStyleHint(QFont::SansSerif);
    bold.setPixelSize(12);
    bold.setBold(true);
    callToAction->setFont(bold);
    QPalette white = callToAction->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    callToAction->setPalette(white);

    if (!ticks) {
        ownTicks = std::make_unique<morlanex::QtTickSource>();
        ticks = ownTicks.get();
    }
    // Its first tick closes the pop-up, which stops it: it runs once per showing.
    lifetime = ticks->makeTicker(kLifetime, [this] { closeHint(); });
    lifetime->start();  // enabled from creation: the first showing does not restart it
}

StartHint::~StartHint() = default;

void StartHint::showEvent(QShowEvent *e) {
    QWidget::showEvent(e);
    placeAndRaise();
}

void StartHint::placeAndRaise() {
    if (anchor) move(anchor->mapToGlobal(QPoint(0, 0)) - kOffsetFromActionButton);
    raise();
    activateWindow();
    if (!lifetime->isActive()) lifetime->start();
}

void StartHint::changeEvent(QEvent *e) {
    QWidget::changeEvent(e);
    if (e->type() == QEvent::ActivationChange && isVisible() && !isActiveWindow()) closeHint();
}

void StartHint::closeHint() {
    lifetime->stop();
    hide();
}

void StartHint::showWithText(const QString &text) {
    callToAction->setText(text);
    if (isVisible())
        placeAndRaise();  // already showing: no show event comes, so place and raise it here
    else
        show();
}

QString StartHint::text() const { return callToAction->text(); }

bool StartHint::closingByItself() const { return lifetime->isActive(); }
