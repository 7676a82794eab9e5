// Internal header file.
//
// Connection: one client connection of the network sink and its writes.
//
// A connection walks through phases: it reads its request (and any small body), then writes
// an answer (a response head, possibly followed by the stream header), then, for a viewer,
// streams packets from the shared StreamBuffer, possibly ends with a $E trailer, and finally
// lingers (write side shut) until the peer closes. Per-connection state is small and fixed:
// the request buffer exists only while reading the request and the answer text only until
// it is sent; packet data is never copied here.
//
// Threads: owned and used by the sink's loop thread only. The connection owns its fd.
#pragma once

#include "media/netsink/sink_socket.h"
#include "media/netsink/stream_buffer.h"
#include "media/netsink/stream_request.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace morlanex {

enum class Phase : uint8_t { Request, Body, Answer, Stream, Trailer, Linger };

struct Connection {
    UniqueFd fd;
    uint32_t generation = 0;     // tells a reused fd number from its predecessor in epoll
    uint64_t id = 0;             // for log lines: peer#id
    sockaddr_in peer{};
    Phase phase = Phase::Request;
    bool framed = false;         // Windows Media client: $H/$D framing
    bool isViewer = false;       // counted against the client limit
    bool blocked = false;        // last write hit a full socket; wait for EPOLLOUT
    bool peerClosed = false;
    bool streamAfterAnswer = false;
    uint32_t clientId = 0;

    // Request and Body phases.
    std::string in;
    size_t parsedUpTo = 0;
    size_t bodyLeft = 0;
    StreamRequest request;

    // Answer phase: `head` then, if set, `header` (raw or framed); `sent` spans both.
    std::string head;
    std::shared_ptr<const StreamHeader> header;  // kept by viewers: the header they were given
    bool answerWithHeader = false;
    size_t sent = 0;

    // Stream phase: next packet and the bytes of it (with its prefix when framed) already sent.
    uint64_t seq = StreamBuffer::kNoPacket;
    uint64_t joinFrom = 0;   // while seq is unset: start at the first start point from here
    uint64_t firstSeq = 0;
    size_t offset = 0;

    // Trailer phase.
    std::array<uint8_t, 8> trailer{};
    uint8_t trailerSent = 0;

    size_t viewerSlot = SIZE_MAX;  // index in the loop's viewer list
};

enum class IoStatus { Done, Blocked, Closed };

struct IoResult {
    IoStatus status;
    size_t bytes = 0;
};

// Writes the rest of the answer.
IoResult writeAnswer(Connection &c);
// Writes packets before `endSeq` until there are none left (Done), the socket is full
// (Blocked) or it failed.
IoResult writeStream(Connection &c, const StreamBuffer &buffer, uint64_t endSeq);
IoResult writeTrailer(Connection &c);

}  // namespace morlanex
