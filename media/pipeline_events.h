// Public header. Delivers a capture pipeline's events on the Qt thread that creates this
// object: a socket notifier on the bus's poll descriptor, no thread of its own.
//
// Threads: the owner's (UI) thread only. Destroy it before the pipeline.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>

#include "media/capture_pipeline.h"

namespace morlanex {

class PipelineEvents : public QObject {
    Q_OBJECT
public:
    PipelineEvents(CapturePipeline &pipeline, std::function<void(const PipelineEvent &)> handler,
                   QObject *parent = nullptr);

private:
    CapturePipeline &pipeline_;
    std::function<void(const PipelineEvent &)> handler_;
    QSocketNotifier notifier_;
};

}  // namespace morlanex
