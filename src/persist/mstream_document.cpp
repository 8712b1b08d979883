// The MStream state document, written and read from the descriptions of its
// records.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "persist/documents.hpp"
#include "persist/json_records.hpp"
#include "persist/mstream_records.hpp"
#include "persist/validate.hpp"

namespace arbolet::persist {

namespace {

using mstream::CategoricalSketch;
using mstream::NumericSketch;
using mstream::RecordSketch;
using mstream::SketchCounts;

// ---- writing -------------------------------------------------------------------

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

}  // namespace

std::string mstream_to_json(const mstream::MStream& m) {
    if (!m.caught_up()) {
        mstream::MStream copy = m;
        copy.catch_up();
        return mstream_to_json(copy);
    }
    JsonWriter w(expected_size(m));
    record::NoSpecials codec;
    json::write_record<mstream::MStream>(w, m, codec);
    return std::move(w).take();
}

Result<mstream::MStream> mstream_from_json(std::string_view text) {
    json::Reader r(text);
    mstream::MStream m;
    record::NoSpecials codec;
    try {
        json::read_record<mstream::MStream>(r, m, codec);
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
