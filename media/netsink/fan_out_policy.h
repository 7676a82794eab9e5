// Public header file.
//
// FanOutPolicy: who gets which packet of the shared StreamBuffer, where a viewer joins, and
// when it is dropped. It holds no sockets: the loop asks it what a viewer's next step is and
// does the writing itself, so the rules can be tested without a network.
//
// A viewer's whole state here is a ViewerPosition: the header it was given, the next packet
// and the bytes of it already written. Rules:
//  - Join: the header first, then from the last start point (video key frame) when that is at
//    most half of `maxLag` old, else from the next one.
//  - Take: packets up to the newest; a viewer of a replaced header takes only the packets made
//    under its header, then its stream ends (so the player reconnects and gets the new one).
//  - Renditions (a stream whose video comes in several bit rates, see StreamBuffer): a viewer
//    takes the shared packets and those of one rendition. It starts on the top one (see
//    docs/multiple-bit-rate.md for why), at that one's last key frame. adapt(),
//    once per fan-out pass, measures how far behind live the viewer is (its unsent packets'
//    age plus the time its socket's queued bytes take at its link's rate, or at its
//    rendition's while that is unknown) and, over spans of kLinkSpan while its socket stays
//    busy, the rate its link carries. Behind more than kDownBehind (kDownBehindShortLink on a
//    link measured slower than its rendition): down, to the highest rendition the measured
//    link carries with a 10 % margin (one step when not measured). Under kCalmBehind for
//    `upWait` (8 s, doubled after each move down that undoes a move up, up to 2 min): one
//    step up, unless the slowest link rate measured in the last 2 minutes (4 x `upWait` once
//    that is longer, plus up to 15 s) is below the higher rendition's with a 20 % margin. After a move
//    nothing else moves it for kSettle. A move up keeps the old rendition until its key frame
//    at the new one's start time, so the picture goes on without a gap; a move down stops the
//    old rendition at once (its socket is already behind), steps over everything waiting for
//    the viewer to the new rendition's newest key frame, and takes the sound alone until one
//    comes. Either way the new rendition starts at one of its key frames, so the decoder only
//    ever sees whole groups of pictures. Until a viewer keeps up on the top rendition its socket
//    may hold little unsent (unsentLimit), so a move down has little to wait behind.
//  - Drop: a viewer whose next packet reached the sink more than `maxLag` ago, or has left the
//    shared window, is too far behind live; the loop drops it when its socket is full. A
//    viewer of renditions whose next packet is kDownBehind behind the newest steps over what
//    waits to its rendition's newest key frame when its socket next takes more, once the
//    packet begun is finished; it is dropped only when nothing has left its socket for `maxLag`.
//
// Threads: not thread-safe; used by the sink's loop thread only.
#pragma once

#include "media/netsink/stream_buffer.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace morlanex {

// How a viewer of a stream with renditions has been doing (see FanOutPolicy::adapt).
struct RenditionControl {
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastMove{};  // its last move (or its start)
    Clock::time_point calmSince{};  // behind less than kCalmBehind since
    Clock::time_point sampledAt{};  // the last sample of its socket
    Clock::time_point linkMeasuredAt{};
    Clock::time_point leftAt{};  // the last sample at which bytes had left its socket
    Clock::time_point busySince{};  // its socket has held bytes at every sample since (or unset)
    uint32_t busyBytes = 0;  // bytes that left it since then
    uint32_t linkBps = 0;  // the rate its link carried while its socket stayed busy
    uint32_t slowestBps = 0;  // the lowest of those since slowestAt (see adapt)
    Clock::time_point slowestAt{};
    uint32_t queuedBytes = 0;  // in its socket at the last sample
    uint32_t writtenBytes = 0;  // written since the last sample
    uint16_t upWaitSeconds = 8;
    bool movedUp = false;  // its last move was up
    bool keptUp = false;  // under kCalmBehind for kSettle, between moves
};

struct ViewerPosition {
    std::shared_ptr<const StreamHeader> header;  // the header the viewer was given
    uint64_t seq = StreamBuffer::kNoPacket;  // next packet to write; unset until it starts
    uint64_t joinFrom = 0;  // while unset: start at the first start point from here
    uint64_t firstSeq = 0;  // its first packet (framed clients count from it)
    size_t offset = 0;  // bytes of packet `seq` (with any prefix) written
    uint32_t packetsWritten = 0;  // whole packets written (framed clients number them)
    // Renditions: 0 for a single-rate stream. While `target` differs from `rendition` a move is
    // under way: the old rendition's packets are taken before `stopOldAt`, the new one's from
    // `switchAt` (its key frame; kNoPacket until known).
    uint8_t rendition = 0;
    uint8_t target = 0;
    uint64_t switchAt = StreamBuffer::kNoPacket;
    uint64_t stopOldAt = StreamBuffer::kNoPacket;
    uint64_t moveFrom = 0;  // the packet it was at when the move was decided
    uint32_t oldEndMs = 0;  // moving down: the newest frame time of the old rendition written
    bool soundOnly = false;  // a client that asked for no video: the shared packets only
    RenditionControl control;
};

// Whether the viewer takes packet `seq` (shared, or of its rendition; see the move above).
// A viewer of several renditions that asked for the sound alone takes the shared packets only.
bool viewerTakes(const ViewerPosition &position, const StreamBuffer &buffer, uint64_t seq);

class FanOutPolicy {
public:
    using Clock = StreamBuffer::Clock;

    FanOutPolicy(const StreamBuffer &buffer, std::chrono::milliseconds maxLag) : buffer_(buffer), maxLag_(maxLag) {}

    // A viewer given the current header, about to receive packets.
    ViewerPosition join(Clock::time_point now) const;

    enum class Step {
        Wait,  // nothing to write until more packets come
        Write,  // write packets [position.seq, endSeq)
        EndStream,  // its header was replaced and it has every packet of it
    };
    struct Next {
        Step step = Step::Wait;
        uint64_t endSeq = 0;
    };
    // What the viewer does now; fixes its start point when it has none yet.
    Next next(ViewerPosition &position) const;

    // Too far behind live to keep: see the rules above.
    bool tooFarBehind(const ViewerPosition &position, Clock::time_point now) const;

    std::chrono::milliseconds maxLag() const { return maxLag_; }

    static constexpr std::chrono::milliseconds kDownBehind{3500};
    static constexpr std::chrono::milliseconds kCalmBehind{1200};
    static constexpr std::chrono::milliseconds kSettle{3000};
    // Behind this much on a measured link slower than its rendition: down without waiting
    // for kDownBehind, since it cannot catch up there.
    static constexpr std::chrono::milliseconds kDownBehindShortLink{2000};
    // Once per fan-out pass for a streaming viewer: `queuedBytes` are in its socket now.
    // Starts a move between renditions when the rules above say so.
    void adapt(ViewerPosition &position, Clock::time_point now, size_t queuedBytes) const;
    // How many bytes not yet on the wire the viewer's socket may hold (0: no limit). What its
    // socket holds cannot be taken back, while what waits here is stepped over on a move
    // down; so a viewer gets only kUnsentAhead of its rendition until it has kept up on the
    // top one (under kCalmBehind for kSettle). One that keeps up there pays nothing for it.
    size_t unsentLimit(const ViewerPosition &position) const;
    static constexpr std::chrono::milliseconds kUnsentAhead{500};

private:
    void beginMove(ViewerPosition &position, uint8_t to, Clock::time_point now) const;
    static void finishMove(ViewerPosition &position);
    // True when it is to step over once the packet begun is finished.
    bool stepOverBacklog(ViewerPosition &position) const;
    void progressMove(ViewerPosition &position) const;

    const StreamBuffer &buffer_;
    std::chrono::milliseconds maxLag_;
};

}  // namespace morlanex
