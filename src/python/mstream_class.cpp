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

PyObject* construct(PyTypeObject* cls, PyObject* const* argv) {
    std::uint64_t numeric_dim = 0, categorical_dim = 0, num_rows = 0, num_buckets = 0;
    double alpha = 0.0;
    std::optional<std::uint64_t> seed;
    if (!to_count(argv[0], "numeric_dim", numeric_dim) || !to_count(argv[1], "categorical_dim", categorical_dim) ||
        !to_count(argv[2], "num_rows", num_rows) || !to_count(argv[3], "num_buckets", num_buckets) ||
        !to_real(argv[4], "alpha", alpha) || !to_optional_seed(argv[5], "seed", seed))
        return nullptr;
    Result<MStream> built = MStream::build(numeric_dim, categorical_dim, num_rows, num_buckets, alpha, seed);
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

struct Record {
    std::vector<float> numeric;
    std::vector<std::int64_t> categorical;
    std::uint64_t timestamp = 0;

    bool convert(PyObject* const* argv, const mstream::MStreamConfig& config) {
        return to_reals(argv[0], "numeric", numeric, {config.numeric_dim}) &&
               to_codes(argv[1], "categorical", categorical, {config.categorical_dim}) &&
               to_count(argv[2], "timestamp", timestamp);
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
PyObject* record_method(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    Record r;
    if (!r.convert(argv, detector(self).config)) return nullptr;
    MStream& m = detector(self);
    Result<MStreamScore> scored = unlocked([&] {
        return Ingest ? m.ingest(r.numeric, r.categorical, r.timestamp) : m.preview(r.numeric, r.categorical, r.timestamp);
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
template <bool Ingest, bool Results>
PyObject* records_many(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    Rows<float> numeric;
    Rows<std::int64_t> categorical;
    std::vector<std::uint64_t> timestamps;
    if (!to_real_rows(argv[0], "numeric", "numeric", numeric) ||
        !to_code_rows(argv[1], "categorical", "categorical", categorical) ||
        !to_count_rows(argv[2], "timestamps", "timestamp", timestamps) ||
        !same_row_counts({numeric.size(), categorical.size(), timestamps.size()},
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

PyObject* is_ready(PyTypeObject*, PyObject* self, PyObject* const*) { return PyBool_FromLong(detector(self).is_ready()); }
PyObject* entries_seen(PyTypeObject*, PyObject* self, PyObject* const*) {
    return PyLong_FromUnsignedLongLong(detector(self).entries_seen);
}
PyObject* current_time(PyTypeObject*, PyObject* self, PyObject* const*) {
    const auto& t = detector(self).clock.current_time;
    if (!t) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*t);
}
PyObject* new_args(PyTypeObject*, PyObject* self, PyObject* const*) {
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
    {"numeric_dim", "Number of numerical features in each record.",
     &count_property<&mstream::MStreamConfig::numeric_dim>},
    {"categorical_dim", "Number of categorical features in each record.",
     &count_property<&mstream::MStreamConfig::categorical_dim>},
    {"num_rows", "Number of hash rows.", &count_property<&mstream::MStreamConfig::num_rows>},
    {"num_buckets", "Number of buckets per hash row.", &count_property<&mstream::MStreamConfig::num_buckets>},
    {"alpha", "Temporal decay factor.", &alpha_property},
};

constexpr MethodSpec kMethods[] = {
    {"update", MethodKind::Instance, "update($self, numeric, categorical, timestamp)",
     "Ingest a record without returning its anomaly score.", Borrow::Exclusive, &record_method<true, Shape::None>},
    {"score", MethodKind::Instance, "score($self, numeric, categorical, timestamp)",
     "Preview the anomaly score for a record without mutating detector state.", Borrow::Shared,
     &record_method<false, Shape::Total>},
    {"update_and_score", MethodKind::Instance, "update_and_score($self, numeric, categorical, timestamp)",
     "Ingest a record and return its anomaly score.", Borrow::Exclusive, &record_method<true, Shape::Total>},
    {"score_detailed", MethodKind::Instance, "score_detailed($self, numeric, categorical, timestamp)",
     "Preview a decomposed anomaly score without mutating detector state.", Borrow::Shared,
     &record_method<false, Shape::Detailed>},
    {"update_and_score_detailed", MethodKind::Instance,
     "update_and_score_detailed($self, numeric, categorical, timestamp)",
     "Ingest a record and return a decomposed anomaly score.", Borrow::Exclusive,
     &record_method<true, Shape::Detailed>},
    {"update_many", MethodKind::Instance, "update_many($self, numeric, categorical, timestamps)",
     "Ingest N records in order, as a loop over `update` would.\n\n`numeric` is N x numeric_dim reals, "
     "`categorical` N x categorical_dim integers (2-D arrays or sequences of sequences; an empty second axis "
     "where a dimension is 0) and `timestamps` N integers. Every record is checked before the first is "
     "ingested; a bad one raises the error of the single call, prefixed with \"row R: \".",
     Borrow::Exclusive, &records_many<true, false>},
    {"score_many", MethodKind::Instance, "score_many($self, numeric, categorical, timestamps)",
     "Preview the anomaly score of each of N records against the current state, as a loop over `score` "
     "would.\n\nReturns a NumPy float64 array (an array.array('d') without NumPy).",
     Borrow::Shared, &records_many<false, true>},
    {"update_and_score_many", MethodKind::Instance, "update_and_score_many($self, numeric, categorical, timestamps)",
     "Ingest N records in order and return their anomaly scores, as a loop over `update_and_score` "
     "would.\n\nReturns a NumPy float64 array (an array.array('d') without NumPy).",
     Borrow::Exclusive, &records_many<true, true>},
    {"is_ready", MethodKind::NoArgs, "is_ready($self)", "Whether the detector has processed at least one record.",
     Borrow::Shared, &is_ready},
    {"entries_seen", MethodKind::NoArgs, "entries_seen($self)", "Number of records processed so far.",
     Borrow::Shared, &entries_seen},
    {"current_time", MethodKind::NoArgs, "current_time($self)", "Last timestamp observed by the detector.",
     Borrow::Shared, &current_time},
    {"to_json", MethodKind::NoArgs, "to_json($self)", "Serialise detector state to a JSON string.", Borrow::Shared,
     &to_json<MStream>},
    {"from_json", MethodKind::Class, "from_json(json)", "Load a detector from a JSON string.", Borrow::None,
     &from_json<MStream>},
    {"save_json", MethodKind::Instance, "save_json($self, path)", "Serialise detector state to a JSON file.",
     Borrow::Shared, &save_json<MStream>},
    {"load_json", MethodKind::Class, "load_json(path)", "Load a detector from a JSON file.", Borrow::None,
     &load_json<MStream>},
    {"to_bytes", MethodKind::NoArgs, "to_bytes($self)",
     "Serialise detector state to compact, checksummed bytes.", Borrow::Shared, &to_bytes<MStream>},
    {"from_bytes", MethodKind::Class, "from_bytes(data)", "Load a detector from bytes made by to_bytes.",
     Borrow::None, &from_bytes<MStream>},
    {"save", MethodKind::Instance, "save($self, path)", "Serialise detector state to a file in the compact form.",
     Borrow::Shared, &save<MStream>},
    {"load", MethodKind::Class, "load(path)", "Load a detector from a file written by save.", Borrow::None,
     &load<MStream>},
    {"__copy__", MethodKind::NoArgs, "__copy__($self)", "", Borrow::Shared, &copy<MStream>},
    {"__deepcopy__", MethodKind::Instance, "__deepcopy__($self, memo)", "", Borrow::Shared, &deep_copy<MStream>},
    {"__getstate__", MethodKind::NoArgs, "__getstate__($self)", "", Borrow::Shared, &to_json<MStream>},
    {"__setstate__", MethodKind::Instance, "__setstate__($self, state)", "", Borrow::Exclusive,
     &set_state<MStream>},
    {"__getnewargs__", MethodKind::NoArgs, "__getnewargs__($self)", "", Borrow::Shared, &new_args},
    {"__reduce__", MethodKind::NoArgs, "__reduce__($self)", "", Borrow::Shared, &reduce_via_bytes<MStream>},
};

}  // namespace

constexpr ClassSpec kMStreamClass = {
    "MStream",
    "MStream(numeric_dim, categorical_dim, num_rows=2, num_buckets=1024, alpha=0.8, seed=None)\n--\n\n"
    "A mixed numerical/categorical streaming anomaly detector.\n\nParameters\n----------\nnumeric_dim : int\n"
    "    Number of numerical features in each record.\ncategorical_dim : int\n    Number of categorical features in "
    "each record.\nnum_rows : int, optional\n    Number of hash rows (default 2).\nnum_buckets : int, optional\n"
    "    Number of buckets per hash row (default 1024).\nalpha : float, optional\n    Temporal decay factor in `(0, "
    "1)` (default 0.8).\nseed : int, optional\n    Random seed for deterministic hashing.",
    kMethods,
    std::size(kMethods),
    sizeof(Instance<MStream>),
    &construct,
    &text,
    &destroy_engine<MStream>,
    kProperties,
    std::size(kProperties),
};

PyTypeObject* mstream_type() { return ClassRuntime<kMStreamClass>::get(); }

}  // namespace arbolet::python
