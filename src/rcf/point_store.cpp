#include "rcf/point_store.hpp"

#include <algorithm>
#include <cstring>

#include "common/internal_failure.hpp"
#include "common/memory_budget.hpp"
#include "common/room.hpp"

namespace arbolet::rcf {

PointStore PointStore::create(std::uint64_t dim, std::uint64_t input_dim, std::uint64_t shingle_size,
                              bool internal_shingling, std::uint64_t rows) {
    PointStore ps;
    ps.dim = dim;
    ps.input_dim = input_dim;
    ps.shingle_size = shingle_size;
    ps.internal_shingling = internal_shingling;
    ps.store.dim = {rows, dim};
    ps.capacity = rows;
    ps.shingle_buf.assign(dim, 0.0f);
    return ps;
}

void PointStore::no_such_row() { fail("assertion failed: index < dim"); }

bool PointStore::row_equals(std::uint64_t slot, std::span<const float> point) const {
    if (point.size() != dim) return false;
    const std::span<const float> r = row(slot);
    for (std::size_t i = 0; i < r.size(); ++i)
        if (!(r[i] == point[i])) return false;
    return true;
}

void PointStore::shingle(std::span<const float> observation, std::vector<float>& out) {
    const std::uint64_t n = observation.size();
    if (shingle_buf.size() != dim || n > dim) fail("shingle buffer does not match the point dimension");
    float* buf = shingle_buf.data();
    if (n < dim) std::memmove(buf, buf + n, (dim - n) * sizeof(float));
    if (n > 0) std::memcpy(buf + (dim - n), observation.data(), n * sizeof(float));
    out.assign(shingle_buf.begin(), shingle_buf.end());
}

std::uint64_t PointStore::add(std::span<const float> point) {
    if (point.size() != dim) fail("point length does not match the point store");
    std::uint64_t slot;
    if (!free_list.empty()) {
        slot = free_list.back();
        free_list.pop_back();
    } else {
        slot = next_free;
        // Leaves name rows in 32 bits (Node).
        if (slot > 0xFFFFFFFFu) fail("point store exceeds 2^32 rows");
        if (next_free >= capacity) {
            std::uint64_t grown = 0, cells = 0;
            if (!checked_mul(capacity, 2, grown) || !checked_add(grown, 4, grown) || !checked_mul(grown, dim, cells))
                fail("point store size overflows");
            store.dim = {grown, dim};
            capacity = grown;
        }
        // Before next_free moves, so that a refused allocation leaves every
        // handed-out row held.
        if (slot >= held_rows()) hold_rows(slot + 1);
        next_free += 1;
    }
    check_index(slot, capacity);
    check_index(slot, occupied.size());
    check_index(slot, ref_count.size());
    std::uint64_t end = 0;
    if (!checked_mul(slot, dim, end) || !checked_add(end, dim, end) || end > store.data.size())
        fail("assertion failed: index < dim");
    std::copy(point.begin(), point.end(), store.data.begin() + static_cast<std::ptrdiff_t>(slot * dim));
    occupied[slot] = 1;
    ref_count[slot] = 0;
    size += 1;
    entries_seen = saturating_add(entries_seen, 1);
    return slot;
}

namespace {

// Growing by half, capped at the capacity, keeps the growth amortised while
// a store that stops growing keeps at most a third of its rows unused (the
// rows a forest holds level off well below its capacity).
std::uint64_t rows_to_hold(std::uint64_t rows, std::uint64_t held, std::uint64_t capacity) {
    return std::min(capacity, std::max<std::uint64_t>({rows, held + held / 2, 16}));
}

}  // namespace

void PointStore::make_update_room(std::uint64_t releases) {
    make_room(free_list, releases);
    // The next add takes next_free when no slot is free; a store whose rows
    // are all taken grows its capacity there first (only a hand-made state).
    if (!free_list.empty() || next_free >= capacity || next_free < held_rows()) return;
    const std::uint64_t grown = rows_to_hold(next_free + 1, held_rows(), capacity);
    std::uint64_t cells = 0;
    if (!checked_mul(grown, dim, cells)) return;  // hold_rows refuses it
    check_allocation(cells, sizeof(float));
    reserve_total(store.data, cells);
    reserve_total(occupied, grown);
    reserve_total(ref_count, grown);
}

void PointStore::hold_rows(std::uint64_t rows) {
    // Rows are contiguous and row-major, so growing the flat table keeps
    // every existing row at its index.
    const std::uint64_t grown = rows_to_hold(rows, held_rows(), capacity);
    std::uint64_t cells = 0;
    if (!checked_mul(grown, dim, cells)) fail("point store size overflows");
    check_allocation(cells, sizeof(float));
    store.data.resize(cells, 0.0f);
    occupied.resize(grown, 0);
    ref_count.resize(grown, 0);
}

bool operator==(const PointStore& a, const PointStore& b) {
    if (a.dim != b.dim || a.input_dim != b.input_dim || a.shingle_size != b.shingle_size ||
        a.internal_shingling != b.internal_shingling || a.store.dim != b.store.dim || a.next_free != b.next_free ||
        a.free_list != b.free_list || a.size != b.size || a.capacity != b.capacity || a.shingle_buf != b.shingle_buf ||
        a.entries_seen != b.entries_seen)
        return false;
    const PointStore& longer = a.held_rows() >= b.held_rows() ? a : b;
    const PointStore& shorter = &longer == &a ? b : a;
    const std::uint64_t n = shorter.held_rows();
    if (!std::equal(shorter.occupied.begin(), shorter.occupied.end(), longer.occupied.begin()) ||
        !std::equal(shorter.ref_count.begin(), shorter.ref_count.end(), longer.ref_count.begin()) ||
        !std::equal(shorter.store.data.begin(), shorter.store.data.end(), longer.store.data.begin()))
        return false;
    for (std::uint64_t r = n; r < longer.held_rows(); ++r)
        if (longer.occupied[r] != 0 || longer.ref_count[r] != 0) return false;
    for (std::size_t i = shorter.store.data.size(); i < longer.store.data.size(); ++i)
        if (!(longer.store.data[i] == 0.0f)) return false;
    return true;
}

void PointStore::add_ref(std::uint64_t slot) {
    check_index(slot, ref_count.size());
    ref_count[slot] += 1;
}

void PointStore::release(std::uint64_t slot) {
    check_index(slot, ref_count.size());
    check_index(slot, occupied.size());
    if (ref_count[slot] > 0) {
        ref_count[slot] -= 1;
        if (ref_count[slot] > 0) return;
    }
    // A slot that is already free is never pushed a second time.
    if (occupied[slot]) {
        occupied[slot] = 0;
        size -= 1;
        free_list.push_back(slot);
    }
}

}  // namespace arbolet::rcf
