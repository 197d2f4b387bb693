#include "LineModel.h"

#include <algorithm>

namespace velt::sim {

namespace {

// A UART receiver tolerates a few per cent between the two ends' clocks.
bool RatesMatch(uint32_t a, uint32_t b)
{
    const uint64_t diff = a > b ? a - b : b - a;
    return diff * 50 <= std::max(a, b);
}

} // namespace

LineModel::LineModel(const LineConfig& config) : config_(config), latency_(config.latency)
{
    retime();
}

void LineModel::retime()
{
    const uint32_t baud = config_.followHost ? hostBaud_ : config_.baud;
    charTime_ = std::chrono::nanoseconds(baud == 0 ? 0 : bitsPerChar_ * 1000000000LL / baud);
    garbled_ = !config_.followHost && config_.baud != 0 && hostBaud_ != 0 && !RatesMatch(hostBaud_, config_.baud);
}

bool LineModel::hostLine(uint32_t baud, unsigned bitsPerChar)
{
    if (baud == hostBaud_ && bitsPerChar == bitsPerChar_)
        return false;
    hostBaud_ = baud;
    bitsPerChar_ = bitsPerChar == 0 ? kDefaultBitsPerChar : bitsPerChar;
    retime();
    return true;
}

void LineModel::put(Direction& way, const uint8_t* data, size_t size, Clock::time_point at)
{
    if (size == 0)
        return;
    if (!paced()) {
        way.instant.insert(way.instant.end(), data, data + size);
        return;
    }
    const Clock::time_point start = std::max(at, way.free);
    way.free = start + charTime_ * static_cast<int64_t>(size);
    // Bytes sent right behind a burst none of which has crossed yet are
    // that burst (an acknowledgement and the reply frame behind it): they
    // arrive together, as through an adapter that forwards what it has.
    if (!way.bursts.empty()) {
        Burst& last = way.bursts.back();
        const Clock::time_point lastEnd = last.start + last.charTime * static_cast<int64_t>(last.bytes.size());
        if (last.done == 0 && last.charTime == charTime_ && start == lastEnd) {
            last.bytes.insert(last.bytes.end(), data, data + size);
            return;
        }
    }
    Burst burst;
    burst.bytes.assign(data, data + size);
    burst.start = start;
    burst.charTime = charTime_;
    way.bursts.push_back(std::move(burst));
}

LineModel::Clock::time_point LineModel::take(Direction& way, std::vector<uint8_t>& into, Clock::time_point now,
                                             bool wholeShort)
{
    if (!way.instant.empty()) {
        into.insert(into.end(), way.instant.begin(), way.instant.end());
        way.instant.clear();
    }
    std::optional<Clock::time_point> last;
    while (!way.bursts.empty()) {
        Burst& burst = way.bursts.front();
        const Clock::time_point first = burst.start + latency_;
        const auto length = burst.charTime * static_cast<int64_t>(burst.bytes.size());
        size_t upTo = 0;
        if (wholeShort && length < kSlice && now < first + length)
            break; // a short burst towards the host arrives whole
        if (now >= first)
            upTo = burst.charTime.count() == 0
                       ? burst.bytes.size()
                       : std::min(burst.bytes.size(), static_cast<size_t>((now - first) / burst.charTime));
        if (upTo > burst.done) {
            into.insert(into.end(), burst.bytes.begin() + static_cast<std::ptrdiff_t>(burst.done),
                        burst.bytes.begin() + static_cast<std::ptrdiff_t>(upTo));
            burst.done = upTo;
            last = first + burst.charTime * static_cast<int64_t>(upTo);
        }
        if (burst.done < burst.bytes.size())
            break;
        way.bursts.pop_front();
    }
    return last ? std::min(*last, now) : now;
}

std::optional<LineModel::Clock::time_point> LineModel::next(const Direction& way, bool progressive) const
{
    if (!way.instant.empty())
        return Clock::time_point::min();
    if (way.bursts.empty())
        return std::nullopt;
    const Burst& burst = way.bursts.front();
    const Clock::time_point first = burst.start + latency_;
    const Clock::time_point end = first + burst.charTime * static_cast<int64_t>(burst.bytes.size());
    if (!progressive)
        return end;
    if (end - first < kSlice)
        return end;
    const Clock::time_point nextByte = first + burst.charTime * static_cast<int64_t>(burst.done + 1);
    if (burst.done == 0)
        return nextByte;
    const Clock::time_point lastByte = first + burst.charTime * static_cast<int64_t>(burst.done);
    return std::min(end, std::max(nextByte, lastByte + kSlice));
}

void LineModel::arrive(const uint8_t* data, size_t size, Clock::time_point now)
{
    if (!garbled_) {
        put(toDevice_, data, size, now);
        return;
    }
    std::vector<uint8_t> noise(data, data + size);
    for (uint8_t& byte : noise)
        byte = garble(byte);
    put(toDevice_, noise.data(), noise.size(), now);
}

LineModel::Clock::time_point LineModel::receive(std::vector<uint8_t>& into, Clock::time_point now)
{
    return take(toDevice_, into, now, false);
}

void LineModel::releaseDue(Clock::time_point now)
{
    while (!held_.empty() && held_.front().due <= now) {
        const Held& reply = held_.front();
        put(toHost_, reply.bytes.data(), reply.bytes.size(), reply.due);
        held_.pop_front();
    }
}

void LineModel::send(const uint8_t* data, size_t size, Clock::time_point now)
{
    releaseDue(now);
    put(toHost_, data, size, now);
}

void LineModel::sendReply(const std::vector<uint8_t>& bytes, std::chrono::milliseconds delay, Clock::time_point now)
{
    releaseDue(now);
    if (delay.count() == 0 && held_.empty()) {
        put(toHost_, bytes.data(), bytes.size(), now);
        return;
    }
    lastDue_ = std::max(now + delay, held_.empty() ? now : lastDue_);
    held_.push_back({bytes, lastDue_});
}

void LineModel::transmit(std::vector<uint8_t>& into, Clock::time_point now)
{
    releaseDue(now);
    take(toHost_, into, now, true);
}

std::optional<LineModel::Clock::time_point> LineModel::nextEvent() const
{
    std::optional<Clock::time_point> soonest;
    auto consider = [&soonest](std::optional<Clock::time_point> t) {
        if (t && (!soonest || *t < *soonest))
            soonest = t;
    };
    consider(next(toDevice_, false));
    consider(next(toHost_, true));
    if (!held_.empty())
        consider(held_.front().due);
    return soonest;
}

} // namespace velt::sim
