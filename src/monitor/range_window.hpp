// The highest and lowest value of one coordinate over the last `window`
// steps, in amortised constant time: two monotone queues of (step, value),
// the candidates that can still become the window's maximum or minimum.
#pragma once

#include <cstdint>
#include <vector>

namespace arbolet::monitor {

struct Extreme {
    std::uint64_t step;
    double value;
    friend bool operator==(const Extreme&, const Extreme&) = default;
};

// Front at `head`: entries before it have left the window and are dropped in
// bulk, so no entry moves more than twice.
struct MonotoneQueue {
    std::vector<Extreme> entries;
    std::uint64_t head = 0;

    bool empty() const { return head == entries.size(); }
    const Extreme& front() const { return entries[static_cast<std::size_t>(head)]; }
    std::size_t size() const { return entries.size() - static_cast<std::size_t>(head); }
    // Drops entries whose step is before `oldest`.
    void expire(std::uint64_t oldest);
    // Appends (step, value) after dropping the entries it outranks: those not
    // above it (`keep_higher`) or not below it.
    void push(std::uint64_t step, double value, bool keep_higher);
    // The queue with its dropped front removed (for saving and comparing).
    void compact();

    friend bool operator==(const MonotoneQueue& a, const MonotoneQueue& b);
};

struct RangeWindow {
    MonotoneQueue highs;
    MonotoneQueue lows;

    bool empty() const { return highs.empty(); }
    double high() const { return highs.front().value; }
    double low() const { return lows.front().value; }
    // Adds the value of step `step`, the window then ending there.
    void push(std::uint64_t step, double value, std::uint64_t window);

    friend bool operator==(const RangeWindow&, const RangeWindow&) = default;
};

}  // namespace arbolet::monitor
