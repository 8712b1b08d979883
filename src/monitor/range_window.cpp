#include "monitor/range_window.hpp"

#include <algorithm>

namespace arbolet::monitor {

void MonotoneQueue::expire(std::uint64_t oldest) {
    while (!empty() && front().step < oldest) ++head;
    // Reclaim the dropped front once it outweighs the live entries.
    if (head > 32 && head * 2 > entries.size()) compact();
}

void MonotoneQueue::push(std::uint64_t step, double value, bool keep_higher) {
    while (!empty()) {
        const double last = entries.back().value;
        if (keep_higher ? last > value : last < value) break;
        entries.pop_back();
    }
    entries.push_back({step, value});
}

void MonotoneQueue::compact() {
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(head));
    head = 0;
}

bool operator==(const MonotoneQueue& a, const MonotoneQueue& b) {
    return std::equal(a.entries.begin() + static_cast<std::ptrdiff_t>(a.head), a.entries.end(),
                      b.entries.begin() + static_cast<std::ptrdiff_t>(b.head), b.entries.end());
}

void RangeWindow::push(std::uint64_t step, double value, std::uint64_t window) {
    const std::uint64_t oldest = step + 1 >= window ? step + 1 - window : 0;
    highs.push(step, value, true);
    lows.push(step, value, false);
    highs.expire(oldest);
    lows.expire(oldest);
}

}  // namespace arbolet::monitor
