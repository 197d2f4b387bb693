#include "LineModel.h"

#include <algorithm>

namespace velt::sim {

namespace {

constexpr int64_t kBitsPerByte = 10;

} // namespace

LineModel::LineModel(uint32_t baud)
    : charTime_(baud == 0 ? 0 : kBitsPerByte * 1000000000LL / baud)
{
}

void LineModel::put(Direction& way, const uint8_t* data, size_t size, Clock::time_point at)
{
    if (size == 0)
        return;
    if (!paced()) {
        way.instant.insert(way.instant.end(), data, data + size);
        return;
    }
    Burst burst;
    burst.bytes.assign(data, data + size);
    burst.start = std::max(at, way.free);
    way.free = burst.start + charTime_ * static_cast<int64_t>(size);
    way.bursts.push_back(std::move(burst));
}

void LineModel::take(Direction& way, std::vector<uint8_t>& into, Clock::time_point now)
{
    if (!way.instant.empty()) {
        into.insert(into.end(), way.instant.begin(), way.instant.end());
        way.instant.clear();
    }
    while (!way.bursts.empty()) {
        Burst& burst = way.bursts.front();
        const auto crossed = now < burst.start ? 0 : (now - burst.start) / charTime_;
        const size_t upTo = std::min(burst.bytes.size(), static_cast<size_t>(crossed));
        if (upTo > burst.done) {
            into.insert(into.end(), burst.bytes.begin() + static_cast<std::ptrdiff_t>(burst.done),
                        burst.bytes.begin() + static_cast<std::ptrdiff_t>(upTo));
            burst.done = upTo;
        }
        if (burst.done < burst.bytes.size())
            return;
        way.bursts.pop_front();
    }
}

std::optional<LineModel::Clock::time_point> LineModel::next(const Direction& way) const
{
    if (!way.instant.empty())
        return Clock::time_point::min();
    if (way.bursts.empty())
        return std::nullopt;
    const Burst& burst = way.bursts.front();
    return burst.start + charTime_ * static_cast<int64_t>(burst.done + 1);
}

void LineModel::arrive(const uint8_t* data, size_t size, Clock::time_point now)
{
    put(toDevice_, data, size, now);
}

void LineModel::receive(std::vector<uint8_t>& into, Clock::time_point now)
{
    take(toDevice_, into, now);
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
    take(toHost_, into, now);
}

std::optional<LineModel::Clock::time_point> LineModel::nextEvent() const
{
    std::optional<Clock::time_point> soonest;
    auto consider = [&soonest](std::optional<Clock::time_point> t) {
        if (t && (!soonest || *t < *soonest))
            soonest = t;
    };
    consider(next(toDevice_));
    consider(next(toHost_));
    if (!held_.empty())
        consider(held_.front().due);
    return soonest;
}

} // namespace velt::sim
