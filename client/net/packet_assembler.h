// Gathers received chunks into reply packets. Each chunk carries the link
// tag of the TCP connection it came from; a packet never mixes bytes of two
// connections.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/net/packet_codec.h"

namespace Net {

class CPacketAssembler {
public:
    enum class Outcome {
        NeedMore,      // the packet is not complete yet
        Complete,      // TakeReply gives it
        Discarded,     // malformed header or checksum, or a chunk of another connection
        Incompatible,  // a server speaking another protocol version; discarded as well
    };

    // Takes bytes of one chunk up to the end of the current packet; *used
    // tells how many, the rest belongs to the next packet.
    Outcome Feed(const uint8_t* data, size_t length, uint64_t tag, size_t* used);
    Reply TakeReply();
    uint64_t ReplyTag() const { return reply_tag_; }

    size_t Gathered() const { return buffer_.size(); }

private:
    void Reset();

    Bytes buffer_;
    uint32_t total_ = 0;
    uint64_t tag_ = 0;
    Reply reply_;
    uint64_t reply_tag_ = 0;
};

}  // namespace Net
