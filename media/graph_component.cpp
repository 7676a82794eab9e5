#include "media/graph_component.h"

#include "media/filter_graph.h"

namespace morlanex {

GraphComponent::~GraphComponent()
{
    // Subclasses detach in their own destructors, while their overrides still exist.
}

void GraphComponent::setFilterGraph(TFilterGraph *graph)
{
    if (graph == graph_)
        return;
    if (graph_)
        graph_->detach(this);
    graph_ = graph;
    if (graph_)
        graph_->attach(this);
}

}  // namespace morlanex
