// webrtcbin as a WebRTC viewer, independent of our own WebRTC code: a recvonly offer for VP8
// video and Opus sound, and each decoded stream counted at an appsink. Used by the WHEP tests
// and by the router test's viewer outside the home network.
#pragma once

#include <atomic>
#include <string>

typedef struct _GstElement GstElement;
typedef struct _GstPad GstPad;
typedef struct _GstAppSink GstAppSink;

namespace morlanex::testing {

class WebrtcbinViewer {
public:
    // `localAddress`: an address for libnice to gather on besides what it finds itself (it
    // leaves loopback out unless named).
    explicit WebrtcbinViewer(const std::string &localAddress = "127.0.0.1");
    ~WebrtcbinViewer();
    WebrtcbinViewer(const WebrtcbinViewer &) = delete;
    WebrtcbinViewer &operator=(const WebrtcbinViewer &) = delete;

    std::string offer();  // empty when none could be made
    bool answer(const std::string &sdp);

    std::atomic<int> videoFrames{0}, audioBuffers{0};

private:
    void decode(GstPad *pad);
    void count(GstPad *decoded);
    int took(GstAppSink *s, bool video);

    GstElement *pipeline_, *webrtc_;
};

}  // namespace morlanex::testing
