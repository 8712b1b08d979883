#include "threshold/ordered_values.hpp"

#include <algorithm>
#include <bit>
#include <iterator>

#include "common/internal_failure.hpp"

namespace arbolet::threshold {

std::size_t OrderedValues::block_for(double v, bool after_equal) const {
    // Blocks are never empty, so each has a last value; ties go to the
    // first block that may hold v (for removal) or past the equal values
    // (for insertion).
    const auto first = std::partition_point(blocks_.begin(), blocks_.end(), [&](const std::vector<double>& b) {
        return after_equal ? !(v < b.back()) : b.back() < v;
    });
    const auto at = static_cast<std::size_t>(std::distance(blocks_.begin(), first));
    return at < blocks_.size() ? at : blocks_.size() - 1;
}

void OrderedValues::rebuild_counts() {
    counts_.assign(blocks_.size() + 1, 0);
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const std::size_t i = b + 1;
        counts_[i] += blocks_[b].size();
        const std::size_t parent = i + (i & (~i + 1));
        if (parent < counts_.size()) counts_[parent] += counts_[i];
    }
}

void OrderedValues::add_count(std::size_t block, std::ptrdiff_t delta) {
    for (std::size_t i = block + 1; i < counts_.size(); i += i & (~i + 1))
        counts_[i] = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(counts_[i]) + delta);
}

double OrderedValues::at(std::size_t i) const {
    if (i >= size_) fail("ordered value index beyond the values held");
    // Descends the Fenwick tree to the block holding the i-th value.
    std::size_t block = 0;
    for (std::size_t step = std::bit_floor(counts_.size() - 1); step > 0; step >>= 1)
        if (block + step < counts_.size() && counts_[block + step] <= i) {
            block += step;
            i -= counts_[block];
        }
    return blocks_[block][i];
}

void OrderedValues::insert(double v) {
    ++size_;
    if (blocks_.empty()) {
        blocks_.push_back({v});
        rebuild_counts();
        return;
    }
    const std::size_t b = block_for(v, true);
    std::vector<double>& block = blocks_[b];
    block.insert(std::upper_bound(block.begin(), block.end(), v), v);
    if (block.size() < 2 * kBlock) {
        add_count(b, 1);
        return;
    }
    std::vector<double> upper(block.begin() + static_cast<std::ptrdiff_t>(kBlock), block.end());
    block.resize(kBlock);
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
    rebuild_counts();
}

void OrderedValues::erase(double v) {
    if (blocks_.empty()) fail("removing a value that is not held");
    const std::size_t b = block_for(v, false);
    std::vector<double>& block = blocks_[b];
    const auto it = std::lower_bound(block.begin(), block.end(), v);
    if (it == block.end() || !(*it == v)) fail("removing a value that is not held");
    block.erase(it);
    --size_;
    if (!block.empty()) {
        add_count(b, -1);
        return;
    }
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b));
    rebuild_counts();
}

void OrderedValues::assign(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_ = values.size();
    blocks_.clear();
    for (std::size_t at = 0; at < values.size(); at += kBlock) {
        const auto from = values.begin() + static_cast<std::ptrdiff_t>(at);
        blocks_.emplace_back(from, from + static_cast<std::ptrdiff_t>(std::min(kBlock, values.size() - at)));
    }
    rebuild_counts();
}

std::vector<double> OrderedValues::sorted() const {
    std::vector<double> out;
    out.reserve(size_);
    for (const std::vector<double>& b : blocks_) out.insert(out.end(), b.begin(), b.end());
    return out;
}

}  // namespace arbolet::threshold
