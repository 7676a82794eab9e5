#include "media/filter.h"

#include <gst/gst.h>

#include "media/filter_graph.h"
#include "media/media_type.h"

namespace morlanex {

TFilter::~TFilter()
{
    setFilterGraph(nullptr);
}

void TFilter::adding()
{
    if (!device_)
        return;
    source_ = gst_device_create_element(device_.get(), nullptr);
    if (!source_)
        return;  // the graph reports the missing device
    format_ = gst_element_factory_make("capsfilter", "format");
    tee_ = gst_element_factory_make("tee", "split");
    if (!format_ || !tee_) {
        if (format_)
            gst_object_unref(format_);
        if (tee_)
            gst_object_unref(tee_);
        gst_object_unref(gst_object_ref_sink(source_));
        source_ = format_ = tee_ = nullptr;
        return;
    }
    gst_bin_add_many(GST_BIN(bin_), source_, format_, tee_, nullptr);
    gst_element_link_many(source_, format_, tee_, nullptr);
}

bool TFilter::setFormat(const MediaType &type)
{
    if (!format_)
        return false;
    g_object_set(format_, "caps", type.caps(), nullptr);
    return true;
}

GstPad *TFilter::requestOutput()
{
    if (!tee_)
        return nullptr;
    GstPad *teePad = gst_element_request_pad_simple(tee_, "src_%u");
    if (!teePad)
        return nullptr;
    const std::string name = "out_" + std::to_string(outputs_.size());
    GstPad *ghost = gst_ghost_pad_new(name.c_str(), teePad);
    gst_object_unref(teePad);
    gst_element_add_pad(bin_, ghost);
    outputs_.push_back(ghost);
    return ghost;
}

void TFilter::disconnectAll()
{
    for (GstPad *ghost : outputs_) {
        if (GstPad *peer = gst_pad_get_peer(ghost)) {
            gst_pad_unlink(ghost, peer);
            gst_object_unref(peer);
        }
        GstPad *teePad = gst_ghost_pad_get_target(GST_GHOST_PAD(ghost));
        gst_element_remove_pad(bin_, ghost);
        if (teePad) {
            gst_element_release_request_pad(tee_, teePad);
            gst_object_unref(teePad);
        }
    }
    outputs_.clear();
}

void TFilter::removing()
{
    outputs_.clear();  // the pads go with the bin
}

void TFilter::removed()
{
    source_ = format_ = tee_ = nullptr;
}

}  // namespace morlanex
