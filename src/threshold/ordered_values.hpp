// The values a thresholder keeps, in order of value, for its quantiles:
// insertion, removal and the i-th smallest in O(log n) block look-ups plus
// a move within one block of at most kBlock values, where one sorted vector
// moved half of a horizon of up to 2^24 values at every step.
#pragma once

#include <cstddef>
#include <vector>

namespace arbolet::threshold {

class OrderedValues {
public:
    // Values per block at most; a full block splits in two.
    static constexpr std::size_t kBlock = 512;

    std::size_t size() const { return size_; }
    // The i-th smallest value, i < size().
    double at(std::size_t i) const;
    // Adds v after the values equal to it (equal values here have equal bits:
    // no NaN, no -0).
    void insert(double v);
    // Removes one value equal to v, which must be held.
    void erase(double v);
    // Replaces the contents with `values`, sorted here.
    void assign(std::vector<double> values);
    std::vector<double> sorted() const;

    friend bool operator==(const OrderedValues& a, const OrderedValues& b) { return a.sorted() == b.sorted(); }

private:
    // The block that holds v, or the one to put it in: the first whose last
    // value is above v (the last block when none is).
    std::size_t block_for(double v, bool after_equal) const;
    void rebuild_counts();
    // Fenwick tree over the blocks' sizes.
    void add_count(std::size_t block, std::ptrdiff_t delta);

    std::vector<std::vector<double>> blocks_;
    // Each block's largest value, side by side: the search for a block then
    // reads one small table rather than one allocation per block.
    std::vector<double> lasts_;
    std::vector<std::size_t> counts_;
    std::size_t size_ = 0;
};

}  // namespace arbolet::threshold
