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
//  - Drop: a viewer whose next packet reached the sink more than `maxLag` ago, or has left the
//    shared window, is too far behind live; the loop drops it when its socket is full.
//
// Threads: not thread-safe; used by the sink's loop thread only.
#pragma once

#include "media/netsink/stream_buffer.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace morlanex {

struct ViewerPosition {
    std::shared_ptr<const StreamHeader> header;  // the header the viewer was given
    uint64_t seq = StreamBuffer::kNoPacket;      // next packet to write; unset until it starts
    uint64_t joinFrom = 0;                       // while unset: start at the first start point from here
    uint64_t firstSeq = 0;                       // its first packet (framed clients count from it)
    size_t offset = 0;                           // bytes of packet `seq` (with any prefix) written
};

class FanOutPolicy {
public:
    using Clock = StreamBuffer::Clock;

    FanOutPolicy(const StreamBuffer &buffer, std::chrono::milliseconds maxLag) : buffer_(buffer), maxLag_(maxLag) {}

    // A viewer given the current header, about to receive packets.
    ViewerPosition join(Clock::time_point now) const;

    enum class Step {
        Wait,       // nothing to write until more packets come
        Write,      // write packets [position.seq, endSeq)
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

private:
    const StreamBuffer &buffer_;
    std::chrono::milliseconds maxLag_;
};

}  // namespace morlanex
