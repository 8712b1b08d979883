// Standard normal variates by the 256-layer symmetric ziggurat.
#include <bit>
#include <cmath>

#include "random/xoshiro.hpp"
#include "random/ziggurat_tables.hpp"

namespace arbolet {

double Xoshiro256PlusPlus::standard_normal() {
    using ziggurat::kEdges, ziggurat::kHeights, ziggurat::kTailStart;
    for (;;) {
        const std::uint64_t bits = next_u64();
        const unsigned i = static_cast<unsigned>(bits & 0xff);
        const double u = std::bit_cast<double>((bits >> 12) | 0x4000000000000000ULL) - 3.0;
        const double x = u * kEdges[i];
        if (std::fabs(x) < kEdges[i + 1]) return x;
        if (i == 0) {
            double a, c;
            do {
                a = std::log(open01_f64()) / kTailStart;
                c = std::log(open01_f64());
            } while (-2.0 * c < a * a);
            return u < 0.0 ? a - kTailStart : kTailStart - a;
        }
        if (kHeights[i + 1] + (kHeights[i] - kHeights[i + 1]) * uniform_f64() < std::exp(-x * x / 2.0)) return x;
    }
}

}  // namespace arbolet
