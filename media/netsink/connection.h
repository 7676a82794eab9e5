// Internal header file.
//
// Connection: one client connection of the network sink, its socket and its writes.
//
// A connection walks through phases: it reads its request (RequestReader), then writes an
// answer (a response head, possibly followed by the stream header), then, for a viewer,
// streams packets from the shared StreamBuffer at the ViewerPosition the fan-out policy
// keeps, possibly ends with a $E trailer, and finally lingers (write side shut, input
// drained) until the peer closes. The loop moves it between phases with the begin* calls;
// only the connection touches its socket. State kept while streaming is small and fixed: the
// request reader and the answer text are freed once used; packet data is never copied here.
//
// Threads: owned and used by the sink's loop thread only. The connection owns its fd.
#pragma once

#include "media/netsink/fan_out_policy.h"
#include "media/netsink/stream_request.h"
#include "net/request_reader.h"
#include "net/socket.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace morlanex {

enum class Phase : uint8_t { Request, Answer, Stream, Trailer, Linger };

enum class IoStatus { Done, Blocked, Closed };

struct IoResult {
    IoStatus status;
    size_t bytes = 0;
};

class Connection {
public:
    Connection(UniqueFd fd, const sockaddr_in &peer, uint64_t id, uint32_t generation);

    int fd() const { return fd_.get(); }
    uint64_t id() const { return id_; }
    uint32_t generation() const { return generation_; }  // tells a reused fd number from its predecessor
    uint32_t address() const { return peer_.sin_addr.s_addr; }
    std::string name() const;  // "ip:port#id", for log lines
    Phase phase() const { return phase_; }
    std::chrono::steady_clock::time_point phaseStarted() const { return phaseStarted_; }
    bool framed() const { return framed_; }
    bool blocked() const { return blocked_; }  // the last write found the socket full
    // The last writePackets stopped at the unsent limit with more to write: no EPOLLOUT will
    // say when there is room, a later pass must try again.
    bool heldAtLimit() const { return heldAtLimit_; }
    void unblock() { blocked_ = false; }
    bool peerClosed() const { return peerClosed_; }

    // Request phase.
    RequestReader::Status readRequest(std::string_view streamPath, std::vector<uint8_t> &scratch);
    const StreamRequest &request() const;
    std::string_view requestBody() const {
        return reader_ ? std::string_view(reader_->reader.body()) : std::string_view();
    }

    // Answer phase: `head`, then `header` (framed for a Windows Media client) when given.
    void beginAnswer(std::string head, std::shared_ptr<const StreamHeader> header, bool framed, bool thenStream);
    bool streamsAfterAnswer() const { return streamAfterAnswer_; }
    IoResult writeAnswer();

    // Stream phase: the policy's position of this viewer.
    void beginStream(ViewerPosition position);
    ViewerPosition &position() { return position_; }
    // Writes packets before `endSeq` until there are none left (Done), the socket is full
    // (Blocked) or it failed or the next packet left the window (Closed).
    // Packets the viewer does not take (another rendition) are stepped over.
    IoResult writePackets(const StreamBuffer &buffer, uint64_t endSeq);
    // Bytes written to the socket that the peer has not acknowledged yet.
    size_t queuedBytes() const;
    // At most about `bytes` not yet sent on the wire may wait in the socket (0: no limit, and
    // the send buffer back to `usualSendBuffer`, when that is set).
    void limitUnsent(size_t bytes, int usualSendBuffer);
    static constexpr int kUnsentSlackBytes = 8192;

    // Trailer phase: the $E of a framed stream.
    void beginTrailer(const std::array<uint8_t, 8> &trailer);
    IoResult writeTrailer();

    // Linger phase: the write side is shut; input is drained until the peer closes.
    void beginLinger();
    // Reads and discards input. False at end of stream or on error.
    bool drainInput(std::vector<uint8_t> &scratch);
    // Input arrived while streaming: drained; a half-close only ends the input. False when
    // the connection failed.
    bool readWhileStreaming(std::vector<uint8_t> &scratch);

    // Makes the close that follows drop unsent data and reset the connection, so its kernel
    // memory is freed at once rather than held while the peer does not read.
    void resetOnClose();
    // Best effort, never blocking: the bytes go only if the socket has room.
    void sendNow(const std::string &bytes);

    // Kept by the loop: the index in its viewer list, whether a deadline to finish (answer
    // and linger of a non-viewer, or a viewer's end) is set, and the stream it asked for (0: ASF).
    size_t viewerSlot = SIZE_MAX;
    bool finishing = false;
    size_t stream = 0;
    uint8_t countedRendition = 0;  // the rendition it is counted on in the statistics
    bool soundOnly = false;  // it asked for no video stream
    bool parked = false;  // its request waits for a segment being made
    bool waited = false;  // ... and has waited once: it is answered as things are

private:
    IoResult send(iovec *iov, size_t count);
    void enter(Phase phase);

    UniqueFd fd_;
    sockaddr_in peer_{};
    uint64_t id_;
    uint32_t generation_;
    Phase phase_ = Phase::Request;
    std::chrono::steady_clock::time_point phaseStarted_ = std::chrono::steady_clock::now();
    bool framed_ = false;
    bool blocked_ = false;
    bool heldAtLimit_ = false;
    bool peerClosed_ = false;
    bool streamAfterAnswer_ = false;
    uint32_t unsentLimit_ = 0;

    struct PendingRequest {
        RequestReader reader{"application/sdp"};  // a WHEP offer is read, not discarded
        StreamRequest classified;  // once complete
    };
    std::unique_ptr<PendingRequest> reader_;  // Request phase only

    std::string head_;  // Answer phase
    std::shared_ptr<const StreamHeader> header_;  // Answer phase: the header that follows the head
    size_t sent_ = 0;  // Answer and Trailer phases

    ViewerPosition position_;  // Stream phase
    std::array<uint8_t, 8> trailer_{};  // Trailer phase
};

}  // namespace morlanex
