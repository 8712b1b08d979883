// The Forest class: argument conversion and result objects around the engine.
#include <string>
#include <utility>
#include <vector>

#include "python/batch.hpp"
#include "python/blocking_io.hpp"
#include "python/classes.hpp"
#include "python/persistence_methods.hpp"
#include "python/unlocked.hpp"

namespace arbolet::python {
namespace {

using rcf::Forest;

Forest& forest(PyObject* self) { return engine_of<Forest>(self); }
rcf::Workspace& workspace(PyObject* self) { return workspace_of<Forest>(self); }

// The lengths of one point: an observation (`update`), a query (which may
// also be a whole shingle) or a whole shingle (`impute`).
enum class PointUse { Observation, Query, Shingle };
PointLengths point_length(const Forest& f, PointUse use) {
    const std::uint64_t n = f.point_store.input_dim, full = f.point_store.dim;
    if (!f.point_store.internal_shingling || use == PointUse::Shingle || n == full) return {full, 0};
    return use == PointUse::Observation ? PointLengths{n, 0} : PointLengths{n, full};
}

PyObject* float_result(Result<double>&& r) {
    if (!take(r)) return nullptr;
    return PyFloat_FromDouble(r.value());
}

PointLengths observation_lengths(PyObject* self) { return point_length(forest(self), PointUse::Observation); }
PointLengths query_lengths(PyObject* self) { return point_length(forest(self), PointUse::Query); }

bool positive_threads(std::uint64_t threads) {
    if (threads > 0) return true;
    PyErr_SetString(PyExc_ValueError, "threads must be > 0");
    return false;
}

PyObject* get_threads(PyObject* self) { return PyLong_FromUnsignedLongLong(workspace(self).threads); }

bool set_threads(PyObject* self, PyObject* value) {
    std::uint64_t threads = 0;
    if (!from_python(value, "threads", threads, self) || !positive_threads(threads)) return false;
    workspace(self).threads = threads;
    return true;
}

PyObject* get_box_min_points(PyObject* self) { return PyLong_FromUnsignedLongLong(forest(self).box_min_points()); }

bool set_box_min_points(PyObject* self, PyObject* value) {
    std::uint64_t min_points = 0;
    if (!from_python(value, "box_min_points", min_points, self)) return false;
    // Whatever stops the refit part way (MemoryError) leaves every kept box
    // right: results never depend on which boxes are kept.
    forest(self).set_box_min_points(min_points);
    return true;
}

// The settings go straight into the engine's configuration.
struct ForestArgs : rcf::RcfConfig {
    std::optional<std::uint64_t> seed;
    std::uint64_t threads;
    std::uint64_t box_min_points;
    static constexpr auto params() {
        return std::tuple{
            param("input_dim", &ForestArgs::input_dim, "SupportsIndex"),
            param("shingle_size", &ForestArgs::shingle_size, "SupportsIndex", "1"),
            param("num_trees", &ForestArgs::num_trees, "SupportsIndex", "50"),
            param("capacity", &ForestArgs::capacity, "SupportsIndex", "256"),
            param("time_decay", &ForestArgs::time_decay, "_Real", "0.0"),
            param("output_after", &ForestArgs::output_after, "SupportsIndex", "0"),
            param("internal_shingling", &ForestArgs::internal_shingling, "bool", "True"),
            param("seed", &ForestArgs::seed, "SupportsIndex | None", "None"),
            param("threads", &ForestArgs::threads, "SupportsIndex", "1"),
            param("box_min_points", &ForestArgs::box_min_points, "SupportsIndex", "2"),
        };
    }
};

PyObject* construct(PyTypeObject* cls, const ForestArgs& a) {
    if (!positive_threads(a.threads)) return nullptr;
    Result<Forest> built = Forest::build(a, a.seed);
    if (!take(built)) return nullptr;
    built.value().set_box_min_points(a.box_min_points);
    return wrap(cls, std::move(built).value(), rcf::Workspace(a.threads));
}

PyObject* text(PyObject* self) {
    const Forest& f = forest(self);
    const std::string s = "input_dim=" + std::to_string(f.config.input_dim) +
                          ", shingle_size=" + std::to_string(f.config.shingle_size) +
                          ", num_trees=" + std::to_string(f.config.num_trees) +
                          ", capacity=" + std::to_string(f.config.capacity) +
                          ", entries_seen=" + std::to_string(f.entries_seen);
    return repr_of(self, s);
}

struct ObservationArgs {
    Reals<&observation_lengths> point;
    static constexpr auto params() { return std::tuple{param("point", &ObservationArgs::point, "_RealVector")}; }
};

struct QueryArgs {
    Reals<&query_lengths> point;
    static constexpr auto params() { return std::tuple{param("point", &QueryArgs::point, "_RealVector")}; }
};

PyObject* update(PyTypeObject*, PyObject* self, const ObservationArgs& a) {
    const std::vector<float>& point = a.point.values;
    Forest& f = forest(self);
    rcf::Workspace& work = workspace(self);
    Status done = unlocked([&] { return f.update(point, work); });
    if (!take(done)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* score_and_update(PyTypeObject*, PyObject* self, const ObservationArgs& a) {
    const std::vector<float>& point = a.point.values;
    Forest& f = forest(self);
    rcf::Workspace& work = workspace(self);
    return float_result(unlocked([&] { return f.score_and_update(point, work); }));
}

template <Result<double> (Forest::*Query)(std::span<const float>, std::uint64_t) const>
PyObject* scalar_query(PyTypeObject*, PyObject* self, const QueryArgs& a) {
    const std::vector<float>& point = a.point.values;
    const Forest& f = forest(self);
    const std::uint64_t threads = workspace(self).threads;
    return float_result(unlocked([&] { return (f.*Query)(point, threads); }));
}

constexpr char kPoint[] = "point";

struct PointsArgs {
    RealRows<kPoint> points;
    static constexpr auto params() { return std::tuple{param("points", &PointsArgs::points, "_Batch")}; }
};

// A batch over `rows`: every row checked with `check` before any runs, then
// `step(forest, workspace, row)` for each row in order. Returns the results
// of rows that give one, else None.
template <bool Results, class Check, class Step>
PyObject* many(PyObject* self, const Rows<float>& rows, Check&& check, Step&& step) {
    Forest& f = forest(self);
    rcf::Workspace& work = workspace(self);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        Status ok = check(f, rows.row(r));
        if (!ok) return raise_row_error(r, ok.error());
    }
    std::vector<double> out(Results ? rows.size() : 0);
    std::optional<EngineError> failed;
    const std::ptrdiff_t done = run_rows(rows.size(), [&](std::size_t r) {
        auto result = step(f, work, rows.row(r));
        if (!result) {
            failed = result.take_error();
            return false;
        }
        if constexpr (Results) out[r] = result.value();
        return true;
    });
    return finish_rows(done, failed, Results, out);
}

Status check_query(const Forest& f, std::span<const float> p) { return f.check_query(p); }
Status check_update(const Forest& f, std::span<const float> p) { return f.check_observation(p); }

// Queries run under a shared borrow and only read the workspace's setting.
template <Result<double> (Forest::*Query)(std::span<const float>, std::uint64_t) const>
PyObject* query_many(PyTypeObject*, PyObject* self, const PointsArgs& a) {
    return many<true>(self, a.points.rows, &check_query,
                      [](const Forest& f, const rcf::Workspace& w, std::span<const float> p) {
                          return (f.*Query)(p, w.threads);
                      });
}

PyObject* update_many(PyTypeObject*, PyObject* self, const PointsArgs& a) {
    return many<false>(self, a.points.rows, &check_update,
                       [](Forest& f, rcf::Workspace& w, std::span<const float> p) { return f.update(p, w); });
}

PyObject* score_and_update_many(PyTypeObject*, PyObject* self, const PointsArgs& a) {
    return many<true>(self, a.points.rows, &check_update, [](Forest& f, rcf::Workspace& w, std::span<const float> p) {
        return f.score_and_update(p, w);
    });
}

PyObject* attribution(PyTypeObject*, PyObject* self, const QueryArgs& a) {
    const std::vector<float>& point = a.point.values;
    const Forest& f = forest(self);
    auto pairs = unlocked([&] { return f.attribution(point); });
    if (!take(pairs)) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(pairs.value().size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const rcf::AttributionPair& p : pairs.value()) {
        PyObject* d = Py_BuildValue("{OdOd}", key("below"), p.below, key("above"), p.above);
        if (d == nullptr) return nullptr;
        PyList_SetItem(list.get(), i++, d);
    }
    return list.release();
}

struct NearNeighborsArgs {
    Reals<&query_lengths> point;
    std::uint64_t top_k, percentile;
    static constexpr auto params() {
        return std::tuple{param("point", &NearNeighborsArgs::point, "_RealVector"),
                          param("top_k", &NearNeighborsArgs::top_k, "SupportsIndex", "10"),
                          param("percentile", &NearNeighborsArgs::percentile, "SupportsIndex", "50")};
    }
};

PyObject* near_neighbors(PyTypeObject*, PyObject* self, const NearNeighborsArgs& a) {
    const std::vector<float>& point = a.point.values;
    const std::uint64_t top_k = a.top_k, percentile = a.percentile;
    const Forest& f = forest(self);
    auto found = unlocked([&] { return f.near_neighbors(point, top_k, percentile); });
    if (!take(found)) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(found.value().size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const rcf::Neighbor& n : found.value()) {
        Ref values(float_list(n.point.data(), n.point.size()));
        if (!values) return nullptr;
        PyObject* d = Py_BuildValue("{OdOOOd}", key("score"), n.score, key("point"), values.get(), key("distance"),
                                    n.distance);
        if (d == nullptr) return nullptr;
        PyList_SetItem(list.get(), i++, d);
    }
    return list.release();
}

struct ImputeArgs {
    Reals<&query_lengths> point;
    Indices missing;
    double centrality;
    static constexpr auto params() {
        return std::tuple{param("point", &ImputeArgs::point, "_RealVector"),
                          param("missing", &ImputeArgs::missing, "_IndexVector"),
                          param("centrality", &ImputeArgs::centrality, "_Real", "1.0")};
    }
};

PyObject* impute(PyTypeObject*, PyObject* self, const ImputeArgs& a) {
    const std::vector<float>& point = a.point.values;
    const std::vector<std::uint64_t>& missing = a.missing.values;
    const double centrality = a.centrality;
    const Forest& f = forest(self);
    auto values = unlocked([&] { return f.impute(point, missing, centrality); });
    if (!take(values)) return nullptr;
    return float_list(values.value().data(), values.value().size());
}

struct ExtrapolateArgs {
    std::uint64_t look_ahead;
    static constexpr auto params() {
        return std::tuple{param("look_ahead", &ExtrapolateArgs::look_ahead, "SupportsIndex")};
    }
};

PyObject* extrapolate(PyTypeObject*, PyObject* self, const ExtrapolateArgs& a) {
    const std::uint64_t look_ahead = a.look_ahead;
    const Forest& f = forest(self);
    const StopCheckScope ctrl_c(&python_signal_raised);
    auto values = unlocked([&] { return f.extrapolate(look_ahead); });
    if (!take(values)) return nullptr;
    return float_list(values.value().data(), values.value().size());
}

PyObject* is_ready(PyTypeObject*, PyObject* self, const NoArgs&) { return PyBool_FromLong(forest(self).is_ready()); }
PyObject* entries_seen(PyTypeObject*, PyObject* self, const NoArgs&) {
    return PyLong_FromUnsignedLongLong(forest(self).entries_seen);
}
PyObject* num_trees(PyTypeObject*, PyObject* self, const NoArgs&) {
    return PyLong_FromUnsignedLongLong(forest(self).num_trees());
}
PyObject* new_args(PyTypeObject*, PyObject* self, const NoArgs&) {
    return Py_BuildValue("(K)", static_cast<unsigned long long>(forest(self).config.input_dim));
}

template <std::uint64_t rcf::RcfConfig::*Field>
PyObject* count_property(PyObject* self) {
    return PyLong_FromUnsignedLongLong(forest(self).config.*Field);
}
PyObject* time_decay_property(PyObject* self) { return PyFloat_FromDouble(forest(self).config.effective_decay()); }
PyObject* output_after_property(PyObject* self) {
    return PyLong_FromUnsignedLongLong(forest(self).config.effective_output_after());
}
PyObject* internal_shingling_property(PyObject* self) {
    return PyBool_FromLong(forest(self).config.internal_shingling);
}
PyObject* dimensions_property(PyObject* self) { return PyLong_FromUnsignedLongLong(forest(self).point_store.dim); }
PyObject* updates_until_ready_property(PyObject* self) {
    return PyLong_FromUnsignedLongLong(forest(self).updates_until_ready());
}
PyObject* window_property(PyObject* self) {
    const rcf::PointStore& store = forest(self).point_store;
    if (!store.internal_shingling) return PyList_New(0);
    return float_list(store.shingle_buf.data(), store.shingle_buf.size());
}

constexpr PropertySpec kProperties[] = {
    {"input_dim", "int",
     "Number of features per observation (before shingling).",
     &count_property<&rcf::RcfConfig::input_dim>},
    {"shingle_size", "int",
     "Number of consecutive observations in one point.",
     &count_property<&rcf::RcfConfig::shingle_size>},
    {"capacity", "int", "Maximum samples per tree.", &count_property<&rcf::RcfConfig::capacity>},
    {"time_decay", "float",
     "Exponential decay for sample weights in effect (0.1 / capacity when built with 0).",
     &time_decay_property},
    {"output_after", "int",
     "Observations before `is_ready()` turns true, besides the shingle's warm-up (capacity // 4 + 1 when built "
     "with 0).",
     &output_after_property},
    {"internal_shingling", "bool",
     "Whether the forest keeps the rolling shingle from one observation at a time.",
     &internal_shingling_property},
    {"dimensions", "int", "Length of a full point: input_dim * shingle_size.", &dimensions_property},
    {"updates_until_ready", "int",
     "Updates still to come before `is_ready()` turns true (0 once it has).\n\nRead before a batch call, it is "
     "the first row whose score comes from a ready forest.\n\n.. versionadded:: 0.4.0",
     &updates_until_ready_property},
    {"window", "list[float]",
     "The current window of an internally shingled forest: its last `shingle_size` observations, oldest first, as "
     "a flat list of `dimensions` values (zeros where no observation has arrived yet; empty without internal "
     "shingling).\n\n.. versionadded:: 0.4.0",
     &window_property},
    {"threads", "int",
     "Threads that one call may spread the trees over, the calling one included (default 1; settable).\n\nEvery "
     "count gives bit-identical results and states. Not saved with the state: copies keep it, loaded forests "
     "start with 1.",
     &get_threads, &set_threads, "SupportsIndex"},
    {"box_min_points", "int",
     "Nodes holding fewer points than this keep no bounding box in memory (default 2: every box kept; settable).\n\nTheir boxes "
     "are rebuilt from the points under them when a walk needs one: a smaller forest for a little more time per "
     "call, every result, state and document bit-identical whatever the value. 2 or less keeps every box (the most "
     "memory, the fastest, the default); a value above `capacity` keeps only boxes that cannot be rebuilt bit for bit (the "
     "least memory). Not saved with the state: copies keep it, loaded and unpickled forests start with 2.\n\n"
     ".. versionadded:: 0.4.0",
     &get_box_min_points, &set_box_min_points, "SupportsIndex"},
};

constexpr std::array kOwnMethods = {
    method<&update>("update", kInstance, Borrow::Exclusive, "None", "Update the forest with a new observation."),
    method<&scalar_query<&Forest::score>>("score", kInstance, Borrow::Shared, "float",
        "Anomaly score for `point`.  Answers once the trees hold a point; `is_ready()` tells when scores are "
        "meaningful."),
    method<&score_and_update>("score_and_update", kInstance, Borrow::Exclusive, "float",
        "Score the observation `point` in the window it will be stored in, then update the forest with "
        "it.\n\nReturns the score that `score` gives for the full shingle that `update(point)` inserts."),
    method<&scalar_query<&Forest::displacement_score>>("displacement_score", kInstance, Borrow::Shared, "float",
        "Displacement-based anomaly score for `point`."),
    method<&attribution>("attribution", kInstance, Borrow::Shared, "list[Attribution]",
        "Per-dimension attribution of the anomaly score.\n\nReturns a list of dict objects with keys: `below`, "
        "`above`.\n`above` captures contribution from cuts above the query value;\n`below` captures contribution "
        "from cuts below the query value."),
    method<&scalar_query<&Forest::density>>("density", kInstance, Borrow::Shared, "float",
        "Density estimate at `point` (higher means more typical)."),
    method<&near_neighbors>("near_neighbors", kInstance, Borrow::Shared, "list[Neighbor]",
        "Find approximate near-neighbours of `point`.\n\nReturns a list of dict objects with keys: `score`, `point`, "
        "`distance`."),
    method<&impute>("impute", kInstance, Borrow::Shared, "list[float]",
        "Impute the missing dimensions of `point`.\n\n.. versionchanged:: 0.4.0\n    One observation is "
        "accepted.\n\nParameters\n----------\npoint : list[float]\n    A full point, or (internally shingled) one "
        "observation of `input_dim` values, which stands for the current window with its newest observation "
        "replaced, as in `score`. Values at the missing indices are ignored.\nmissing : list[int]\n    Indices of "
        "dimensions to impute, into `point`.\ncentrality : float, optional\n    1.0 = always pick the nearest "
        "candidate (deterministic).\n\nReturns\n-------\nlist[float]\n    `point` with its missing values filled, as "
        "long as `point`."),
    method<&extrapolate>("extrapolate", kInstance, Borrow::Shared, "list[float]",
        "Predict the next `look_ahead` base observations.\n\nRequires `internal_shingling = True` and `shingle_size "
        "> 1`.\nReturns a flat list of length `look_ahead * input_dim`."),
    method<&update_many>("update_many", kInstance, Borrow::Exclusive, "None",
        "Update the forest with every row of `points` in order, as a loop over `update` would.\n\n`points` is a 2-D "
        "array (NumPy float64/float32 in any layout, or a sequence of sequences). Every row is checked before the "
        "first is applied; a bad row raises the error `update` would, prefixed with \"row R: \"."),
    method<&query_many<&Forest::score>>("score_many", kInstance, Borrow::Shared, "_Floats",
        "Anomaly score of every row of `points`, as a loop over `score` would give.\n\nReturns a NumPy float64 array "
        "(an array.array('d') without NumPy)."),
    method<&score_and_update_many>("score_and_update_many", kInstance, Borrow::Exclusive, "_Floats",
        "`score_and_update` for every row of `points` in order.\n\nReturns a NumPy float64 array (an "
        "array.array('d') without NumPy). Every row is checked before the first is applied. The rows before "
        "`updates_until_ready`, read before the call, are scored by a forest that is not ready yet."),
    method<&query_many<&Forest::displacement_score>>("displacement_score_many", kInstance, Borrow::Shared, "_Floats",
        "Displacement-based anomaly score of every row of `points`."),
    method<&query_many<&Forest::density>>("density_many", kInstance, Borrow::Shared, "_Floats",
        "Density estimate at every row of `points`."),
    method<&is_ready>("is_ready", kInstance, Borrow::Shared, "bool",
        "Whether the forest has seen enough observations for its scores to be meaningful."),
    method<&entries_seen>("entries_seen", kInstance, Borrow::Shared, "int", "Number of observations processed so far."),
    method<&num_trees>("num_trees", kInstance, Borrow::Shared, "int", "Number of trees."),
};

}  // namespace

constexpr auto kMethods = join(kOwnMethods, persistence_methods<Forest, &new_args>("tuple[int]"));

constexpr ClassSpec kForestClass = {
    "Forest",
    "A Random Cut Forest anomaly detector.\n\nParameters\n----------\n"
    "input_dim : int\n    Number of features per observation (before shingling).\nshingle_size : int, optional\n"
    "    Temporal window size (default 1, no shingling).\nnum_trees : int, optional\n    Number of trees in the "
    "ensemble (default 50).\ncapacity : int, optional\n    Maximum samples per tree (default 256).\ntime_decay : "
    "float, optional\n    Exponential decay for sample weights (default 0 = auto).\noutput_after : int, optional\n"
    "    Updates before `is_ready()` turns true, besides the shingle's `shingle_size - 1` (default 0:\n"
    "    capacity // 4 + 1, so a default forest is ready after 66 updates).\ninternal_shingling : bool, optional\n"
    "    When True, pass one base observation at a time and the forest\n    maintains the rolling shingle buffer "
    "(default True).\nseed : int, optional\n    Random seed for deterministic forests.\nthreads : int, optional\n"
    "    Threads that one call may spread the trees over (default 1); see the `threads` property.\n"
    "box_min_points : int, optional\n    Nodes holding fewer points keep no bounding box in memory and rebuild it "
    "when\n    needed (default 2: every box kept): memory for time, results unchanged; see the `box_min_points`\n    property.\n\n"
    "    .. versionadded:: 0.4.0",
    "forest state",
    "a forest",
    constructor<&construct>(),
    kMethods.data(),
    kMethods.size(),
    kProperties,
    std::size(kProperties),
    sizeof(Instance<Forest>),
    &text,
    &destroy_engine<Forest>,
};

const ClassSpec& forest_class() { return kForestClass; }
PyTypeObject* forest_type() { return ClassRuntime<kForestClass>::get(); }

}  // namespace arbolet::python
