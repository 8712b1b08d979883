// Every point held by at least one tree, reference-counted by the samplers,
// plus the rolling shingle buffer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/matrix.hpp"
#include "common/platform.hpp"

namespace arbolet::rcf {

// The tables hold the rows in use, at least next_free and at most capacity:
// `store.dim` is capacity x dim, while `store.data`, `occupied` and
// `ref_count` cover `held_rows()` rows and grow as slots are handed out, so
// that a store costs memory for the points it has seen. Rows past them are
// unused ones: zeros, not occupied, no references.
struct PointStore {
    std::uint64_t dim = 0;
    std::uint64_t input_dim = 0;
    std::uint64_t shingle_size = 0;
    bool internal_shingling = true;
    Matrix<float> store;                  // capacity rows x dim columns, held_rows() of them in data
    std::vector<std::uint8_t> occupied;   // 0 or 1 per held row
    std::vector<std::uint64_t> ref_count;
    std::uint64_t next_free = 0;
    std::vector<std::uint64_t> free_list;
    std::uint64_t size = 0;
    std::uint64_t capacity = 0;
    std::vector<float> shingle_buf;
    std::uint64_t entries_seen = 0;

    static PointStore create(std::uint64_t dim, std::uint64_t input_dim, std::uint64_t shingle_size,
                             bool internal_shingling, std::uint64_t rows);

    // Read access to a slot's values (occupied or not). InternalFailure
    // "assertion failed: index < dim" beyond the rows. Inline: every walk
    // reads a leaf's row.
    std::span<const float> row(std::uint64_t slot) const {
        // A loaded matrix may be shorter than capacity rows; never read past it.
        std::uint64_t end = 0;
        if (slot >= capacity || mul_overflows(slot, dim, end) || add_overflows(end, dim, end) ||
            end > store.data.size()) [[unlikely]]
            no_such_row();
        return {store.data.data() + slot * dim, static_cast<std::size_t>(dim)};
    }
    [[noreturn]] static void no_such_row();
    // Starts loading a slot's row while other work goes on (nothing for a
    // slot beyond the rows held).
    void prefetch_row(std::uint64_t slot) const {
        if (slot < held_rows() && (slot + 1) * dim <= store.data.size())
            prefetch_bytes(store.data.data() + slot * dim, dim * sizeof(float));
    }
    // Same length and every value equal in single precision (NaN never
    // matches, 0.0 matches -0.0).
    bool row_equals(std::uint64_t slot, std::span<const float> point) const;

    // Shift the buffer left by input_dim, append the observation, and copy the
    // whole buffer into `out`.
    void shingle(std::span<const float> observation, std::vector<float>& out);
    std::uint64_t add(std::span<const float> point);
    void add_ref(std::uint64_t slot);
    void release(std::uint64_t slot);

    std::uint64_t held_rows() const { return occupied.size(); }
    // Grows the tables to hold at least `rows` rows (at most capacity).
    void hold_rows(std::uint64_t rows);
    // Room for the next add and `releases` releases, so that none of them
    // allocates.
    void make_update_room(std::uint64_t releases);

    // Equal rows over the full capacity, however far each has grown.
    friend bool operator==(const PointStore& a, const PointStore& b);
};

}  // namespace arbolet::rcf
