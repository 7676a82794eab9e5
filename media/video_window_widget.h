// Public header. The main window's video area (VideoWindow1): paints the capture pipeline's
// 320 x 240 frames.
//
// presentFrame is called on a GStreamer streaming thread: it copies the pixels and asks
// the UI thread for one repaint (frames that arrive before the repaint replace each
// other). Without a frame the area is black.
//
// Threads: presentFrame and framesPresented from any thread; everything else on the UI
// thread. Stop the pipeline before destroying the widget.
#pragma once

#include <QImage>
#include <QMutex>
#include <QWidget>

#include <atomic>

#include "media/capture_pipeline.h"

namespace morlanex {

class VideoWindowWidget : public QWidget {
    Q_OBJECT
public:
    explicit VideoWindowWidget(QWidget *parent = nullptr);

    void presentFrame(const VideoFrame &frame);
    // Forgets the last frame (the area paints black until the next one).
    void clearFrame();
    // The frame painted next (null image when none).
    QImage currentFrame() const;
    quint64 framesPresented() const { return presented_.load(); }
    quint64 framesPainted() const { return painted_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    mutable QMutex mutex_;
    QImage frame_;  // guarded by mutex_
    std::atomic<bool> repaintPending_{false};
    std::atomic<quint64> presented_{0};
    quint64 painted_ = 0;  // UI thread
};

}  // namespace morlanex
