// The Monitor class: one metric stream in, a grade and an alarm per step out.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "monitor/monitor.hpp"
#include "persist/monitor_document.hpp"
#include "python/batch.hpp"
#include "python/classes.hpp"
#include "python/persistence_methods.hpp"
#include "python/unlocked.hpp"

namespace arbolet::python {
namespace {

using monitor::Monitor;
using monitor::MonitorConfig;

Monitor& monitor_of(PyObject* self) { return engine_of<Monitor>(self); }

bool to_direction(PyObject* o, monitor::Direction& out) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(o, &n);
        if (text == nullptr) return false;
        if (persist::direction_from_name(std::string_view(text, static_cast<std::size_t>(n)), out)) return true;
    }
    PyErr_SetString(PyExc_ValueError, "direction must be 'both', 'up' or 'down'");
    return false;
}

bool to_optional_timestamp(PyObject* o, std::optional<std::uint64_t>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t t = 0;
    if (!to_count(o, "timestamp", t)) return false;
    out = t;
    return true;
}

// One observation: a number when the monitor watches one value, else a
// sequence of input_dim numbers.
bool to_observation(PyObject* o, const Monitor& m, std::vector<float>& out) {
    if (m.config.input_dim == 1 && (PyFloat_Check(o) || PyLong_Check(o))) {
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out.assign(1, static_cast<float>(v));
        return true;
    }
    return to_reals(o, "value", out, PointLengths{m.config.input_dim, 0});
}

PyObject* construct(PyTypeObject* cls, PyObject* const* argv) {
    MonitorConfig c;
    std::optional<std::uint64_t> seed;
    if (!to_count(argv[0], "input_dim", c.input_dim) || !to_count(argv[1], "shingle_size", c.shingle_size) ||
        !to_direction(argv[2], c.direction) || !to_optional_seed(argv[3], "seed", seed) ||
        !to_count(argv[4], "num_trees", c.num_trees) || !to_count(argv[5], "capacity", c.capacity) ||
        !to_count(argv[6], "range_window", c.range_window) || !to_real(argv[7], "range_margin", c.range_margin) ||
        !to_count(argv[8], "warm_up", c.warm_up) || !to_count(argv[9], "suppression", c.suppression) ||
        !to_real(argv[10], "quantile", c.quantile) || !to_count(argv[11], "peak_window", c.peak_window) ||
        !to_real(argv[12], "min_grade", c.min_grade) || !to_count(argv[13], "season", c.season) ||
        !to_real(argv[14], "season_margin", c.season_margin))
        return nullptr;
    Result<Monitor> built = Monitor::build(c, seed);
    if (!take(built)) return nullptr;
    return wrap(cls, std::move(built).value());
}

PyObject* text(PyObject* self) {
    const Monitor& m = monitor_of(self);
    return repr_of(self, "input_dim=" + std::to_string(m.config.input_dim) +
                             ", shingle_size=" + std::to_string(m.config.shingle_size) + ", direction='" +
                             persist::direction_name(m.config.direction) + "', steps=" + std::to_string(m.steps));
}

PyObject* bounds(const std::vector<double>& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(values[i]);
        if (v == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

PyObject* verdict_dict(const monitor::Verdict& v) {
    Ref lower(bounds(v.lower));
    if (!lower) return nullptr;
    Ref upper(bounds(v.upper));
    if (!upper) return nullptr;
    return Py_BuildValue("{OdOdOOOOOO}", key("score"), v.score, key("grade"), v.grade, key("alarm"),
                         v.alarm ? Py_True : Py_False, key("lower"), lower.get(), key("upper"), upper.get());
}

PyObject* update(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    Monitor& m = monitor_of(self);
    std::vector<float> point;
    std::optional<std::uint64_t> timestamp;
    if (!to_observation(argv[0], m, point) || !to_optional_timestamp(argv[1], timestamp)) return nullptr;
    Result<monitor::Verdict> v = unlocked([&] { return m.update(point, timestamp); });
    if (!take(v)) return nullptr;
    return verdict_dict(v.value());
}

// The rows of a batch: a 2-D table, or for a one-value monitor also a flat
// sequence of numbers.
bool to_observation_rows(PyObject* o, const Monitor& m, Rows<float>& rows) {
    if (m.config.input_dim == 1) {
        std::vector<float> flat;
        if (to_reals(o, "values", flat)) {
            rows.count = flat.size();
            rows.width = 1;
            rows.values = std::move(flat);
            return true;
        }
        PyErr_Clear();
    }
    return to_real_rows(o, "values", "value", rows);
}

PyObject* update_many(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    Monitor& m = monitor_of(self);
    Rows<float> rows;
    if (!to_observation_rows(argv[0], m, rows)) return nullptr;
    std::vector<std::uint64_t> stamps;
    const bool timed = argv[1] != Py_None;
    if (timed && (!to_count_rows(argv[1], "timestamps", "timestamp", stamps) ||
                  !same_row_counts({rows.size(), stamps.size()}, "values and timestamps")))
        return nullptr;
    std::vector<double> scores(rows.size()), grades(rows.size());
    std::optional<EngineError> failed;
    const std::ptrdiff_t done = run_rows(rows.size(), [&](std::size_t r) {
        Result<monitor::Verdict> v = m.update(rows.row(r), timed ? std::optional(stamps[r]) : std::nullopt);
        if (!v) {
            failed = v.take_error();
            return false;
        }
        scores[r] = v.value().score;
        grades[r] = v.value().grade;
        return true;
    });
    if (done < 0) return nullptr;
    if (failed) return raise_row_error(static_cast<std::size_t>(done), *failed);
    Ref score_array(float_array(scores));
    if (!score_array) return nullptr;
    Ref grade_array(float_array(grades));
    if (!grade_array) return nullptr;
    return Py_BuildValue("{OOOO}", key("score"), score_array.get(), key("grade"), grade_array.get());
}

PyObject* is_ready(PyTypeObject*, PyObject* self, PyObject* const*) {
    return PyBool_FromLong(monitor_of(self).is_ready());
}

PyObject* no_args(PyTypeObject*, PyObject*, PyObject* const*) { return PyTuple_New(0); }

template <std::uint64_t MonitorConfig::*Field>
PyObject* count_setting(PyObject* self) {
    return PyLong_FromUnsignedLongLong(monitor_of(self).config.*Field);
}

template <double MonitorConfig::*Field>
PyObject* real_setting(PyObject* self) {
    return PyFloat_FromDouble(monitor_of(self).config.*Field);
}

PyObject* direction(PyObject* self) {
    return PyUnicode_FromString(persist::direction_name(monitor_of(self).config.direction));
}

PyObject* season_steps(PyObject* self) { return PyLong_FromUnsignedLongLong(monitor_of(self).history.season); }

PyObject* steps(PyObject* self) { return PyLong_FromUnsignedLongLong(monitor_of(self).steps); }

PyObject* steps_since_alarm(PyObject* self) {
    const Monitor& m = monitor_of(self);
    if (!m.since_alarm) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*m.since_alarm);
}

constexpr MethodSpec kMethods[] = {
    {"update", MethodKind::Instance, "update($self, value, timestamp=None)",
     "Judge one observation, then learn it.\n\nParameters\n----------\nvalue : float or sequence of float\n    "
     "The observation: a number, or input_dim numbers.\ntimestamp : int, optional\n    When given, it must not be "
     "before the last one given.\n\nReturns\n-------\nVerdict\n    ``score`` (the shingle-1 forest's raw score), "
     "``grade`` (0.0 for an ordinary step, in (0, 1] for an alarm), ``alarm`` (grade > 0) and ``lower``/``upper`` "
     "(per value, the range outside which it alarms by itself; infinite before the range is known).",
     Borrow::Exclusive, &update},
    {"update_many", MethodKind::Instance, "update_many($self, values, timestamps=None)",
     "update() for each row of `values` in order (a flat sequence when input_dim is 1): a dict of float64 arrays "
     "``score`` and ``grade``. A row that is refused raises with \"row R: \" in front; the rows before it stay "
     "learned.",
     Borrow::Exclusive, &update_many},
    {"is_ready", MethodKind::NoArgs, "is_ready($self)",
     "Whether every test has seen enough of the stream to alarm.", Borrow::Shared, &is_ready},
    {"to_json", MethodKind::NoArgs, "to_json($self)", "Serialise the state to a JSON string.", Borrow::Shared,
     &to_json<Monitor>},
    {"from_json", MethodKind::Class, "from_json(json)", "Load a monitor from a JSON string.", Borrow::None,
     &from_json<Monitor>},
    {"save_json", MethodKind::Instance, "save_json($self, path)", "Serialise the state to a JSON file.",
     Borrow::Shared, &save_json<Monitor>},
    {"load_json", MethodKind::Class, "load_json(path)", "Load a monitor from a JSON file.", Borrow::None,
     &load_json<Monitor>},
    {"to_bytes", MethodKind::NoArgs, "to_bytes($self)", "Serialise the state to compact, checksummed bytes.",
     Borrow::Shared, &to_bytes<Monitor>},
    {"from_bytes", MethodKind::Class, "from_bytes(data)", "Load a monitor from bytes made by to_bytes.",
     Borrow::None, &from_bytes<Monitor>},
    {"save", MethodKind::Instance, "save($self, path)", "Serialise the state to a file in the compact form.",
     Borrow::Shared, &save<Monitor>},
    {"load", MethodKind::Class, "load(path)", "Load a monitor from a file written by save.", Borrow::None,
     &load<Monitor>},
    {"__copy__", MethodKind::NoArgs, "__copy__($self)", "", Borrow::Shared, &copy<Monitor>},
    {"__deepcopy__", MethodKind::Instance, "__deepcopy__($self, memo)", "", Borrow::Shared, &deep_copy<Monitor>},
    {"__getstate__", MethodKind::NoArgs, "__getstate__($self)", "", Borrow::Shared, &to_json<Monitor>},
    {"__setstate__", MethodKind::Instance, "__setstate__($self, state)", "", Borrow::Exclusive,
     &set_state<Monitor>},
    {"__getnewargs__", MethodKind::NoArgs, "__getnewargs__($self)", "", Borrow::Shared, &no_args},
    {"__reduce__", MethodKind::NoArgs, "__reduce__($self)", "", Borrow::Shared, &reduce_via_bytes<Monitor>},
};

constexpr PropertySpec kProperties[] = {
    {"input_dim", "Values per observation.", &count_setting<&MonitorConfig::input_dim>},
    {"shingle_size", "The second forest's window of observations (1: one forest only).",
     &count_setting<&MonitorConfig::shingle_size>},
    {"direction", "Which deviations alarm: 'both', 'up' or 'down'.", &direction},
    {"num_trees", "Trees per forest.", &count_setting<&MonitorConfig::num_trees>},
    {"capacity", "Points each tree keeps.", &count_setting<&MonitorConfig::capacity>},
    {"range_window", "Steps whose values make the ordinary range.", &count_setting<&MonitorConfig::range_window>},
    {"range_margin", "A value beyond the ordinary range by this fraction of it alarms.",
     &real_setting<&MonitorConfig::range_margin>},
    {"warm_up", "Steps before the range test may alarm (no test alarms within a first season of at most "
                "range_window steps).",
     &count_setting<&MonitorConfig::warm_up>},
    {"suppression", "Steps after an alarm that do not alarm.", &count_setting<&MonitorConfig::suppression>},
    {"quantile", "A forest's score alarms above this quantile of its ordinary scores.",
     &real_setting<&MonitorConfig::quantile>},
    {"peak_window", "A forest's alarm needs a score above those of this many steps before.",
     &count_setting<&MonitorConfig::peak_window>},
    {"min_grade", "Grades below this are not alarms.", &real_setting<&MonitorConfig::min_grade>},
    {"season", "Steps in one season as set (0: one day, from the timestamps).", &count_setting<&MonitorConfig::season>},
    {"season_margin", "A change since one season ago beyond their range by this fraction of it alarms.",
     &real_setting<&MonitorConfig::season_margin>},
    {"season_steps", "Steps in one season as used: the setting, or the one learnt from the timestamps (0 while "
                     "unknown).", &season_steps},
    {"steps", "Observations learned.", &steps},
    {"steps_since_alarm", "Steps since the last alarm (0 right after it), None before the first.",
     &steps_since_alarm},
};

}  // namespace

constexpr ClassSpec kMonitorClass = {
    "Monitor",
    "Monitor(input_dim=1, shingle_size=4, direction='both', seed=None, num_trees=50, capacity=256, "
    "range_window=3000, range_margin=0.02, warm_up=300, suppression=50, quantile=0.999, peak_window=1000, "
    "min_grade=0.0, season=0, season_margin=0.2)\n--\n\n"
    "Alarms for a metric stream: feed one observation at a time, get its grade and whether it is an alarm.\n\n"
    "Two forests judge each observation before learning it, one the value alone and one the last `shingle_size` "
    "values as a shape; a thresholder calibrates each forest's scores to the stream, so that a grade means the "
    "same on every stream; a range test alarms on a value beyond every value of the last `range_window` steps, and a seasonal test "
    "on a change since the same time one season (a day) ago beyond every such change. "
    "The grade is the largest of these; after an alarm, `suppression` steps do not alarm again.\n\n"
    "Parameters\n----------\ninput_dim : int, optional\n    Values per observation (default 1).\n"
    "shingle_size : int, optional\n    The second forest's window (default 4; 1 keeps one forest only).\n"
    "direction : {'both', 'up', 'down'}, optional\n    Which deviations may alarm (default 'both'): 'up' only "
    "values above the recent level, 'down' only values below it.\nseed : int, optional\n    Random seed for a "
    "deterministic monitor.\nnum_trees : int, optional\n    Trees per forest (default 50).\ncapacity : int, "
    "optional\n    Points each tree keeps (default 256).\nrange_window : int, optional\n    Steps whose values "
    "make the ordinary range (default 3000).\nrange_margin : float, optional\n    A value beyond that range by "
    "this fraction of it alarms (default 0.02).\nwarm_up : int, optional\n    Steps before the range "
    "test may alarm (default 300); no test alarms before one whole season once its length is known "
    "and at most range_window.\nsuppression : int, optional\n    Steps after an alarm that do not alarm (default 50).\n"
    "quantile : float, optional\n    A forest's score alarms above this quantile of its ordinary scores (default "
    "0.999).\npeak_window : int, optional\n    ... and above every score of this many steps before (default 1000).\n"
    "min_grade : float, optional\n    Grades below this are not alarms (default 0.0: every grade above 0 is); "
    "raise it for fewer false alarms and more missed events.\nseason : int, optional\n    Steps in one season "
    "for the seasonal test (default 0: one day, learnt from the gaps between the first timestamps; without "
    "timestamps there is no seasonal test).\nseason_margin : float, optional\n    A change since one season ago "
    "beyond the range of such changes by this fraction of it alarms (default 0.2).",
    kMethods,
    std::size(kMethods),
    sizeof(Instance<Monitor>),
    &construct,
    &text,
    &destroy_engine<Monitor>,
    kProperties,
    std::size(kProperties),
};

PyTypeObject* monitor_type() { return ClassRuntime<kMonitorClass>::get(); }

}  // namespace arbolet::python
