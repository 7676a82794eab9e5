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
                   QObject *parent = nullptr)
        : QObject(parent), pipeline_(pipeline), handler_(std::move(handler)),
          notifier_(pipeline.busDescriptor(), QSocketNotifier::Read) {
        // The descriptor stays readable while messages wait; taking them all quiets it.
        connect(&notifier_, &QSocketNotifier::activated, this, [this] {
            for (const PipelineEvent &event : pipeline_.takeEvents()) handler_(event);
        });
    }

private:
    CapturePipeline &pipeline_;
    std::function<void(const PipelineEvent &)> handler_;
    QSocketNotifier notifier_;
};

}  // namespace morlanex
