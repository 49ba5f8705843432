#include "client/net/packet_assembler.h"

#include <algorithm>
#include <utility>

namespace Net {

namespace {

constexpr size_t kHeaderCheckSize = 16;

}  // namespace

void CPacketAssembler::Reset()
{
    buffer_.clear();
    buffer_.shrink_to_fit();
    total_ = 0;
}

CPacketAssembler::Outcome CPacketAssembler::Feed(const uint8_t* data, size_t length, uint64_t tag, size_t* used)
{
    *used = 0;
    if (length == 0)
        return Outcome::NeedMore;
    if (!buffer_.empty() && tag != tag_) {
        Reset();
        *used = length;
        return Outcome::Discarded;
    }
    if (buffer_.empty())
        tag_ = tag;

    if (buffer_.size() < kHeaderCheckSize) {
        const size_t take = std::min(kHeaderCheckSize - buffer_.size(), length);
        buffer_.insert(buffer_.end(), data, data + take);
        *used = take;
        if (buffer_.size() < kHeaderCheckSize)
            return Outcome::NeedMore;
        uint32_t total = 0;
        const ReplyHeaderCheck check = CheckReplyHeader(buffer_.data(), kMaxReplyLength, &total);
        if (check != ReplyHeaderCheck::Valid) {
            Reset();
            return check == ReplyHeaderCheck::Incompatible ? Outcome::Incompatible : Outcome::Discarded;
        }
        total_ = total;
        buffer_.reserve(total_);
    }

    const size_t take = std::min<size_t>(total_ - buffer_.size(), length - *used);
    buffer_.insert(buffer_.end(), data + *used, data + *used + take);
    *used += take;
    if (buffer_.size() < total_)
        return Outcome::NeedMore;

    const bool opened = OpenReply(buffer_.data(), buffer_.size(), &reply_);
    reply_tag_ = tag_;
    Reset();
    return opened ? Outcome::Complete : Outcome::Discarded;
}

Reply CPacketAssembler::TakeReply()
{
    return std::move(reply_);
}

}  // namespace Net
