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
    const auto first = after_equal ? std::upper_bound(lasts_.begin(), lasts_.end(), v)
                                   : std::lower_bound(lasts_.begin(), lasts_.end(), v);
    const auto at = static_cast<std::size_t>(std::distance(lasts_.begin(), first));
    return at < lasts_.size() ? at : lasts_.size() - 1;
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
        lasts_.push_back(v);
        rebuild_counts();
        return;
    }
    const std::size_t b = block_for(v, true);
    std::vector<double>& block = blocks_[b];
    block.insert(std::upper_bound(block.begin(), block.end(), v), v);
    lasts_[b] = block.back();
    if (block.size() < 2 * kBlock) {
        add_count(b, 1);
        return;
    }
    std::vector<double> upper(block.begin() + static_cast<std::ptrdiff_t>(kBlock), block.end());
    block.resize(kBlock);
    lasts_[b] = block.back();
    lasts_.insert(lasts_.begin() + static_cast<std::ptrdiff_t>(b) + 1, upper.back());
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
        lasts_[b] = block.back();
        add_count(b, -1);
        return;
    }
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b));
    lasts_.erase(lasts_.begin() + static_cast<std::ptrdiff_t>(b));
    rebuild_counts();
}

void OrderedValues::assign(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_ = values.size();
    blocks_.clear();
    lasts_.clear();
    for (std::size_t at = 0; at < values.size(); at += kBlock) {
        const auto from = values.begin() + static_cast<std::ptrdiff_t>(at);
        blocks_.emplace_back(from, from + static_cast<std::ptrdiff_t>(std::min(kBlock, values.size() - at)));
        lasts_.push_back(blocks_.back().back());
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
