#include "media/video_window_widget.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QPainter>

namespace morlanex {

VideoWindowWidget::VideoWindowWidget(QWidget *parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(CapturePipeline::kPreviewWidth, CapturePipeline::kPreviewHeight);
}

void VideoWindowWidget::presentFrame(const VideoFrame &frame) {
    // Deep copy: the frame's memory goes back to GStreamer when this returns.
    QImage copy = QImage(frame.rgb, frame.width, frame.height, frame.stride, QImage::Format_RGB888).copy();
    {
        QMutexLocker lock(&mutex_);
        frame_ = std::move(copy);
    }
    presented_.fetch_add(1);
    if (!repaintPending_.exchange(true)) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                repaintPending_ = false;
                update();
            },
            Qt::QueuedConnection);
    }
}

void VideoWindowWidget::clearFrame() {
    {
        QMutexLocker lock(&mutex_);
        frame_ = QImage();
    }
    update();
}

QImage VideoWindowWidget::currentFrame() const {
    QMutexLocker lock(&mutex_);
    return frame_;
}

void VideoWindowWidget::paintEvent(QPaintEvent *) {
    const QImage image = currentFrame();
    QPainter painter(this);
    if (image.isNull()) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    painter.drawImage(rect(), image);
    ++painted_;
}

}  // namespace morlanex
