// An update that runs out of memory part-way must leave the forest exactly as
// it was, and the same update retried must then give the same forest as if
// nothing had failed. Every allocation of every update is made to fail in
// turn (a replaced operator new counts them down), on one thread and on
// several, with tables squeezed to their size as a loaded state has them, so
// that every update must grow something. Prints "ok" and exits 0 on success.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "rcf/forest/forest.hpp"
#include "small_forest.hpp"

using namespace arbolet;
using namespace arbolet::rcf;

namespace {
// Allocations that may still succeed; negative: no limit.
std::atomic<long> allocations_left{-1};
}  // namespace

void* operator new(std::size_t n) {
    long left = allocations_left.load();
    while (left >= 0) {
        if (left == 0) throw std::bad_alloc();
        if (allocations_left.compare_exchange_weak(left, left - 1)) break;
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// Capacities cut down to the sizes, as a freshly loaded state may have them.
static void squeeze(Forest& f) {
    for (RcfTree& t : f.trees) {
        t.arena.nodes.shrink_to_fit();
        t.arena.free.shrink_to_fit();
        t.arena.boxes.shrink_to_fit();
        t.arena.box_free.shrink_to_fit();
    }
    for (Sampler& s : f.samplers) {
        s.weights.shrink_to_fit();
        s.point_indices.shrink_to_fit();
    }
    PointStore& ps = f.point_store;
    ps.store.data.shrink_to_fit();
    ps.occupied.shrink_to_fit();
    ps.ref_count.shrink_to_fit();
    ps.free_list.shrink_to_fit();
}

int main() {
    int failures = 0;
    for (std::uint64_t threads : {1, 3}) {
        Forest f = small_forest(2, 7, 12);
        Workspace work(threads);
        Forest reference = small_forest(2, 7, 12);
        long injected = 0;
        for (int step = 0; step < 400; ++step) {
            // Repeats and a narrow range, so that trees merge copies and evict.
            const float point[2] = {static_cast<float>(step % 7 == 0 ? 3 : step % 5), static_cast<float>(step % 3)};
            if (step % 3 == 0) squeeze(f);
            for (long limit = 0;; ++limit) {
                const Forest before = f;
                allocations_left = limit;
                try {
                    const Status done = f.update(point, work);
                    allocations_left = -1;
                    if (!done) ++failures;
                    break;
                } catch (const std::bad_alloc&) {
                    allocations_left = -1;
                    ++injected;
                    if (!(f == before)) {
                        std::printf("FAILED: %llu threads, step %d: allocation %ld failed half-way\n",
                                    static_cast<unsigned long long>(threads), step, limit);
                        return 1;
                    }
                }
            }
            if (!reference.update(point)) ++failures;
        }
        if (!(f == reference) || injected < 100) {
            std::printf("FAILED: %llu threads: retried updates differ (%ld failures injected)\n",
                        static_cast<unsigned long long>(threads), injected);
            ++failures;
        }
    }
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}
