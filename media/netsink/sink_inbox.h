// Internal header file.
//
// SinkInbox: the hand-off from the muxer's streaming thread to the sink's loop thread.
//
// Producers append headers and packets under a short lock and wake the loop through the wake
// function given to open() (only when the queue was empty, so a burst costs one wake-up). The loop takes the whole queue
// at once. The inbox remembers the last header, so a sink started later serves at once. While
// the loop is not running, packets are discarded: there is nobody to send them to.
//
// Threads: post* from any thread; open/close/take from the loop's owner. Guarded by mutex_.
#pragma once

#include "media/netsink/network_sink.h"
#include "media/netsink/stream_buffer.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace morlanex {

struct InboxItem {
    std::shared_ptr<const StreamHeader> header;  // set for a header, else `packet` is
    std::vector<uint8_t> packet;
    size_t stream = 0;  // 0: the ASF stream; else a further stream of the sink's
    bool startPoint = false;  // a further stream's chunk a viewer may start with
    uint8_t rendition = 0;  // of an ASF packet: 0 shared, r >= 1 video rendition r; of VP8: 0 the top
    bool rtc = false;  // a WebRTC frame (VP8 or Opus) rather than a stream's bytes
    RtcMedia rtcKind = RtcMedia::Vp8;
    bool keyFrame = false;
    uint64_t ptsNs = 0;
};

class SinkInbox {
public:
    // Bound on queued items; beyond it the loop is not keeping up and packets are dropped.
    static constexpr size_t kMaxQueuedItems = 4096;

    // Starts accepting packets; `wake` is called, under the inbox's lock (so it must not call
    // back into the inbox), when there is work or a stop request.
    void open(std::function<void()> wake);
    void close();  // stops accepting packets; drops queued ones

    void postHeader(std::shared_ptr<const StreamHeader> header, size_t stream = 0);
    // False when discarded.
    bool postPacket(std::vector<uint8_t> &&packet, size_t stream = 0, bool startPoint = false, uint8_t rendition = 0);
    // A WebRTC frame; false when discarded.
    bool postRtcFrame(std::vector<uint8_t> &&frame, RtcMedia kind, uint64_t ptsNs, bool keyFrame, uint8_t rendition);
    void postStop();

    // Takes every queued item; `*stop` tells whether stop was requested.
    void take(std::vector<InboxItem> *items, bool *stop);
    std::shared_ptr<const StreamHeader> lastHeader(size_t stream = 0) const;

private:
    void wakeLocked();

    mutable std::mutex mutex_;
    std::function<void()> wake_;  // guarded by mutex_
    bool open_ = false;  // guarded by mutex_
    bool stop_ = false;  // guarded by mutex_
    std::vector<InboxItem> items_;  // guarded by mutex_
    std::vector<std::shared_ptr<const StreamHeader>> last_;  // by stream; guarded by mutex_
};

}  // namespace morlanex
