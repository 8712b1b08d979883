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

bool to_threads(PyObject* o, std::uint64_t& out) {
    if (!to_count(o, "threads", out)) return false;
    if (out > 0) return true;
    PyErr_SetString(PyExc_ValueError, "threads must be > 0");
    return false;
}

PyObject* get_threads(PyObject* self) { return PyLong_FromUnsignedLongLong(workspace(self).threads); }

bool set_threads(PyObject* self, PyObject* value) {
    std::uint64_t threads = 0;
    if (!to_threads(value, threads)) return false;
    workspace(self).threads = threads;
    return true;
}

PyObject* construct(PyTypeObject* cls, PyObject* const* argv) {
    rcf::RcfConfig config;
    std::optional<std::uint64_t> seed;
    if (!to_count(argv[0], "input_dim", config.input_dim) || !to_count(argv[1], "shingle_size", config.shingle_size) ||
        !to_count(argv[2], "num_trees", config.num_trees) || !to_count(argv[3], "capacity", config.capacity) ||
        !to_real(argv[4], "time_decay", config.time_decay) || !to_count(argv[5], "output_after", config.output_after) ||
        !to_flag(argv[6], "internal_shingling", config.internal_shingling) ||
        !to_optional_seed(argv[7], "seed", seed))
        return nullptr;
    std::uint64_t threads = 1;
    if (!to_threads(argv[8], threads)) return nullptr;
    Result<Forest> built = Forest::build(config, seed);
    if (!take(built)) return nullptr;
    return wrap(cls, std::move(built).value(), rcf::Workspace(threads));
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

PyObject* update(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::vector<float> point;
    if (!to_reals(argv[0], "point", point, point_length(forest(self), PointUse::Observation))) return nullptr;
    Forest& f = forest(self);
    rcf::Workspace& work = workspace(self);
    Status done = unlocked([&] { return f.update(point, work); });
    if (!take(done)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* score_and_update(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::vector<float> point;
    if (!to_reals(argv[0], "point", point, point_length(forest(self), PointUse::Observation))) return nullptr;
    Forest& f = forest(self);
    rcf::Workspace& work = workspace(self);
    return float_result(unlocked([&] { return f.score_and_update(point, work); }));
}

template <Result<double> (Forest::*Query)(std::span<const float>, std::uint64_t) const>
PyObject* scalar_query(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::vector<float> point;
    if (!to_reals(argv[0], "point", point, point_length(forest(self), PointUse::Query))) return nullptr;
    const Forest& f = forest(self);
    const std::uint64_t threads = workspace(self).threads;
    return float_result(unlocked([&] { return (f.*Query)(point, threads); }));
}

// A batch over the rows of `argv[0]`: every row checked with `check` before
// any runs, then `step(forest, workspace, row)` for each row in order.
// Returns the results of rows that give one, else None.
template <bool Results, class Check, class Step>
PyObject* many(PyObject* self, PyObject* const* argv, Check&& check, Step&& step) {
    Rows<float> rows;
    if (!to_real_rows(argv[0], "points", "point", rows)) return nullptr;
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
PyObject* query_many(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    return many<true>(self, argv, &check_query, [](const Forest& f, const rcf::Workspace& w, std::span<const float> p) {
        return (f.*Query)(p, w.threads);
    });
}

PyObject* update_many(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    return many<false>(self, argv, &check_update,
                       [](Forest& f, rcf::Workspace& w, std::span<const float> p) { return f.update(p, w); });
}

PyObject* score_and_update_many(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    return many<true>(self, argv, &check_update, [](Forest& f, rcf::Workspace& w, std::span<const float> p) {
        return f.score_and_update(p, w);
    });
}

PyObject* attribution(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::vector<float> point;
    if (!to_reals(argv[0], "point", point, point_length(forest(self), PointUse::Query))) return nullptr;
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

PyObject* near_neighbors(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::vector<float> point;
    std::uint64_t top_k = 0, percentile = 0;
    if (!to_reals(argv[0], "point", point, point_length(forest(self), PointUse::Query)) ||
        !to_count(argv[1], "top_k", top_k) ||
        !to_count(argv[2], "percentile", percentile))
        return nullptr;
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

PyObject* impute(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::vector<float> point;
    std::vector<std::uint64_t> missing;
    double centrality = 0.0;
    if (!to_reals(argv[0], "point", point, point_length(forest(self), PointUse::Query)) ||
        !to_indices(argv[1], "missing", missing) ||
        !to_real(argv[2], "centrality", centrality))
        return nullptr;
    const Forest& f = forest(self);
    auto values = unlocked([&] { return f.impute(point, missing, centrality); });
    if (!take(values)) return nullptr;
    return float_list(values.value().data(), values.value().size());
}

PyObject* extrapolate(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::uint64_t look_ahead = 0;
    if (!to_count(argv[0], "look_ahead", look_ahead)) return nullptr;
    const Forest& f = forest(self);
    const StopCheckScope ctrl_c(&python_signal_raised);
    auto values = unlocked([&] { return f.extrapolate(look_ahead); });
    if (!take(values)) return nullptr;
    return float_list(values.value().data(), values.value().size());
}

PyObject* is_ready(PyTypeObject*, PyObject* self, PyObject* const*) { return PyBool_FromLong(forest(self).is_ready()); }
PyObject* entries_seen(PyTypeObject*, PyObject* self, PyObject* const*) {
    return PyLong_FromUnsignedLongLong(forest(self).entries_seen);
}
PyObject* num_trees(PyTypeObject*, PyObject* self, PyObject* const*) {
    return PyLong_FromUnsignedLongLong(forest(self).num_trees());
}
PyObject* new_args(PyTypeObject*, PyObject* self, PyObject* const*) {
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
    {"input_dim", "Number of features per observation (before shingling).",
     &count_property<&rcf::RcfConfig::input_dim>},
    {"shingle_size", "Number of consecutive observations in one point.",
     &count_property<&rcf::RcfConfig::shingle_size>},
    {"capacity", "Maximum samples per tree.", &count_property<&rcf::RcfConfig::capacity>},
    {"time_decay", "Exponential decay for sample weights in effect (0.1 / capacity when built with 0).",
     &time_decay_property},
    {"output_after", "Observations before `is_ready()` turns true, besides the shingle's warm-up "
                     "(capacity // 4 + 1 when built with 0).",
     &output_after_property},
    {"internal_shingling", "Whether the forest keeps the rolling shingle from one observation at a time.",
     &internal_shingling_property},
    {"dimensions", "Length of a full point: input_dim * shingle_size.", &dimensions_property},
    {"updates_until_ready",
     "Updates still to come before `is_ready()` turns true (0 once it has).\n\nRead before a batch call, it is the "
     "first row whose score comes from a ready forest.\n\n.. versionadded:: 0.4.0",
     &updates_until_ready_property},
    {"window",
     "The current window of an internally shingled forest: its last `shingle_size` observations, oldest first, "
     "as a flat list of `dimensions` values (zeros where no observation has arrived yet; empty without internal "
     "shingling).\n\n.. versionadded:: 0.4.0",
     &window_property},
    {"threads",
     "Threads that one call may spread the trees over, the calling one included (default 1; settable).\n\n"
     "Every count gives bit-identical results and states. Not saved with the state: copies keep it, loaded "
     "forests start with 1.",
     &get_threads, &set_threads},
};

constexpr MethodSpec kMethods[] = {
    {"update", MethodKind::Instance, "update($self, point)", "Update the forest with a new observation.",
     Borrow::Exclusive, &update},
    {"score", MethodKind::Instance, "score($self, point)",
     "Anomaly score for `point`.  Answers once the trees hold a point; `is_ready()` tells when scores are "
     "meaningful.", Borrow::Shared,
     &scalar_query<&Forest::score>},
    {"score_and_update", MethodKind::Instance, "score_and_update($self, point)",
     "Score the observation `point` in the window it will be stored in, then update the forest with it.\n\n"
     "Returns the score that `score` gives for the full shingle that `update(point)` inserts.",
     Borrow::Exclusive, &score_and_update},
    {"displacement_score", MethodKind::Instance, "displacement_score($self, point)",
     "Displacement-based anomaly score for `point`.", Borrow::Shared, &scalar_query<&Forest::displacement_score>},
    {"attribution", MethodKind::Instance, "attribution($self, point)",
     "Per-dimension attribution of the anomaly score.\n\nReturns a list of dict objects with keys: `below`, "
     "`above`.\n`above` captures contribution from cuts above the query value;\n`below` captures contribution from "
     "cuts below the query value.",
     Borrow::Shared, &attribution},
    {"density", MethodKind::Instance, "density($self, point)",
     "Density estimate at `point` (higher means more typical).", Borrow::Shared, &scalar_query<&Forest::density>},
    {"near_neighbors", MethodKind::Instance, "near_neighbors($self, point, top_k=10, percentile=50)",
     "Find approximate near-neighbours of `point`.\n\nReturns a list of dict objects with keys: `score`, `point`, "
     "`distance`.",
     Borrow::Shared, &near_neighbors},
    {"impute", MethodKind::Instance, "impute($self, point, missing, centrality=1.0)",
     "Impute the missing dimensions of `point`.\n\n.. versionchanged:: 0.4.0\n    One observation is accepted.\n\n"
     "Parameters\n----------\npoint : list[float]\n    "
     "A full point, or (internally shingled) one observation of `input_dim` values, which stands for the current "
     "window with its newest observation replaced, as in `score`. Values at the missing indices are ignored.\n"
     "missing : list[int]\n    Indices of dimensions to impute, into `point`.\ncentrality : float, optional\n"
     "    1.0 = always pick the nearest candidate (deterministic).\n\nReturns\n-------\nlist[float]\n    `point` "
     "with its missing values filled, as long as `point`.",
     Borrow::Shared, &impute},
    {"extrapolate", MethodKind::Instance, "extrapolate($self, look_ahead)",
     "Predict the next `look_ahead` base observations.\n\nRequires `internal_shingling = True` and `shingle_size > "
     "1`.\nReturns a flat list of length `look_ahead * input_dim`.",
     Borrow::Shared, &extrapolate},
    {"update_many", MethodKind::Instance, "update_many($self, points)",
     "Update the forest with every row of `points` in order, as a loop over `update` would.\n\n`points` is a 2-D "
     "array (NumPy float64/float32 in any layout, or a sequence of sequences). Every row is checked before the "
     "first is applied; a bad row raises the error `update` would, prefixed with \"row R: \".",
     Borrow::Exclusive, &update_many},
    {"score_many", MethodKind::Instance, "score_many($self, points)",
     "Anomaly score of every row of `points`, as a loop over `score` would give.\n\nReturns a NumPy float64 "
     "array (an array.array('d') without NumPy).",
     Borrow::Shared, &query_many<&Forest::score>},
    {"score_and_update_many", MethodKind::Instance, "score_and_update_many($self, points)",
     "`score_and_update` for every row of `points` in order.\n\nReturns a NumPy float64 array (an "
     "array.array('d') without NumPy). Every row is checked before the first is applied. The rows before "
     "`updates_until_ready`, read before the call, are scored by a forest that is not ready yet.",
     Borrow::Exclusive, &score_and_update_many},
    {"displacement_score_many", MethodKind::Instance, "displacement_score_many($self, points)",
     "Displacement-based anomaly score of every row of `points`.", Borrow::Shared,
     &query_many<&Forest::displacement_score>},
    {"density_many", MethodKind::Instance, "density_many($self, points)", "Density estimate at every row of `points`.",
     Borrow::Shared, &query_many<&Forest::density>},
    {"is_ready", MethodKind::NoArgs, "is_ready($self)",
     "Whether the forest has seen enough observations for its scores to be meaningful.", Borrow::Shared, &is_ready},
    {"entries_seen", MethodKind::NoArgs, "entries_seen($self)", "Number of observations processed so far.",
     Borrow::Shared, &entries_seen},
    {"num_trees", MethodKind::NoArgs, "num_trees($self)", "Number of trees.", Borrow::Shared, &num_trees},
    {"to_json", MethodKind::NoArgs, "to_json($self)", "Serialise forest state to a JSON string.", Borrow::Shared,
     &to_json<Forest>},
    {"from_json", MethodKind::Class, "from_json(json)", "Load a forest from a JSON string.", Borrow::None,
     &from_json<Forest>},
    {"save_json", MethodKind::Instance, "save_json($self, path)", "Serialise forest state to a JSON file.",
     Borrow::Shared, &save_json<Forest>},
    {"load_json", MethodKind::Class, "load_json(path)", "Load a forest from a JSON file.", Borrow::None,
     &load_json<Forest>},
    {"to_bytes", MethodKind::NoArgs, "to_bytes($self)",
     "Serialise forest state to compact, checksummed bytes.", Borrow::Shared, &to_bytes<Forest>},
    {"from_bytes", MethodKind::Class, "from_bytes(data)", "Load a forest from bytes made by to_bytes.",
     Borrow::None, &from_bytes<Forest>},
    {"save", MethodKind::Instance, "save($self, path)", "Serialise forest state to a file in the compact form.",
     Borrow::Shared, &save<Forest>},
    {"load", MethodKind::Class, "load(path)", "Load a forest from a file written by save.", Borrow::None,
     &load<Forest>},
    {"__copy__", MethodKind::NoArgs, "__copy__($self)", "", Borrow::Shared, &copy<Forest>},
    {"__deepcopy__", MethodKind::Instance, "__deepcopy__($self, memo)", "", Borrow::Shared, &deep_copy<Forest>},
    {"__getstate__", MethodKind::NoArgs, "__getstate__($self)", "", Borrow::Shared, &to_json<Forest>},
    {"__setstate__", MethodKind::Instance, "__setstate__($self, state)", "", Borrow::Exclusive, &set_state<Forest>},
    {"__getnewargs__", MethodKind::NoArgs, "__getnewargs__($self)", "", Borrow::Shared, &new_args},
    {"__reduce__", MethodKind::NoArgs, "__reduce__($self)", "", Borrow::Shared, &reduce_via_bytes<Forest>},
};

}  // namespace

constexpr ClassSpec kForestClass = {
    "Forest",
    "Forest(input_dim, shingle_size=1, num_trees=50, capacity=256, time_decay=0.0, output_after=0, "
    "internal_shingling=True, seed=None, threads=1)\n--\n\nA Random Cut Forest anomaly detector.\n\nParameters\n----------\n"
    "input_dim : int\n    Number of features per observation (before shingling).\nshingle_size : int, optional\n"
    "    Temporal window size (default 1, no shingling).\nnum_trees : int, optional\n    Number of trees in the "
    "ensemble (default 50).\ncapacity : int, optional\n    Maximum samples per tree (default 256).\ntime_decay : "
    "float, optional\n    Exponential decay for sample weights (default 0 = auto).\noutput_after : int, optional\n"
    "    Updates before `is_ready()` turns true, besides the shingle's `shingle_size - 1` (default 0:\n"
    "    capacity // 4 + 1, so a default forest is ready after 66 updates).\ninternal_shingling : bool, optional\n"
    "    When True, pass one base observation at a time and the forest\n    maintains the rolling shingle buffer "
    "(default True).\nseed : int, optional\n    Random seed for deterministic forests.\nthreads : int, optional\n"
    "    Threads that one call may spread the trees over (default 1); see the `threads` property.",
    kMethods,
    std::size(kMethods),
    sizeof(Instance<Forest>),
    &construct,
    &text,
    &destroy_engine<Forest>,
    kProperties,
    std::size(kProperties),
};

PyTypeObject* forest_type() { return ClassRuntime<kForestClass>::get(); }

}  // namespace arbolet::python
