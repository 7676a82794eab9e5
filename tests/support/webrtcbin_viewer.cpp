#include "webrtcbin_viewer.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#define GST_USE_UNSTABLE_API  // webrtcbin's library: only this test client uses it
#include <gst/webrtc/webrtc.h>

namespace morlanex::testing {

WebrtcbinViewer::WebrtcbinViewer(const std::string &localAddress) {
    pipeline_ = gst_pipeline_new("viewer");
    webrtc_ = gst_element_factory_make("webrtcbin", "w");
    g_object_set(webrtc_, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    GstObject *ice = nullptr;
    g_object_get(webrtc_, "ice-agent", &ice, nullptr);
    gboolean added = FALSE;
    if (ice && !localAddress.empty()) g_signal_emit_by_name(ice, "add-local-ip-address", localAddress.c_str(), &added);
    if (ice) gst_object_unref(ice);
    gst_bin_add(GST_BIN(pipeline_), webrtc_);
    for (const char *caps :
         {"application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000",
          "application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000,encoding-params=(string)2"}) {
        GstCaps *c = gst_caps_from_string(caps);
        GstWebRTCRTPTransceiver *t = nullptr;
        g_signal_emit_by_name(webrtc_, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, c, &t);
        gst_caps_unref(c);
        if (t) gst_object_unref(t);
    }
    g_signal_connect(webrtc_, "pad-added", G_CALLBACK(+[](GstElement *, GstPad *pad, gpointer self) {
                         static_cast<WebrtcbinViewer *>(self)->decode(pad);
                     }),
                     this);
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
}

WebrtcbinViewer::~WebrtcbinViewer() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
}

std::string WebrtcbinViewer::offer() {
    GstPromise *p = gst_promise_new();
    g_signal_emit_by_name(webrtc_, "create-offer", nullptr, p);
    gst_promise_wait(p);
    GstWebRTCSessionDescription *offer = nullptr;
    gst_structure_get(gst_promise_get_reply(p), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    gst_promise_unref(p);
    if (!offer) return {};
    g_signal_emit_by_name(webrtc_, "set-local-description", offer, nullptr);
    gchar *text = gst_sdp_message_as_text(offer->sdp);
    std::string sdp(text);
    g_free(text);
    gst_webrtc_session_description_free(offer);
    return sdp;
}

bool WebrtcbinViewer::answer(const std::string &sdp) {
    GstSDPMessage *message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK) return false;
    GstWebRTCSessionDescription *d = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message);
    g_signal_emit_by_name(webrtc_, "set-remote-description", d, nullptr);
    gst_webrtc_session_description_free(d);
    return true;
}

void WebrtcbinViewer::decode(GstPad *pad) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    GstElement *decodebin = gst_element_factory_make("decodebin", nullptr);
    g_signal_connect(decodebin, "pad-added", G_CALLBACK(+[](GstElement *, GstPad *decoded, gpointer self) {
                         static_cast<WebrtcbinViewer *>(self)->count(decoded);
                     }),
                     this);
    gst_bin_add(GST_BIN(pipeline_), decodebin);
    gst_element_sync_state_with_parent(decodebin);
    GstPad *sinkPad = gst_element_get_static_pad(decodebin, "sink");
    gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
}

void WebrtcbinViewer::count(GstPad *decoded) {
    GstCaps *caps = gst_pad_get_current_caps(decoded);
    const bool video = caps && g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/");
    if (caps) gst_caps_unref(caps);
    GstElement *sink = gst_element_factory_make("appsink", nullptr);
    g_object_set(sink, "sync", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = video
        ? +[](GstAppSink *s,
              gpointer self) { return GstFlowReturn(static_cast<WebrtcbinViewer *>(self)->took(s, true)); }
        : +[](GstAppSink *s, gpointer self) {
              return GstFlowReturn(static_cast<WebrtcbinViewer *>(self)->took(s, false));
          };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_bin_add(GST_BIN(pipeline_), sink);
    gst_element_sync_state_with_parent(sink);
    GstPad *sinkPad = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(decoded, sinkPad);
    gst_object_unref(sinkPad);
}

int WebrtcbinViewer::took(GstAppSink *s, bool video) {
    gst_sample_unref(gst_app_sink_pull_sample(s));
    ++(video ? videoFrames : audioBuffers);
    return GST_FLOW_OK;
}

}  // namespace morlanex::testing
