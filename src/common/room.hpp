// Capacity taken ahead of a change, so that the change itself cannot fail
// half-way for want of memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace arbolet {

// Room for `extra` more elements without reallocating: grows the capacity
// geometrically (never the size), so that calling it before every change
// stays amortised. Throws std::bad_alloc, with nothing changed, when memory
// runs out.
template <class T>
[[gnu::noinline]] void grow_room(std::vector<T>& v, std::size_t extra) {
    v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

template <class T>
inline void make_room(std::vector<T>& v, std::size_t extra) {
    if (v.capacity() - v.size() < extra) [[unlikely]] grow_room(v, extra);
}

// Capacity for `count` elements in all (exactly: `count` is a final size).
template <class T>
void reserve_total(std::vector<T>& v, std::size_t count) {
    if (v.capacity() < count) v.reserve(count);
}

}  // namespace arbolet
