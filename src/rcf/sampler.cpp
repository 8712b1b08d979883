#include "rcf/sampler.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

#include "common/internal_failure.hpp"
#include "common/room.hpp"

namespace arbolet::rcf {

Sampler Sampler::create(std::uint64_t capacity) {
    Sampler s;
    s.capacity = capacity;
    return s;
}

bool operator==(const Sampler& a, const Sampler& b) {
    if (a.capacity != b.capacity || a.size != b.size || a.pending_point != b.pending_point ||
        !(a.pending_weight == b.pending_weight) || a.weights.size() != a.point_indices.size() ||
        b.weights.size() != b.point_indices.size())
        return false;
    const std::size_t n = std::max(a.weights.size(), b.weights.size());
    for (std::size_t k = 0; k < n; ++k)
        if (!(a.weight_at(k) == b.weight_at(k)) || a.point_at(k) != b.point_at(k)) return false;
    return true;
}

double software_log(double x) {
    constexpr double ln2_hi = 0.6931471803691238;
    constexpr double ln2_lo = 1.9082149292705877e-10;
    constexpr double Lg1 = 0.6666666666666735;
    constexpr double Lg2 = 0.3999999999940942;
    constexpr double Lg3 = 0.2857142874366239;
    constexpr double Lg4 = 0.22222198432149784;
    constexpr double Lg5 = 0.1818357216161805;
    constexpr double Lg6 = 0.15313837699209373;
    constexpr double Lg7 = 0.14798198605116586;

    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    std::uint32_t hx = static_cast<std::uint32_t>(bits >> 32);
    int k = 0;
    if (hx < 0x00100000u || (hx >> 31) != 0) {
        if ((bits << 1) == 0) return -std::numeric_limits<double>::infinity();
        if ((hx >> 31) != 0) return std::numeric_limits<double>::quiet_NaN();
        // Subnormal: scale into the normal range first.
        k -= 54;
        x *= 0x1.0p54;
        bits = std::bit_cast<std::uint64_t>(x);
        hx = static_cast<std::uint32_t>(bits >> 32);
    } else if (hx >= 0x7ff00000u) {
        return x;
    } else if (hx == 0x3ff00000u && (bits & 0xffffffffu) == 0) {
        return 0.0;
    }

    // Reduce x to 2^k * m with m in [sqrt(2)/2, sqrt(2)).
    hx += 0x3ff00000u - 0x3fe6a09eu;
    k += static_cast<int>(hx >> 20) - 0x3ff;
    hx = (hx & 0x000fffffu) + 0x3fe6a09eu;
    bits = (static_cast<std::uint64_t>(hx) << 32) | (bits & 0xffffffffu);
    x = std::bit_cast<double>(bits);

    const double f = x - 1.0;
    const double hfsq = 0.5 * f * f;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const double R = t1 + t2;
    const double dk = static_cast<double>(k);
    return (((s * (hfsq + R) + dk * ln2_lo) - hfsq) + f) + dk * ln2_hi;
}

// log(-log(u)) >= bound exactly for u <= exp(-exp(bound)); the factor takes
// off far more than the error of the two logarithms and exponentials (a few
// units in the last place each) and of the rounded bound.
double surely_rejected_below(double bound) {
    const double below = std::exp(-std::exp(bound)) * (1.0 - 1e-9 * (1.0 + std::fabs(bound)));
    return below > 0.0 ? below : 0.0;
}

template <class Draws>
Sampler::Outcome Sampler::decide(Draws draws, double decay, double t, double initial_accept_fraction,
                                 std::uint64_t slot) {
    constexpr double u_min = 0x1.0p-52;
    constexpr double u_max = 1.0 - 0x1.0p-52;
    double u = draws();
    if (u < u_min) u = u_min;
    if (u > u_max) u = u_max;
    const double shift = decay * t;
    if (size == capacity && size != 0 && !weights.empty()) {
        const double largest = weights[0];
        if (!(largest == reject_largest && shift <= reject_shift)) {
            // Good for the next steps too: the shift grows by `decay` a step.
            reject_largest = largest;
            reject_shift = shift + std::max(0.0, 64.0 * decay);
            reject_below = surely_rejected_below(largest + reject_shift);
        }
        if (u < reject_below) return {Decision::Rejected, kNone};
    }
    const double weight = software_log(-software_log(u)) - shift;

    if (size != capacity) {
        const double f = static_cast<double>(size) / static_cast<double>(capacity);
        const double a = initial_accept_fraction;
        double p;
        if (f < a)
            p = 1.0;
        else if (a >= 1.0)
            p = 0.0;
        else
            p = 1.0 - (f - a) / (1.0 - a);
        // The second draw is taken while filling even though a sampler that
        // is not full accepts regardless, so the forest's stream stays fixed.
        const double v = draws();
        if (v < p || size < capacity) {
            pending_weight = weight;
            pending_point = slot;
            return {Decision::Accepted, kNone};
        }
    }

    double largest = DBL_MAX;
    if (size != 0) {
        check_index(0, weights.size());
        largest = weights[0];
    }
    if (weight < largest) {
        check_index(0, point_indices.size());
        pending_weight = weight;
        pending_point = slot;
        return {Decision::AcceptedWithEviction, point_indices[0]};
    }
    return {Decision::Rejected, kNone};
}

template Sampler::Outcome Sampler::decide(FromGenerator, double, double, double, std::uint64_t);
template Sampler::Outcome Sampler::decide(TakenBefore, double, double, double, std::uint64_t);

// The lists' length once the next commit has grown them: doubling, capped
// at the capacity, keeps the growth amortised. 0 when they need not grow.
std::uint64_t Sampler::grown_length() const {
    if (size >= capacity || size < weights.size()) return 0;
    return std::min(capacity, std::max<std::uint64_t>({size + 1, 2 * weights.size(), 8}));
}

void Sampler::grow_commit_room() {
    const std::uint64_t grown = grown_length();
    if (grown == 0 || (weights.capacity() >= grown && point_indices.capacity() >= grown)) return;
    check_allocation(grown, sizeof(double) + sizeof(std::uint64_t));
    reserve_total(weights, grown);
    reserve_total(point_indices, grown);
}

void Sampler::commit(std::uint64_t slot) {
    if (const std::uint64_t grown = grown_length(); grown != 0) {
        grow_commit_room();
        weights.resize(grown, 0.0);
        point_indices.resize(grown, kNone);
    }
    const std::uint64_t len = weights.size() < point_indices.size() ? weights.size() : point_indices.size();
    double* w = weights.data();
    std::uint64_t* ix = point_indices.data();
    if (size < capacity) {
        check_index(size, len);
        std::uint64_t k = size;
        w[k] = pending_weight;
        ix[k] = slot;
        size += 1;
        while (k > 0) {
            const std::uint64_t p = (k - 1) / 2;
            if (w[k] <= w[p]) break;
            std::swap(w[k], w[p]);
            std::swap(ix[k], ix[p]);
            k = p;
        }
    } else {
        check_index(0, len);
        if (size > len) fail("assertion failed: index < dim");
        w[0] = pending_weight;
        ix[0] = slot;
        std::uint64_t k = 0;
        for (;;) {
            std::uint64_t m = k;
            const std::uint64_t l = 2 * k + 1;
            const std::uint64_t r = 2 * k + 2;
            if (l < size && w[l] > w[m]) m = l;
            if (r < size && w[r] > w[m]) m = r;
            if (m == k) break;
            std::swap(w[k], w[m]);
            std::swap(ix[k], ix[m]);
            k = m;
        }
    }
    pending_point = kNone;
}

}  // namespace arbolet::rcf
