// Public header. A component that joins the capture graph (TFilter, TVideoWindow,
// TASFWriter).
//
// While the graph is active each component lives as one bin in the pipeline, named
// after the component ("Filter1", "VideoWindow1", ...). The graph tells it when it is
// being added and removed, as the capture graph of the original design did:
//   adding  - build the elements inside the bin (the "filter");
//   added   - the bin is in the pipeline; configure;
//   removing - the pipeline is stopped; let go of outside resources;
//   removed - the bin has left the pipeline and is gone.
// A component with nothing linked to it stays stopped when the graph runs.
//
// UI thread only.
#pragma once

#include <string>

typedef struct _GstElement GstElement;

namespace morlanex {

class TFilterGraph;

class GraphComponent {
public:
    explicit GraphComponent(std::string name) : name_(std::move(name)) {}
    virtual ~GraphComponent();
    GraphComponent(const GraphComponent &) = delete;
    GraphComponent &operator=(const GraphComponent &) = delete;

    const std::string &name() const { return name_; }

    // The graph this component is attached to (the FilterGraph property); null for none.
    TFilterGraph *FilterGraph() const { return graph_; }
    // Attaches to `graph` (detaching from the previous one); null detaches.
    void setFilterGraph(TFilterGraph *graph);

    // The component's bin while the graph is active, else null.
    GstElement *bin() const { return bin_; }

protected:
    friend class TFilterGraph;
    virtual void adding() = 0;
    virtual void added() {}
    virtual void removing() {}
    virtual void removed() {}
    // Whether anything is linked to or from the component.
    virtual bool connected() const = 0;
    // Undoes every link made since activation (the graph's Clear).
    virtual void disconnectAll() = 0;
    // Just before the graph runs, with every link made.
    virtual void beforeRun() {}

    GstElement *bin_ = nullptr;  // owned by the pipeline while active

private:
    std::string name_;
    TFilterGraph *graph_ = nullptr;
};

}  // namespace morlanex
