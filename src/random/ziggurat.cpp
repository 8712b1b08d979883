// Standard normal variates by the 256-layer symmetric ziggurat.
#include <array>
#include <bit>
#include <cmath>

#include "random/xoshiro.hpp"

namespace arbolet {
namespace {

constexpr double kTailStart = 3.654152885361009;
constexpr double kLayerArea = 0.00492867323399;

struct ZigguratTables {
    std::array<double, 257> x;
    std::array<double, 257> f;

    ZigguratTables() {
        const double r = kTailStart;
        x[0] = kLayerArea / std::exp(-r * r / 2.0);
        x[1] = r;
        for (int i = 1; i <= 254; ++i) x[i + 1] = std::sqrt(-2.0 * std::log(kLayerArea / x[i] + std::exp(-x[i] * x[i] / 2.0)));
        x[256] = 0.0;
        for (int i = 0; i < 256; ++i) f[i] = std::exp(-x[i] * x[i] / 2.0);
        f[256] = 1.0;
        // Three heights of the reference tables sit one unit in the last place
        // away from what the recurrence evaluates to; the tables keep them.
        f[0] = 0.000477467764586655;
        f[3] = 0.004037972593371872;
        f[94] = 0.2064054063986793;
    }
};

const ZigguratTables& tables() {
    static const ZigguratTables t;
    return t;
}

}  // namespace

double Xoshiro256PlusPlus::standard_normal() {
    const ZigguratTables& t = tables();
    for (;;) {
        const std::uint64_t bits = next_u64();
        const unsigned i = static_cast<unsigned>(bits & 0xff);
        const double u = std::bit_cast<double>((bits >> 12) | 0x4000000000000000ULL) - 3.0;
        const double x = u * t.x[i];
        if (std::fabs(x) < t.x[i + 1]) return x;
        if (i == 0) {
            double a, c;
            do {
                a = std::log(open01_f64()) / kTailStart;
                c = std::log(open01_f64());
            } while (-2.0 * c < a * a);
            return u < 0.0 ? a - kTailStart : kTailStart - a;
        }
        if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * uniform_f64() < std::exp(-x * x / 2.0)) return x;
    }
}

}  // namespace arbolet
