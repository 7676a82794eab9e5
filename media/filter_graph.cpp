#include "media/filter_graph.h"

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "media/asf_writer.h"
#include "media/filter.h"
#include "media/graph_component.h"
#include "media/video_window.h"

namespace morlanex {

// Shared between the graph (UI thread) and the bus handler (GStreamer threads).
struct TFilterGraph::Relay {
    std::mutex mutex;
    PostFunction post;        // guarded by mutex
    uint64_t generation = 0;  // guarded by mutex; one per activation
    TFilterGraph *graph;      // dereferenced on the UI thread only

    explicit Relay(TFilterGraph *g) : graph(g) {}
};

namespace {

// Hands the event to the UI thread, where it reaches the graph unless the graph is gone
// or has been re-activated since.
void postToGraph(const std::shared_ptr<TFilterGraph::Relay> &relay, uint64_t generation,
                 GraphEvent event)
{
    PostFunction post;
    {
        std::lock_guard lock(relay->mutex);
        post = relay->post;
    }
    if (!post)
        return;
    std::weak_ptr<TFilterGraph::Relay> weak = relay;
    post([weak, generation, event = std::move(event)]() {
        std::shared_ptr<TFilterGraph::Relay> r = weak.lock();
        if (!r)
            return;
        {
            std::lock_guard lock(r->mutex);
            if (r->generation != generation)
                return;
        }
        r->graph->deliver(event);
    });
}

struct BusContext {
    std::weak_ptr<TFilterGraph::Relay> relay;
    uint64_t generation;
    // One failure makes several elements report; the first is the one that says why.
    std::atomic<bool> errorSeen{false};
};

}  // namespace

// Turns bus messages into graph events and hands them to `post`; nothing else here, as
// this runs on whichever thread posted the message.
static GstBusSyncReply busHandler(GstBus *, GstMessage *message, gpointer data)
{
    auto *context = static_cast<BusContext *>(data);
    GraphEvent event;
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_STATE_CHANGED: {
        GstObject *owner = GST_MESSAGE_SRC(message);
        if (!owner || GST_OBJECT_PARENT(owner) != nullptr || !GST_IS_PIPELINE(owner))
            return GST_BUS_DROP;
        GstState oldState, newState, pending;
        gst_message_parse_state_changed(message, &oldState, &newState, &pending);
        if (newState != GST_STATE_PAUSED || pending != GST_STATE_PLAYING)
            return GST_BUS_DROP;
        event.code = kEcPaused;
        break;
    }
    case GST_MESSAGE_ERROR: {
        if (context->errorSeen.exchange(true))
            return GST_BUS_DROP;
        GError *error = nullptr;
        gchar *debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        event.code = kEcErrorAbort;
        event.param1 = error ? error->code : 0;
        event.text = error && error->message ? error->message : "Unknown error";
        if (debug)
            g_printerr("morlanex media: %s (%s)\n", event.text.c_str(), debug);
        g_clear_error(&error);
        g_free(debug);
        break;
    }
    case GST_MESSAGE_EOS:
        event.code = kEcComplete;
        break;
    default:
        return GST_BUS_DROP;
    }

    if (std::shared_ptr<TFilterGraph::Relay> relay = context->relay.lock())
        postToGraph(relay, context->generation, std::move(event));
    return GST_BUS_DROP;
}

TFilterGraph::TFilterGraph() : relay_(std::make_shared<Relay>(this))
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
}

TFilterGraph::~TFilterGraph()
{
    setActive(false);
    for (GraphComponent *c : std::vector<GraphComponent *>(components_))
        c->setFilterGraph(nullptr);
}

void TFilterGraph::setPost(PostFunction post)
{
    std::lock_guard lock(relay_->mutex);
    relay_->post = std::move(post);
}

void TFilterGraph::attach(GraphComponent *component)
{
    if (std::find(components_.begin(), components_.end(), component) != components_.end())
        return;
    components_.push_back(component);
    if (Active())
        addComponent(component);
}

void TFilterGraph::detach(GraphComponent *component)
{
    auto it = std::find(components_.begin(), components_.end(), component);
    if (it == components_.end())
        return;
    if (Active())
        removeComponent(component);
    components_.erase(it);
}

void TFilterGraph::addComponent(GraphComponent *component)
{
    component->bin_ = gst_bin_new(component->name().c_str());
    gst_bin_add(GST_BIN(pipeline_), component->bin_);
    component->adding();
    component->added();
    auto *filter = dynamic_cast<TFilter *>(component);
    if (filter && filter->holdsDevice() && !filter->hasElement())
        postEvent({kEcErrorAbort, 0, 0, "The capture device \"" + component->name() +
                                             "\" is not available."});
}

void TFilterGraph::removeComponent(GraphComponent *component)
{
    if (!component->bin_)
        return;
    gst_element_set_locked_state(component->bin_, TRUE);
    gst_element_set_state(component->bin_, GST_STATE_NULL);
    component->removing();
    gst_bin_remove(GST_BIN(pipeline_), component->bin_);
    component->bin_ = nullptr;
    component->removed();
}

void TFilterGraph::setActive(bool active)
{
    if (active == Active())
        return;
    if (active) {
        pipeline_ = gst_pipeline_new("FilterGraph2");
        uint64_t generation;
        {
            std::lock_guard lock(relay_->mutex);
            generation = ++relay_->generation;
        }
        GstBus *bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, busHandler, new BusContext{relay_, generation},
                                 [](gpointer p) { delete static_cast<BusContext *>(p); });
        gst_object_unref(bus);
        for (GraphComponent *c : components_)
            addComponent(c);
        return;
    }
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    for (GraphComponent *c : components_)
        removeComponent(c);
    {
        std::lock_guard lock(relay_->mutex);
        ++relay_->generation;
    }
    GstBus *bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline_);
    pipeline_ = nullptr;
}

namespace {

bool linkOutput(TFilter &source, GstPad *sink)
{
    if (!sink)
        return false;
    GstPad *out = source.requestOutput();
    if (!out)
        return false;
    return gst_pad_link(out, sink) == GST_PAD_LINK_OK;
}

}  // namespace

bool TFilterGraph::renderPreview(TFilter &source, TVideoWindow &window)
{
    if (!Active() || !source.hasElement())
        return false;
    return linkOutput(source, window.input());
}

bool TFilterGraph::renderCapture(TFilter &source, TASFWriter &writer)
{
    if (!Active() || !source.hasElement())
        return false;
    return linkOutput(source, writer.videoInput());
}

bool TFilterGraph::renderAudio(TFilter &source, TASFWriter &writer)
{
    if (!Active() || !source.hasElement())
        return false;
    return linkOutput(source, writer.audioInput());
}

void TFilterGraph::Run()
{
    if (!Active())
        return;
    for (GraphComponent *c : components_) {
        if (c->bin_)
            c->beforeRun();
        if (c->bin_)
            gst_element_set_locked_state(c->bin_, c->connected() ? FALSE : TRUE);
    }
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
}

void TFilterGraph::Stop()
{
    if (Active())
        gst_element_set_state(pipeline_, GST_STATE_NULL);
}

void TFilterGraph::ClearGraph()
{
    if (!Active())
        return;
    Stop();
    for (GraphComponent *c : components_)
        c->disconnectAll();
}

void TFilterGraph::postEvent(GraphEvent event)
{
    uint64_t generation;
    {
        std::lock_guard lock(relay_->mutex);
        generation = relay_->generation;
    }
    postToGraph(relay_, generation, std::move(event));
}

void TFilterGraph::deliver(const GraphEvent &event)
{
    if (onDSEvent_)
        onDSEvent_(event);
}

}  // namespace morlanex
