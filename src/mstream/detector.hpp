// The MStream detector: configuration, clock, sketches and the record flow.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/engine_error.hpp"
#include "mstream/normalization.hpp"
#include "mstream/sketch.hpp"

namespace arbolet::mstream {

struct MStreamConfig {
    std::uint64_t numeric_dim = 0;
    std::uint64_t categorical_dim = 0;
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    double alpha = 0.0;

    friend bool operator==(const MStreamConfig&, const MStreamConfig&) = default;
};

struct StreamClock {
    std::optional<std::uint64_t> current_time;
    std::uint64_t current_tick = 0;

    friend bool operator==(const StreamClock&, const StreamClock&) = default;
};

struct MStreamScore {
    double total = 0.0;
    double record = 0.0;
    std::vector<double> numeric_features;
    std::vector<double> categorical_features;
};

// What MStream::check_consistent learnt about a state, so that later records
// skip it. Not part of the state: it compares equal whatever it holds, and a
// loaded state starts without it because loading makes a new value.
struct VerifiedShapes {
    bool verified = false;
    // Whether each current sketch hashes like its total (always so unless a
    // loaded document says otherwise), so one bucket serves both.
    bool record_shared = false;
    std::vector<char> categorical_shared;

    friend bool operator==(const VerifiedShapes&, const VerifiedShapes&) { return true; }
};

// When deferred decays are applied (see DecayIndex). Not part of the state:
// it compares equal whatever it holds, and a loaded state starts afresh.
struct DecaySchedule {
    // Records at one time from which a decay is applied to the whole tables
    // at once.
    static constexpr std::uint64_t kPassFrom = 8;
    // Records since the time last advanced.
    std::uint64_t records_at_time = 0;

    friend bool operator==(const DecaySchedule&, const DecaySchedule&) { return true; }
};

struct MStream {
    MStreamConfig config;
    StreamClock clock;
    std::uint64_t entries_seen = 0;
    SketchCounts<RecordSketch> record_counts;
    std::vector<SketchCounts<NumericSketch>> numeric_counts;
    std::vector<SketchCounts<CategoricalSketch>> categorical_counts;
    NumericRangeNormalizer numeric_normalizer;

    // Draws the seed from the operating system when none is given, then
    // validates and builds the sketches.
    static Result<MStream> build(std::uint64_t numeric_dim, std::uint64_t categorical_dim, std::uint64_t num_rows,
                                 std::uint64_t num_buckets, double alpha, std::optional<std::uint64_t> seed);
    // The constructor's refusals of a configuration (InvalidArgument with
    // its message), without the memory check; loading applies them too.
    static Status check_config(const MStreamConfig& config);
    // The constructor's memory check for a configuration that passed
    // check_config (MemoryError when the tables would not fit).
    static void check_size(const MStreamConfig& config);

    Result<MStreamScore> ingest(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                                std::uint64_t timestamp);
    Result<MStreamScore> preview(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                                 std::uint64_t timestamp) const;
    // The same, writing into `out` and reusing its vectors (a batch passes
    // one for every record).
    Status ingest_into(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                       std::uint64_t timestamp, MStreamScore& out);
    Status preview_into(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                        std::uint64_t timestamp, MStreamScore& out) const;

    bool is_ready() const { return entries_seen > 0; }

    // The clock step of a record: elapsed time units and the new tick.
    struct ClockStep {
        std::uint64_t elapsed = 0;
        std::uint64_t tick = 0;
    };
    Result<ClockStep> clock_step(std::uint64_t timestamp) const { return clock_step(clock, timestamp); }
    static Result<ClockStep> clock_step(const StreamClock& at, std::uint64_t timestamp);

    // ingest_into and preview_into for a record that check_record passed
    // with `step` against the current clock (a batch checks every record
    // before the first).
    void ingest_checked(ClockStep step, std::span<const float> numeric, std::span<const std::int64_t> categorical,
                        std::uint64_t timestamp, MStreamScore& out);
    void preview_checked(ClockStep step, std::span<const float> numeric, std::span<const std::int64_t> categorical,
                         MStreamScore& out) const;

    // Every check that can refuse a record, in the order the caller sees
    // them: numeric length, categorical length, timestamp, finiteness. Runs
    // before anything changes, so a refused record leaves no trace.
    Result<ClockStep> check_record(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                                   std::uint64_t timestamp) const {
        return check_record(clock, numeric, categorical, timestamp);
    }
    // The same checks against the clock `at` (a batch checks each record
    // against the clock its predecessors would leave).
    Result<ClockStep> check_record(const StreamClock& at, std::span<const float> numeric,
                                   std::span<const std::int64_t> categorical, std::uint64_t timestamp) const;

    // A loaded state is taken as written; this verifies that every table
    // has the shape the configuration implies before a record touches one.
    // InternalFailure otherwise. Free once `shapes` is verified: records keep
    // every shape, and nothing else changes a state in place.
    void check_consistent() const;
    // check_consistent, then remembers the outcome in `shapes`.
    void verify();

    VerifiedShapes shapes;
    DecaySchedule schedule;

    // Whether no decay is deferred (see DecayIndex), and applying every
    // deferred one. Whatever reads the counts of a state as a whole (its
    // writers, its comparison) reads them caught up.
    bool caught_up() const;
    void catch_up();

    // Every member but `shapes`, compared caught up.
    friend bool operator==(const MStream&, const MStream&);
};

}  // namespace arbolet::mstream
