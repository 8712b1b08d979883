#include "threshold/forest_policy.hpp"

#include <algorithm>
#include <cmath>

#include "common/platform.hpp"

namespace arbolet::threshold {

ThresholderConfig config_for_forest(const rcf::RcfConfig& f) {
    ThresholderConfig c;
    // One event stays in the shingle for shingle_size steps.
    c.suppression = f.shingle_size;
    // Raw forest scores scale with log2(capacity + 1); a quarter of it
    // (2.0 for capacity 256) is where ordinary noise ends.
    c.min_score = std::log2(static_cast<double>(f.capacity) + 1.0) / 4.0;
    // Longer than the forest's own memory (10 * capacity points at the
    // automatic time_decay), so the quantile sees every kind of ordinary
    // score it still gives; 4096 for capacity 256.
    c.horizon = std::min(f.capacity, kMaxWindow / 16) * 16;
    // A forest's ordinary scores have a long thin top: a high quantile.
    // One odd value stays in shingle_size consecutive points, so that top
    // is shingle_size times as thick at the same rate of odd values.
    c.quantile = std::max(0.98, 1.0 - 0.002 * static_cast<double>(f.shingle_size));
    // A recent mean that alarms a little sooner.
    c.sigmas = 4.0;
    // The top of a shingled forest's ordinary scores ends further above
    // the quantile: measured at shingle 1 to 16, the best margin grows
    // about 0.1 per shingle step up to about 0.7, and this rule beat the
    // fixed 0.1 on every profile at every shingle size tried.
    c.margin = std::min(0.1 * static_cast<double>(f.shingle_size), 0.7);
    return c;
}

ThresholderConfig config_for_mstream() {
    ThresholderConfig c;
    // MStream's scores grow with the square of a count's excess and with
    // time: their logarithm has the ordinary spread the tests assume.
    c.log_scores = true;
    // MStream judges records, and an event is many of them: a flood, a
    // surge, a new category or an odd value repeated. Single records at the
    // top of the ordinary scores are common on a busy stream, so neither a
    // single score nor the mean alarms; the burst test does, when more of
    // the last 32 records than chance allows lie above the 0.98 quantile.
    // Chosen on labelled login logs of other seeds than those reported.
    c.min_score = kMaxScore;
    c.mean_window = 0;
    c.quantile = 0.98;
    c.burst_window = 32;
    c.burst_level = 20.0;
    c.suppression = 32;
    c.warm_up = 500;
    return c;
}

}  // namespace arbolet::threshold
