// Public header. The capture graph (TFilterGraph): one GStreamer pipeline built from the
// attached components.
//
// Attach components (Filter2, Filter1, VideoWindow1, then ASFWriter1 while live) with
// GraphComponent::setFilterGraph; activation builds each one's bin into a new pipeline
// in attachment order, deactivation takes them out again and drops the pipeline.
// Render* link a source to a consumer; Run starts the pipeline (components with nothing
// linked stay stopped), Stop stops it, Clear stops it and undoes every link.
//
// Events: the pipeline's bus messages become graph events, handed to `post` (which the
// application points at its UI thread) and delivered there to OnDSEvent:
//   kEcPaused     - the pipeline reached PAUSED on its way to PLAYING (pause completed);
//   kEcErrorAbort - an element failed (text = its message), e.g. a vanished device;
//                   only the first failure of an activation is reported; also posted
//                   when an attached device cannot be created at activation;
//   kEcComplete   - end of stream.
// Events of an earlier activation are dropped, and none is delivered after the graph
// is destroyed.
//
// Threads: every method on the UI thread. The bus handler runs on GStreamer's threads
// and only calls `post`.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;

namespace morlanex {

class GraphComponent;
class TFilter;
class TVideoWindow;
class TASFWriter;

inline constexpr long kEcComplete = 1;
inline constexpr long kEcErrorAbort = 3;
inline constexpr long kEcPaused = 14;

struct GraphEvent {
    long code = 0;
    long param1 = 0;
    long param2 = 0;
    std::string text;  // error message for kEcErrorAbort
};

using PostFunction = std::function<void(std::function<void()>)>;
using GraphEventHandler = std::function<void(const GraphEvent &)>;

class TFilterGraph {
public:
    TFilterGraph();
    ~TFilterGraph();  // deactivates
    TFilterGraph(const TFilterGraph &) = delete;
    TFilterGraph &operator=(const TFilterGraph &) = delete;

    // Where events go: `post` moves work to the UI thread, OnDSEvent handles it there.
    void setPost(PostFunction post);
    void setOnDSEvent(GraphEventHandler handler) { onDSEvent_ = std::move(handler); }

    bool Active() const { return pipeline_ != nullptr; }
    void setActive(bool active);

    // Link the video source's stream to the video window (preview) or to the writer's
    // video input (capture), or the audio source to the writer. False when either side
    // has no element; results may be ignored.
    bool renderPreview(TFilter &source, TVideoWindow &window);
    bool renderCapture(TFilter &source, TASFWriter &writer);
    bool renderAudio(TFilter &source, TASFWriter &writer);

    void Run();
    void Stop();
    void ClearGraph();

    // The pipeline while active (for inspection), else null.
    GstElement *pipeline() const { return pipeline_; }
    const std::vector<GraphComponent *> &components() const { return components_; }

    // Internal: what the graph shares with its bus handler, and the UI-thread end of it.
    struct Relay;
    void deliver(const GraphEvent &event);

private:
    friend class GraphComponent;
    void attach(GraphComponent *component);
    void detach(GraphComponent *component);
    void addComponent(GraphComponent *component);
    void removeComponent(GraphComponent *component);
    void postEvent(GraphEvent event);

    GstElement *pipeline_ = nullptr;
    std::vector<GraphComponent *> components_;  // attachment order
    std::shared_ptr<Relay> relay_;
    GraphEventHandler onDSEvent_;
};

}  // namespace morlanex
