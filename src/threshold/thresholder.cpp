#include "threshold/thresholder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace arbolet::threshold {

namespace {

// Linear interpolation between the order statistics around p * (n - 1).
double quantile_of(const OrderedValues& sorted, double p) {
    const std::size_t n = sorted.size();
    if (n == 0) return std::numeric_limits<double>::infinity();
    const double pos = p * static_cast<double>(n - 1);
    const std::size_t i = static_cast<std::size_t>(pos);
    if (i + 1 >= n) return sorted.at(n - 1);
    const double frac = pos - static_cast<double>(i);
    const double low = sorted.at(i), high = sorted.at(i + 1);
    return low + (high - low) * frac;
}

// How far `value` is above `cut`, relative to it: 1 - cut / value for a
// positive cut. An alarm always has a grade above 0, even when it underflows.
double excess_grade(double value, double cut) {
    const double excess = value - cut;
    const double g = cut == 0.0 ? 1.0 : excess / (excess + std::fabs(cut));
    return std::max(g, std::numeric_limits<double>::denorm_min());
}

double clamp_score(double v) { return std::clamp(v, -kMaxScore, kMaxScore); }

// n * KL(share || expected) in nats, for a share above the expected one:
// minus the log of how likely so many exceedances are by chance, to within
// a term that grows as log n (a Chernoff bound of the binomial tail).
double burst_evidence(std::uint64_t above, std::uint64_t n, double expected) {
    const double nn = static_cast<double>(n);
    const double share = static_cast<double>(above) / nn;
    if (!(share > expected)) return 0.0;
    double kl = share * std::log(share / expected);
    if (share < 1.0) kl += (1.0 - share) * std::log((1.0 - share) / (1.0 - expected));
    return nn * kl;
}

}  // namespace

void Ring::push(double v, std::uint64_t capacity) {
    if (capacity == 0) return;
    if (values.size() < capacity) {
        values.push_back(v);
        next = values.size() == capacity ? 0 : values.size();
        return;
    }
    values[next] = v;
    next = next + 1 == capacity ? 0 : next + 1;
}

std::string Thresholder::check_config(const ThresholderConfig& c) {
    if (c.horizon < 1 || c.horizon > kMaxWindow) return "horizon must be between 1 and 2**24";
    if (!(c.quantile >= 0.0 && c.quantile <= 1.0)) return "quantile must be between 0 and 1";
    if (!std::isfinite(c.sigmas) || c.sigmas < 0.0) return "sigmas must be finite and not negative";
    if (c.mean_window > kMaxWindow) return "mean_window must be at most 2**24";
    if (!std::isfinite(c.min_spread) || c.min_spread < 0.0) return "min_spread must be finite and not negative";
    if (!std::isfinite(c.min_score)) return "min_score must be finite";
    if (c.peak_window > kMaxWindow) return "peak_window must be at most 2**24";
    if (!std::isfinite(c.margin) || c.margin < 0.0) return "margin must be finite and not negative";
    if (c.burst_window > kMaxWindow) return "burst_window must be at most 2**24";
    if (!std::isfinite(c.burst_level) || c.burst_level < 0.0) return "burst_level must be finite and not negative";
    if (c.burst_window > 0 && !(c.quantile < 1.0)) return "quantile must be below 1 for the burst test";
    return {};
}

Result<Thresholder> Thresholder::build(const ThresholderConfig& config) {
    std::string bad = check_config(config);
    if (!bad.empty()) return EngineError::invalid_argument(std::move(bad));
    Thresholder t;
    t.config = config;
    return t;
}

double Thresholder::threshold() const {
    const double margin = std::max(config.min_spread, config.margin * std::fabs(quantile_of(kept_sorted, 0.5)));
    return std::max(config.min_score, quantile_of(kept_sorted, config.quantile) + margin);
}

std::uint64_t Thresholder::recent_capacity() const {
    return std::max({config.mean_window, config.peak_window, config.burst_window});
}

std::uint64_t Thresholder::means_seen() const {
    const std::uint64_t w = config.mean_window;
    return w > 0 && steps >= w - 1 ? steps - (w - 1) : 0;
}

void Thresholder::sort_kept() { kept_sorted.assign(kept.values); }

Result<double> Thresholder::update(double score) {
    if (!(std::fabs(score) <= kMaxScore))
        return EngineError::invalid_argument("score must be a finite number of magnitude at most 1e300");
    if (steps_to_skip > 0) {
        --steps_to_skip;
        return 0.0;
    }
    if (config.log_scores) score = std::copysign(std::log1p(std::fabs(score)), score);
    score += 0.0;  // -0 as +0: the sorted copy and the ring then agree bit for bit
    const ThresholderConfig& c = config;
    const bool ready = is_ready();
    const double cut = threshold();

    // The mean of the last mean_window scores, this one included, and its z
    // against the level and spread of the earlier means.
    const std::uint64_t w = c.mean_window;
    const std::uint64_t earlier_means = means_seen();
    const bool has_mean = w > 0 && steps >= w - 1;
    double mean = 0.0;
    double z = 0.0;
    if (has_mean) {
        for (std::size_t i = recent.size() - static_cast<std::size_t>(w - 1); i < recent.size(); ++i)
            mean += recent.at(i);
        mean += score;
        mean /= static_cast<double>(w);
        if (earlier_means >= w) {
            const double spread =
                std::max({std::sqrt(mean_variance), c.min_spread,
                          kRelativeSpread / std::sqrt(static_cast<double>(w)) * std::fabs(mean_level)});
            if (spread > 0.0) z = clamp_score((mean - mean_level) / spread);
        }
    }

    // Exceedances of the plain quantile among the last burst_window scores,
    // this one included, each judged against today's quantile.
    double evidence = 0.0;
    if (c.burst_window > 0 && ready && kept_sorted.size() > 0) {
        const double line = quantile_of(kept_sorted, c.quantile);
        const std::size_t earlier =
            std::min(recent.size(), static_cast<std::size_t>(c.burst_window - 1));
        std::uint64_t above = score > line ? 1 : 0;
        for (std::size_t i = recent.size() - earlier; i < recent.size(); ++i) above += recent.at(i) > line ? 1 : 0;
        evidence = burst_evidence(above, earlier + 1, 1.0 - c.quantile);
    }
    const bool bursting = evidence > c.burst_level;

    const bool high = score > cut;
    // A burst is an event too: it alarms once, where it starts.
    if (!high && !bursting) in_event = false;
    const bool free = !alarmed || since_alarm >= c.suppression;
    const std::size_t peaks = static_cast<std::size_t>(std::min<std::uint64_t>(c.peak_window, recent.size()));
    bool single = ready && free && high && !in_event;
    const bool burst = ready && free && bursting && !in_event;
    for (std::size_t i = recent.size() - peaks; single && i < recent.size(); ++i) single = score > recent.at(i);
    // One odd score stays in the mean for mean_window steps: its echo must
    // not alarm again, whatever peak_window says; nor may the mean of an
    // event that is still above the cut-off, nor a mean that still holds the
    // scores of the last alarm.
    bool sustained = ready && free && !in_event && (!alarmed || since_alarm >= w) && has_mean &&
                     earlier_means >= w && z > c.sigmas;
    for (std::size_t i = 0; sustained && i < recent_z.size(); ++i) sustained = z > recent_z.at(i);

    double grade = 0.0;
    if (single) grade = excess_grade(score, cut);
    if (sustained) grade = std::max(grade, excess_grade(z, c.sigmas));
    if (burst) grade = std::max(grade, excess_grade(evidence, c.burst_level));
    if (single || sustained || burst) {
        alarmed = true;
        since_alarm = 0;
        if (high || bursting) in_event = true;
    } else if (alarmed && since_alarm < UINT64_MAX) {
        ++since_alarm;
    }

    // Scores of alarmed and suppressed steps, and of bursts, stay out of the
    // quantile, so that one event does not lift the cut-off for the next.
    if (!(alarmed && since_alarm < c.suppression) && !bursting) {
        if (kept.size() == c.horizon) kept_sorted.erase(kept.at(0));
        kept.push(score, c.horizon);
        kept_sorted.insert(score);
    }
    if (has_mean) {
        // min(earlier_means + 1, horizon), without overflow at the largest step count.
        const double weight = 1.0 / static_cast<double>(std::min(earlier_means, c.horizon - 1) + 1);
        const double d = mean - mean_level;
        // Clamped so that scores near the accepted bound keep every value finite.
        mean_level = clamp_score(mean_level + weight * d);
        mean_variance = std::min((1.0 - weight) * (mean_variance + weight * std::min(d * d, kMaxScore)), kMaxScore);
    }
    recent.push(score, recent_capacity());
    recent_z.push(z, std::max(c.mean_window, c.peak_window));
    if (steps < UINT64_MAX) ++steps;
    return grade;
}

}  // namespace arbolet::threshold
