#include "media/browser_encoder.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <mutex>

#include "media/live_server.h"
#include "media/tee_branch.h"
#include "media/webrtc_encoder.h"
#include "resources/web/page_texts.h"
#include "resources/web/web_page.h"

namespace morlanex {

namespace {

// A chunk holds at most this much of the stream, so the sink's window fills in small steps
// and a viewer's burst from a key frame is never held back for one big piece.
constexpr size_t kMaxChunkBytes = 16 * 1024;
constexpr GstClockTime kMaxChunkSpan = 200 * GST_MSECOND;
constexpr int kAudioRate = 48000;
constexpr float kVorbisQuality = 0.0f;  // about 64 kbps in stereo

// The head of both player pages (resources/web/player/): title and look.
std::string pageHead() { return web::fillPage(web::kPlayerHeadHtml, {{"style", web::kPlayerStyleCss}}); }

// `page` in Traditional Chinese, with its translations, as the browser asks for one.
SinkPage inEveryLanguage(SinkPage page) {
    const std::string source = std::move(page.body);
    page.body = web::translatePage(source, UiLanguage::TraditionalChinese);
    for (UiLanguage language : {UiLanguage::English, UiLanguage::SimplifiedChinese})
        page.translations.emplace_back(language, web::translatePage(source, language));
    return page;
}
}  // namespace

// Open at the start, until the sink holds the header and a first chunk; then while watched.
struct BrowserEncoder::Gate : ValveGate {
    bool watched = false;  // guarded by mutex
    bool warmingUp = true;  // guarded by mutex: until the first chunk
    // Set when the valves open again: the muxer's output until its next cluster (sound that
    // came before the new key frame) still belongs to the cluster cut off when they closed,
    // seconds earlier, and is dropped so that cluster ends where its frames did.
    std::atomic<bool> skipUntilCluster{false};

    Gate() : ValveGate(true) {}
    // Read under the lock, so that of two changes close together the later one holds.
    void follow(const LiveServer &server) {
        std::lock_guard lock(mutex);
        watched = server.browserWatched();
        applyLocked();
    }
    void endWarmUp() {
        std::lock_guard lock(mutex);
        if (!warmingUp) return;
        warmingUp = false;
        applyLocked();
    }
    void applyLocked() {
        const bool wanted = watched || warmingUp;
        if (wanted && !open) skipUntilCluster = true;
        setOpenLocked(wanted);
    }
};

BrowserEncoder::BrowserEncoder(const EncoderSettings &settings)
    : settings_(settings), gate_(std::make_shared<Gate>()) {}

BrowserEncoder::~BrowserEncoder() {
    if (server_) server_->setBrowserListener({});
}

SinkPage BrowserEncoder::playerPage() {
    const std::string script =
        web::fillPage(web::kPlayerWatchJs, {{"stream", kStreamPath}, {"whep", WebRtcEncoder::kWhepPath}});
    return inEveryLanguage(
        {kPlayerPath, "text/html; charset=utf-8",
         pageHead() + web::fillPage(web::kPlayerWatchHtml, {{"stream", kStreamPath}, {"script", script}})});
}

SinkPage BrowserEncoder::relayPlayerPage() {
    // The same channel from its segments (through a cache tier, or straight from the
    // broadcaster): Media Source Extensions, header then each segment as "latest" names it.
    return inEveryLanguage(
        {kRelayPlayerPath, "text/html; charset=utf-8",
         pageHead() + web::fillPage(web::kPlayerRelayHtml, {{"script", std::string(web::kPlayerRelayJs)}}), 60});
}

void BrowserEncoder::serveWith(LiveServer *server) {
    server_ = server;
    std::weak_ptr<Gate> gate = gate_;
    server->setBrowserListener([gate, server] {
        if (std::shared_ptr<Gate> g = gate.lock()) g->follow(*server);
    });
    gate_->follow(*server);
}

bool BrowserEncoder::encoding() const {
    std::lock_guard lock(gate_->mutex);
    return gate_->open;
}

GstElement *BrowserEncoder::makeBranch(bool withAudio) {
    GstElement *mux = gst_element_factory_make("webmmux", nullptr);
    GstElement *out = gst_element_factory_make("appsink", nullptr);
    if (!mux || !out) {
        g_printerr("morlanex media: GStreamer elements \"webmmux\" and \"appsink\" are needed\n");
        if (mux) gst_object_unref(gst_object_ref_sink(mux));
        if (out) gst_object_unref(gst_object_ref_sink(out));
        return nullptr;
    }
    GstElement *bin = gst_bin_new("browser-encoder");
    g_object_set(mux, "streamable", TRUE, nullptr);
    g_object_set(out, "sync", FALSE, "async", FALSE, "qos", FALSE, "max-buffers", 0u, nullptr);
    gst_bin_add_many(GST_BIN(bin), mux, out, nullptr);
    gst_element_link(mux, out);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink *sink, gpointer self) {
        if (GstSample *sample = gst_app_sink_pull_sample(sink)) {
            if (GstBuffer *buffer = gst_sample_get_buffer(sample))
                static_cast<BrowserEncoder *>(self)->onBuffer(buffer);
            gst_sample_unref(sample);
        }
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, this, nullptr);

    std::vector<GstElement *> video = addVp8Chain(bin, settings_, settings_.keyFrameSeconds);
    std::vector<GstElement *> audio;
    if (withAudio) audio = addAudioChain(bin, settings_, kAudioRate, "vorbisenc");
    if (video.empty() || (withAudio && audio.empty())) {
        gst_object_unref(gst_object_ref_sink(bin));
        return nullptr;
    }
    addBranchInput(bin, "video", video[0]);
    gst_element_link(video.back(), mux);
    if (!audio.empty()) {
        addBranchInput(bin, "audio", audio[0]);
        g_object_set(audio[5], "quality", kVorbisQuality, nullptr);
        gst_element_link(audio.back(), mux);
    }

    // While the valves are closed the muxer behind the queues keeps one branch's thread
    // waiting for the other input, either of them; the valves answer the tees meanwhile.
    std::lock_guard lock(gate_->mutex);
    gate_->adoptLocked(video, audio);
    return bin;
}

void BrowserEncoder::onBuffer(GstBuffer *buffer) {
    const size_t size = gst_buffer_get_size(buffer);
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER)) {
        // The muxer writes its header once; a later one would not match the clusters sent.
        if (!headerSent_) {
            const size_t at = header_.size();
            header_.resize(at + size);
            gst_buffer_extract(buffer, 0, header_.data() + at, size);
        }
        return;
    }
    if (!headerSent_) {
        headerSent_ = true;
        if (server_ && !server_->setBrowserHeader(header_))
            g_printerr("morlanex media: the browser rendition has no header\n");
    }
    const bool start = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (start)
        gate_->skipUntilCluster = false;
    else if (gate_->skipUntilCluster)
        return;
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const bool old =
        GST_CLOCK_TIME_IS_VALID(pts) && pendingSinceNs_ != GST_CLOCK_TIME_NONE && pts > pendingSinceNs_ + kMaxChunkSpan;
    if (start || old) flush();
    if (pending_.empty()) {
        pendingStart_ = start;
        pendingSinceNs_ = GST_CLOCK_TIME_NONE;
    }
    if (pendingSinceNs_ == GST_CLOCK_TIME_NONE && GST_CLOCK_TIME_IS_VALID(pts)) pendingSinceNs_ = pts;
    const size_t at = pending_.size();
    pending_.resize(at + size);
    gst_buffer_extract(buffer, 0, pending_.data() + at, size);
    if (pending_.size() >= kMaxChunkBytes) flush();
}

void BrowserEncoder::flush() {
    if (pending_.empty()) return;
    if (server_) server_->pushBrowserChunk(pending_, pendingStart_);
    chunks_.fetch_add(1);
    bytes_.fetch_add(pending_.size());
    pending_.clear();
    pendingStart_ = false;
    pendingSinceNs_ = GST_CLOCK_TIME_NONE;
    // The sink has the header and a first start point: the encoders may rest.
    gate_->endWarmUp();
}

}  // namespace morlanex
