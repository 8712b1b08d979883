// The MStream state document.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "persist/documents.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/matrix_reader.hpp"
#include "persist/validate.hpp"

namespace arbolet::persist {

namespace {

using mstream::CategoricalSketch;
using mstream::NumericSketch;
using mstream::RecordSketch;
using mstream::SketchCounts;

// ---- writing -------------------------------------------------------------------

void write_sketch(JsonWriter& w, const RecordSketch& s) {
    w.raw("{\"num_rows\":");
    w.u64(s.num_rows);
    w.raw(",\"num_buckets\":");
    w.u64(s.num_buckets);
    w.raw(",\"numeric_dim\":");
    w.u64(s.numeric_dim);
    w.raw(",\"categorical_dim\":");
    w.u64(s.categorical_dim);
    w.raw(",\"numeric_planes\":");
    w.matrix(s.numeric_planes);
    w.raw(",\"categorical_coeffs\":");
    w.matrix(s.categorical_coeffs);
    w.raw(",\"count\":");
    w.matrix(s.count);
    w.ch('}');
}

void write_sketch(JsonWriter& w, const NumericSketch& s) {
    w.raw("{\"num_buckets\":");
    w.u64(s.num_buckets);
    w.raw(",\"count\":");
    w.matrix(s.count);
    w.ch('}');
}

void write_sketch(JsonWriter& w, const CategoricalSketch& s) {
    w.raw("{\"num_rows\":");
    w.u64(s.num_rows);
    w.raw(",\"num_buckets\":");
    w.u64(s.num_buckets);
    w.raw(",\"hash_a\":");
    w.matrix(s.hash_a);
    w.raw(",\"hash_b\":");
    w.matrix(s.hash_b);
    w.raw(",\"count\":");
    w.matrix(s.count);
    w.ch('}');
}

template <class Sketch>
void write_counts(JsonWriter& w, const SketchCounts<Sketch>& c) {
    w.raw("{\"current\":");
    write_sketch(w, c.current);
    w.raw(",\"total\":");
    write_sketch(w, c.total);
    w.ch('}');
}

template <class Sketch>
void write_count_list(JsonWriter& w, const std::vector<SketchCounts<Sketch>>& list) {
    w.ch('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != 0) w.ch(',');
        write_counts(w, list[i]);
    }
    w.ch(']');
}

std::size_t cells(const RecordSketch& s) {
    return s.numeric_planes.data.size() + s.categorical_coeffs.data.size() + s.count.data.size();
}
std::size_t cells(const NumericSketch& s) { return s.count.data.size(); }
std::size_t cells(const CategoricalSketch& s) {
    return s.hash_a.data.size() + s.hash_b.data.size() + s.count.data.size();
}

std::size_t expected_size(const mstream::MStream& m) {
    std::size_t values = cells(m.record_counts.current) + cells(m.record_counts.total);
    for (const auto& c : m.numeric_counts) values += cells(c.current) + cells(c.total);
    for (const auto& c : m.categorical_counts) values += cells(c.current) + cells(c.total);
    values += 2 * m.numeric_normalizer.min_numeric.size();
    // Counts are mostly small; 8 bytes each is a fair first guess.
    return 512 + 256 * (m.numeric_counts.size() + m.categorical_counts.size()) + values * 8;
}

// ---- reading -------------------------------------------------------------------

using json::Reader;
using json::RecordSpec;

const RecordSpec kMStream{"struct MStream",
                          "struct MStream with 7 elements",
                          {"config", "clock", "entries_seen", "record_counts", "numeric_counts", "categorical_counts",
                           "numeric_normalizer"}};
const RecordSpec kConfig{"struct MStreamConfig", "struct MStreamConfig with 5 elements",
                         {"numeric_dim", "categorical_dim", "num_rows", "num_buckets", "alpha"}};
const RecordSpec kClock{
    "struct StreamClock", "struct StreamClock with 2 elements", {"current_time", "current_tick"}, 1u << 0};
const RecordSpec kCounts{"struct SketchCounts", "struct SketchCounts with 2 elements", {"current", "total"}};
const RecordSpec kRecordSketch{"struct RecordSketch",
                               "struct RecordSketch with 7 elements",
                               {"num_rows", "num_buckets", "numeric_dim", "categorical_dim", "numeric_planes",
                                "categorical_coeffs", "count"}};
const RecordSpec kNumericSketch{"struct NumericSketch", "struct NumericSketch with 2 elements",
                                {"num_buckets", "count"}};
const RecordSpec kCategoricalSketch{"struct CategoricalSketch",
                                    "struct CategoricalSketch with 5 elements",
                                    {"num_rows", "num_buckets", "hash_a", "hash_b", "count"}};
const RecordSpec kNormalizer{"struct NumericRangeNormalizer", "struct NumericRangeNormalizer with 2 elements",
                             {"min_numeric", "max_numeric"}};

constexpr const char* kUsize = "usize";
constexpr const char* kU64 = "u64";
constexpr const char* kSeq = "a sequence";

template <std::size_t Axes>
void read_doubles(Reader& r, Matrix<double>& m) {
    json::read_matrix<Axes>(r, m, [&] { return r.read_f64(); });
}

template <std::size_t Axes>
void read_signed(Reader& r, Matrix<std::int64_t>& m) {
    json::read_matrix<Axes>(r, m, [&] { return r.read_i64(); });
}

void read_sketch(Reader& r, RecordSketch& s) {
    r.read_record(kRecordSketch, [&](int i) {
        switch (i) {
            case 0: s.num_rows = r.read_unsigned(kUsize); break;
            case 1: s.num_buckets = r.read_unsigned(kUsize); break;
            case 2: s.numeric_dim = r.read_unsigned(kUsize); break;
            case 3: s.categorical_dim = r.read_unsigned(kUsize); break;
            case 4: read_doubles<3>(r, s.numeric_planes); break;
            case 5: read_signed<2>(r, s.categorical_coeffs); break;
            case 6: read_doubles<2>(r, s.count); break;
        }
    });
}

void read_sketch(Reader& r, NumericSketch& s) {
    r.read_record(kNumericSketch, [&](int i) {
        if (i == 0)
            s.num_buckets = r.read_unsigned(kUsize);
        else
            read_doubles<1>(r, s.count);
    });
}

void read_sketch(Reader& r, CategoricalSketch& s) {
    r.read_record(kCategoricalSketch, [&](int i) {
        switch (i) {
            case 0: s.num_rows = r.read_unsigned(kUsize); break;
            case 1: s.num_buckets = r.read_unsigned(kUsize); break;
            case 2: read_signed<1>(r, s.hash_a); break;
            case 3: read_signed<1>(r, s.hash_b); break;
            case 4: read_doubles<2>(r, s.count); break;
        }
    });
}

template <class Sketch>
void read_counts(Reader& r, SketchCounts<Sketch>& c) {
    r.read_record(kCounts, [&](int i) { read_sketch(r, i == 0 ? c.current : c.total); });
}

template <class Sketch>
void read_count_list(Reader& r, std::vector<SketchCounts<Sketch>>& list) {
    list.clear();
    r.read_seq(kSeq, [&] {
        list.emplace_back();
        read_counts(r, list.back());
    });
}

// A bound that was never set is written as null (it is infinite); it reads
// back as that infinity so that a fresh detector survives a round trip.
void read_bounds(Reader& r, std::vector<double>& out, double if_null) {
    out.clear();
    r.read_seq(kSeq, [&] { out.push_back(r.read_f64_or_null(if_null)); });
}

void read_mstream(Reader& r, mstream::MStream& m) {
    r.read_record(kMStream, [&](int i) {
        switch (i) {
            case 0:
                r.read_record(kConfig, [&](int k) {
                    switch (k) {
                        case 0: m.config.numeric_dim = r.read_unsigned(kUsize); break;
                        case 1: m.config.categorical_dim = r.read_unsigned(kUsize); break;
                        case 2: m.config.num_rows = r.read_unsigned(kUsize); break;
                        case 3: m.config.num_buckets = r.read_unsigned(kUsize); break;
                        case 4: m.config.alpha = r.read_f64(); break;
                    }
                });
                break;
            case 1:
                r.read_record(kClock, [&](int k) {
                    if (k == 0) {
                        if (r.take_null())
                            m.clock.current_time.reset();
                        else
                            m.clock.current_time = r.read_unsigned(kU64);
                    } else {
                        m.clock.current_tick = r.read_unsigned(kU64);
                    }
                });
                break;
            case 2: m.entries_seen = r.read_unsigned(kU64); break;
            case 3: read_counts(r, m.record_counts); break;
            case 4: read_count_list(r, m.numeric_counts); break;
            case 5: read_count_list(r, m.categorical_counts); break;
            case 6:
                r.read_record(kNormalizer, [&](int k) {
                    constexpr double inf = std::numeric_limits<double>::infinity();
                    if (k == 0)
                        read_bounds(r, m.numeric_normalizer.min_numeric, inf);
                    else
                        read_bounds(r, m.numeric_normalizer.max_numeric, -inf);
                });
                break;
        }
    });
}

}  // namespace

std::string mstream_to_json(const mstream::MStream& m) {
    JsonWriter w(expected_size(m));
    const mstream::MStreamConfig& c = m.config;
    w.raw("{\"config\":{\"numeric_dim\":");
    w.u64(c.numeric_dim);
    w.raw(",\"categorical_dim\":");
    w.u64(c.categorical_dim);
    w.raw(",\"num_rows\":");
    w.u64(c.num_rows);
    w.raw(",\"num_buckets\":");
    w.u64(c.num_buckets);
    w.raw(",\"alpha\":");
    w.f64(c.alpha);
    w.raw("},\"clock\":{\"current_time\":");
    if (m.clock.current_time)
        w.u64(*m.clock.current_time);
    else
        w.null();
    w.raw(",\"current_tick\":");
    w.u64(m.clock.current_tick);
    w.raw("},\"entries_seen\":");
    w.u64(m.entries_seen);
    w.raw(",\"record_counts\":");
    write_counts(w, m.record_counts);
    w.raw(",\"numeric_counts\":");
    write_count_list(w, m.numeric_counts);
    w.raw(",\"categorical_counts\":");
    write_count_list(w, m.categorical_counts);
    w.raw(",\"numeric_normalizer\":{\"min_numeric\":");
    w.list(m.numeric_normalizer.min_numeric);
    w.raw(",\"max_numeric\":");
    w.list(m.numeric_normalizer.max_numeric);
    w.raw("}}");
    return std::move(w).take();
}

Result<mstream::MStream> mstream_from_json(std::string_view text) {
    Reader r(text);
    mstream::MStream m;
    try {
        read_mstream(r, m);
        r.finish();
    } catch (json::Positioned& e) {
        return EngineError::io(r.describe(e));
    } catch (json::Unpositioned& e) {
        return EngineError::io(r.describe(json::Positioned{e.message, 0}));
    }
    std::string problem = find_mstream_inconsistency(m);
    if (!problem.empty()) return EngineError::io(problem);
    return m;
}

}  // namespace arbolet::persist
