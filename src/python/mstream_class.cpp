// The MStream class: argument conversion and result objects around the engine.
#include <charconv>
#include <string>
#include <utility>
#include <vector>

#include "python/batch.hpp"
#include "python/classes.hpp"
#include "python/persistence_methods.hpp"
#include "python/unlocked.hpp"

namespace arbolet::python {
namespace {

using mstream::MStream;
using mstream::MStreamScore;

MStream& detector(PyObject* self) { return engine_of<MStream>(self); }

struct MStreamArgs {
    std::uint64_t numeric_dim, categorical_dim, num_rows, num_buckets;
    double alpha;
    std::optional<std::uint64_t> seed;
    static constexpr auto params() {
        return std::tuple{
            param("numeric_dim", &MStreamArgs::numeric_dim, "SupportsIndex"),
            param("categorical_dim", &MStreamArgs::categorical_dim, "SupportsIndex"),
            param("num_rows", &MStreamArgs::num_rows, "SupportsIndex", "2"),
            param("num_buckets", &MStreamArgs::num_buckets, "SupportsIndex", "1024"),
            param("alpha", &MStreamArgs::alpha, "_Real", "0.8"),
            param("seed", &MStreamArgs::seed, "SupportsIndex | None", "None"),
        };
    }
};

PyObject* construct(PyTypeObject* cls, const MStreamArgs& a) {
    Result<MStream> built =
        MStream::build(a.numeric_dim, a.categorical_dim, a.num_rows, a.num_buckets, a.alpha, a.seed);
    if (!take(built)) return nullptr;
    return wrap(cls, std::move(built).value());
}

// Shortest text that reads back to the same double, without an exponent.
std::string positional(double value) {
    char buf[512];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

PyObject* text(PyObject* self) {
    const MStream& m = detector(self);
    const std::string s = "numeric_dim=" + std::to_string(m.config.numeric_dim) +
                          ", categorical_dim=" + std::to_string(m.config.categorical_dim) +
                          ", num_rows=" + std::to_string(m.config.num_rows) +
                          ", num_buckets=" + std::to_string(m.config.num_buckets) +
                          ", alpha=" + positional(m.config.alpha) +
                          ", entries_seen=" + std::to_string(m.entries_seen);
    return repr_of(self, s);
}

PointLengths numeric_lengths(PyObject* self) { return {detector(self).config.numeric_dim, 0}; }
PointLengths categorical_lengths(PyObject* self) { return {detector(self).config.categorical_dim, 0}; }

struct Record {
    Reals<&numeric_lengths> numeric;
    Codes<&categorical_lengths> categorical;
    std::uint64_t timestamp;
    static constexpr auto params() {
        return std::tuple{param("numeric", &Record::numeric, "_RealVector"),
                          param("categorical", &Record::categorical, "_IndexVector"),
                          param("timestamp", &Record::timestamp, "SupportsIndex")};
    }
};

PyObject* detailed(const MStreamScore& s) {
    Ref numeric(float_list(s.numeric_features.data(), s.numeric_features.size()));
    if (!numeric) return nullptr;
    Ref categorical(float_list(s.categorical_features.data(), s.categorical_features.size()));
    if (!categorical) return nullptr;
    return Py_BuildValue("{OdOdOOOO}", key("total"), s.total, key("record"), s.record, key("numeric_features"),
                         numeric.get(), key("categorical_features"), categorical.get());
}

enum class Shape { None, Total, Detailed };

template <bool Ingest, Shape Out>
PyObject* record_method(PyTypeObject*, PyObject* self, const Record& r) {
    const std::vector<float>& numeric = r.numeric.values;
    const std::vector<std::int64_t>& categorical = r.categorical.values;
    MStream& m = detector(self);
    Result<MStreamScore> scored = unlocked([&] {
        return Ingest ? m.ingest(numeric, categorical, r.timestamp) : m.preview(numeric, categorical, r.timestamp);
    });
    if (!take(scored)) return nullptr;
    if constexpr (Out == Shape::None) {
        Py_RETURN_NONE;
    } else if constexpr (Out == Shape::Total) {
        return PyFloat_FromDouble(scored.value().total);
    } else {
        return detailed(scored.value());
    }
}

// A batch of N records: the loop over `update`, `update_and_score` or `score`
// (Ingest false), with every record checked first, each against the clock
// that the records before it would leave.
constexpr char kNumeric[] = "numeric";
constexpr char kCategorical[] = "categorical";
constexpr char kTimestamp[] = "timestamp";

struct Records {
    RealRows<kNumeric> numeric;
    CodeRows<kCategorical> categorical;
    CountColumn<kTimestamp> timestamps;
    static constexpr auto params() {
        return std::tuple{param("numeric", &Records::numeric, "_Batch"),
                          param("categorical", &Records::categorical, "_CodeBatch"),
                          param("timestamps", &Records::timestamps, "_IndexColumn")};
    }
};

template <bool Ingest, bool Results>
PyObject* records_many(PyTypeObject*, PyObject* self, const Records& a) {
    const Rows<float>& numeric = a.numeric.rows;
    const Rows<std::int64_t>& categorical = a.categorical.rows;
    const std::vector<std::uint64_t>& timestamps = a.timestamps.values;
    if (!same_row_counts({numeric.size(), categorical.size(), timestamps.size()},
                         "numeric, categorical and timestamps"))
        return nullptr;
    MStream& m = detector(self);
    mstream::StreamClock clock = m.clock;
    std::vector<MStream::ClockStep> steps(timestamps.size());
    for (std::size_t r = 0; r < timestamps.size(); ++r) {
        auto step = m.check_record(clock, numeric.row(r), categorical.row(r), timestamps[r]);
        if (!step) return raise_row_error(r, step.error());
        steps[r] = step.value();
        if (Ingest) clock = {timestamps[r], step.value().tick};
    }
    std::vector<double> out(Results ? timestamps.size() : 0);
    MStreamScore scored;  // reused by every record
    // Every record was checked above against the clock it meets, so none can
    // be refused on the way.
    const std::ptrdiff_t done = run_rows(timestamps.size(), [&](std::size_t r) {
        if (Ingest)
            m.ingest_checked(steps[r], numeric.row(r), categorical.row(r), timestamps[r], scored);
        else
            m.preview_checked(steps[r], numeric.row(r), categorical.row(r), scored);
        if (Results) out[r] = scored.total;
        return true;
    });
    return finish_rows(done, std::nullopt, Results, out);
}

PyObject* is_ready(PyTypeObject*, PyObject* self, const NoArgs&) { return PyBool_FromLong(detector(self).is_ready()); }
PyObject* entries_seen(PyTypeObject*, PyObject* self, const NoArgs&) {
    return PyLong_FromUnsignedLongLong(detector(self).entries_seen);
}
PyObject* current_time(PyTypeObject*, PyObject* self, const NoArgs&) {
    const auto& t = detector(self).clock.current_time;
    if (!t) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*t);
}
PyObject* new_args(PyTypeObject*, PyObject* self, const NoArgs&) {
    const auto& c = detector(self).config;
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(c.numeric_dim),
                         static_cast<unsigned long long>(c.categorical_dim));
}

template <std::uint64_t mstream::MStreamConfig::*Field>
PyObject* count_property(PyObject* self) {
    return PyLong_FromUnsignedLongLong(detector(self).config.*Field);
}
PyObject* alpha_property(PyObject* self) { return PyFloat_FromDouble(detector(self).config.alpha); }

constexpr PropertySpec kProperties[] = {
    {"numeric_dim", "int",
     "Number of numerical features in each record.",
     &count_property<&mstream::MStreamConfig::numeric_dim>},
    {"categorical_dim", "int",
     "Number of categorical features in each record.",
     &count_property<&mstream::MStreamConfig::categorical_dim>},
    {"num_rows", "int", "Number of hash rows.", &count_property<&mstream::MStreamConfig::num_rows>},
    {"num_buckets", "int", "Number of buckets per hash row.", &count_property<&mstream::MStreamConfig::num_buckets>},
    {"alpha", "float", "Temporal decay factor.", &alpha_property},
};

constexpr std::array kOwnMethods = {
    method<&record_method<true, Shape::None>>("update", kInstance, Borrow::Exclusive, "None",
        "Ingest a record without returning its anomaly score."),
    method<&record_method<false, Shape::Total>>("score", kInstance, Borrow::Shared, "float",
        "Preview the anomaly score for a record without mutating detector state."),
    method<&record_method<true, Shape::Total>>("update_and_score", kInstance, Borrow::Exclusive, "float",
        "Ingest a record and return its anomaly score."),
    method<&record_method<false, Shape::Detailed>>("score_detailed", kInstance, Borrow::Shared, "DetailedScore",
        "Preview a decomposed anomaly score without mutating detector state."),
    method<&record_method<true, Shape::Detailed>>("update_and_score_detailed", kInstance, Borrow::Exclusive,
                                                  "DetailedScore",
        "Ingest a record and return a decomposed anomaly score."),
    method<&records_many<true, false>>("update_many", kInstance, Borrow::Exclusive, "None",
        "Ingest N records in order, as a loop over `update` would.\n\n`numeric` is N x numeric_dim reals, "
        "`categorical` N x categorical_dim integers (2-D arrays or sequences of sequences; an empty second axis "
        "where a dimension is 0) and `timestamps` N integers. Every record is checked before the first is ingested; "
        "a bad one raises the error of the single call, prefixed with \"row R: \"."),
    method<&records_many<false, true>>("score_many", kInstance, Borrow::Shared, "_Floats",
        "Preview the anomaly score of each of N records against the current state, as a loop over `score` "
        "would.\n\nReturns a NumPy float64 array (an array.array('d') without NumPy)."),
    method<&records_many<true, true>>("update_and_score_many", kInstance, Borrow::Exclusive, "_Floats",
        "Ingest N records in order and return their anomaly scores, as a loop over `update_and_score` "
        "would.\n\nReturns a NumPy float64 array (an array.array('d') without NumPy)."),
    method<&is_ready>("is_ready", kInstance, Borrow::Shared, "bool",
        "Whether the detector has processed at least one record."),
    method<&entries_seen>("entries_seen", kInstance, Borrow::Shared, "int", "Number of records processed so far."),
    method<&current_time>("current_time", kInstance, Borrow::Shared, "int | None",
        "Last timestamp observed by the detector."),
};

}  // namespace

constexpr auto kMethods = join(kOwnMethods, persistence_methods<MStream, &new_args>("tuple[int, int]"));

constexpr ClassSpec kMStreamClass = {
    "MStream",
    "A mixed numerical/categorical streaming anomaly detector.\n\nParameters\n----------\nnumeric_dim : int\n"
    "    Number of numerical features in each record.\ncategorical_dim : int\n    Number of categorical features in "
    "each record.\nnum_rows : int, optional\n    Number of hash rows (default 2).\nnum_buckets : int, optional\n"
    "    Number of buckets per hash row (default 1024).\nalpha : float, optional\n    Temporal decay factor in `(0, "
    "1)` (default 0.8).\nseed : int, optional\n    Random seed for deterministic hashing.",
    "detector state",
    "a detector",
    constructor<&construct>(),
    kMethods.data(),
    kMethods.size(),
    kProperties,
    std::size(kProperties),
    sizeof(Instance<MStream>),
    &text,
    &destroy_engine<MStream>,
};

const ClassSpec& mstream_class() { return kMStreamClass; }
PyTypeObject* mstream_type() { return ClassRuntime<kMStreamClass>::get(); }

}  // namespace arbolet::python
