#include "media/pipeline_events.h"

namespace morlanex {

PipelineEvents::PipelineEvents(CapturePipeline &pipeline, std::function<void(const PipelineEvent &)> handler,
                               QObject *parent)
    : QObject(parent), pipeline_(pipeline), handler_(std::move(handler)),
      notifier_(pipeline.busDescriptor(), QSocketNotifier::Read)
{
    // The descriptor stays readable while messages wait; taking them all quiets it.
    connect(&notifier_, &QSocketNotifier::activated, this, [this] {
        for (const PipelineEvent &event : pipeline_.takeEvents())
            handler_(event);
    });
}

}  // namespace morlanex
