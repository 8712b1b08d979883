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

// The settings go straight into the engine's configuration.
struct MonitorArgs : MonitorConfig {
    std::optional<std::uint64_t> seed;
    static constexpr auto params() {
        return std::tuple{
            param("input_dim", &MonitorArgs::input_dim, "SupportsIndex", "1"),
            param("shingle_size", &MonitorArgs::shingle_size, "SupportsIndex", "4"),
            param("direction", &MonitorArgs::direction, "Literal['both', 'up', 'down']", "'both'"),
            param("seed", &MonitorArgs::seed, "SupportsIndex | None", "None"),
            param("num_trees", &MonitorArgs::num_trees, "SupportsIndex", "50"),
            param("capacity", &MonitorArgs::capacity, "SupportsIndex", "256"),
            param("range_window", &MonitorArgs::range_window, "SupportsIndex", "3000"),
            param("range_margin", &MonitorArgs::range_margin, "_Real", "0.02"),
            param("warm_up", &MonitorArgs::warm_up, "SupportsIndex", "300"),
            param("suppression", &MonitorArgs::suppression, "SupportsIndex", "50"),
            param("quantile", &MonitorArgs::quantile, "_Real", "0.999"),
            param("peak_window", &MonitorArgs::peak_window, "SupportsIndex", "1000"),
            param("min_grade", &MonitorArgs::min_grade, "_Real", "0.0"),
            param("season", &MonitorArgs::season, "SupportsIndex", "0"),
            param("season_margin", &MonitorArgs::season_margin, "_Real", "0.2"),
        };
    }
};

PyObject* construct(PyTypeObject* cls, const MonitorArgs& a) {
    Result<Monitor> built = Monitor::build(a, a.seed);
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

PointLengths observation_lengths(PyObject* self) { return {monitor_of(self).config.input_dim, 0}; }

struct UpdateArgs {
    Observation<&observation_lengths> value;
    std::optional<std::uint64_t> timestamp;
    static constexpr auto params() {
        return std::tuple{param("value", &UpdateArgs::value, "_Real | _RealVector"),
                          param("timestamp", &UpdateArgs::timestamp, "SupportsIndex | None", "None")};
    }
};

PyObject* update(PyTypeObject*, PyObject* self, const UpdateArgs& a) {
    Monitor& m = monitor_of(self);
    const std::vector<float>& point = a.value.values;
    const std::optional<std::uint64_t>& timestamp = a.timestamp;
    Result<monitor::Verdict> v = unlocked([&] { return m.update(point, timestamp); });
    if (!take(v)) return nullptr;
    return verdict_dict(v.value());
}

constexpr char kValue[] = "value";
constexpr char kTimestamp[] = "timestamp";

struct UpdateManyArgs {
    ObservationRows<&observation_lengths, kValue> values;
    std::optional<CountColumn<kTimestamp>> timestamps;
    static constexpr auto params() {
        return std::tuple{param("values", &UpdateManyArgs::values, "_Batch | _Column"),
                          param("timestamps", &UpdateManyArgs::timestamps, "_IndexColumn | None", "None")};
    }
};

PyObject* update_many(PyTypeObject*, PyObject* self, const UpdateManyArgs& a) {
    Monitor& m = monitor_of(self);
    const Rows<float>& rows = a.values.rows;
    const bool timed = a.timestamps.has_value();
    const std::vector<std::uint64_t> no_stamps;
    const std::vector<std::uint64_t>& stamps = timed ? a.timestamps->values : no_stamps;
    if (timed && !same_row_counts({rows.size(), stamps.size()}, "values and timestamps")) return nullptr;
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

PyObject* is_ready(PyTypeObject*, PyObject* self, const NoArgs&) {
    return PyBool_FromLong(monitor_of(self).is_ready());
}

PyObject* no_args(PyTypeObject*, PyObject*, const NoArgs&) { return PyTuple_New(0); }

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

constexpr std::array kOwnMethods = {
    method<&update>("update", kInstance, Borrow::Exclusive, "Verdict",
        "Judge one observation, then learn it.\n\nParameters\n----------\nvalue : float or sequence of float\n    "
        "The observation: a number, or input_dim numbers.\ntimestamp : int, optional\n    When given, it must not be "
        "before the last one given.\n\nReturns\n-------\nVerdict\n    ``score`` (the shingle-1 forest's raw score), "
        "``grade`` (0.0 for an ordinary step, in (0, 1] for an alarm), ``alarm`` (grade > 0) and ``lower``/``upper`` "
        "(per value, the range outside which it alarms by itself; infinite before the range is known)."),
    method<&update_many>("update_many", kInstance, Borrow::Exclusive, "MonitorBatch",
        "update() for each row of `values` in order (a flat sequence when input_dim is 1): a dict of float64 arrays "
        "``score`` and ``grade``. A row that is refused raises with \"row R: \" in front; the rows before it stay "
        "learned."),
    method<&is_ready>("is_ready", kInstance, Borrow::Shared, "bool",
        "Whether every test has seen enough of the stream to alarm."),
};

constexpr PropertySpec kProperties[] = {
    {"input_dim", "int", "Values per observation.", &count_setting<&MonitorConfig::input_dim>},
    {"shingle_size", "int",
     "The second forest's window of observations (1: one forest only).",
     &count_setting<&MonitorConfig::shingle_size>},
    {"direction", "Literal['both', 'up', 'down']", "Which deviations alarm: 'both', 'up' or 'down'.", &direction},
    {"num_trees", "int", "Trees per forest.", &count_setting<&MonitorConfig::num_trees>},
    {"capacity", "int", "Points each tree keeps.", &count_setting<&MonitorConfig::capacity>},
    {"range_window", "int",
     "Steps whose values make the ordinary range.",
     &count_setting<&MonitorConfig::range_window>},
    {"range_margin", "float",
     "A value beyond the ordinary range by this fraction of it alarms.",
     &real_setting<&MonitorConfig::range_margin>},
    {"warm_up", "int",
     "Steps before the range test may alarm (no test alarms within a first season of at most range_window steps).",
     &count_setting<&MonitorConfig::warm_up>},
    {"suppression", "int", "Steps after an alarm that do not alarm.", &count_setting<&MonitorConfig::suppression>},
    {"quantile", "float",
     "A forest's score alarms above this quantile of its ordinary scores.",
     &real_setting<&MonitorConfig::quantile>},
    {"peak_window", "int",
     "A forest's alarm needs a score above those of this many steps before.",
     &count_setting<&MonitorConfig::peak_window>},
    {"min_grade", "float", "Grades below this are not alarms.", &real_setting<&MonitorConfig::min_grade>},
    {"season", "int",
     "Steps in one season as set (0: one day, from the timestamps).",
     &count_setting<&MonitorConfig::season>},
    {"season_margin", "float",
     "A change since one season ago beyond their range by this fraction of it alarms.",
     &real_setting<&MonitorConfig::season_margin>},
    {"season_steps", "int",
     "Steps in one season as used: the setting, or the one learnt from the timestamps (0 while unknown).",
     &season_steps},
    {"steps", "int", "Observations learned.", &steps},
    {"steps_since_alarm", "int | None",
     "Steps since the last alarm (0 right after it), None before the first.",
     &steps_since_alarm},
};

}  // namespace

constexpr auto kMethods = join(kOwnMethods, persistence_methods<Monitor, &no_args>("tuple[()]"));

constexpr ClassSpec kMonitorClass = {
    "Monitor",
    "Alarms for a metric stream: feed one observation at a time, get its grade and whether it is an alarm.\n\n"
    "Two forests judge each observation before learning it, one the value alone and one the last `shingle_size` "
    "values as a shape; a thresholder calibrates each forest's scores to the stream, so that a grade means the "
    "same on every stream; a range test alarms on a value beyond every value of the last `range_window` steps "
    "(times input_dim with several values) by more than its usual change from one step to the next, a seasonal test on a change since the same time one season (a day) ago "
    "beyond every such change, a flat-line test on a value that seldom repeats held for 10 steps (a stuck "
    "sensor), and, with several values, a relationship test on a value that stops following the value it is most "
    "correlated with (its residual from a line on that value beyond every earlier residual by `season_margin` of "
    "their range; direction 'both' only). "
    "The grade is the largest of these; after an alarm, `suppression` steps do not alarm again.\n\n"
    "Parameters\n----------\ninput_dim : int, optional\n    Values per observation (default 1).\n"
    "shingle_size : int, optional\n    The second forest's window (default 4; 1 keeps one forest only).\n"
    "direction : {'both', 'up', 'down'}, optional\n    Which deviations may alarm (default 'both'): 'up' only "
    "values above the recent level, 'down' only values below it.\nseed : int, optional\n    Random seed for a "
    "deterministic monitor.\nnum_trees : int, optional\n    Trees per forest (default 50).\ncapacity : int, "
    "optional\n    Points each tree keeps (default 256).\nrange_window : int, optional\n    Steps whose values "
    "make the ordinary range (default 3000); with several values per observation, each value's ranges cover "
    "input_dim times as many.\nrange_margin : float, optional\n    A value beyond that range by "
    "this fraction of it, and by more than its usual step, alarms (default 0.02).\nwarm_up : int, optional\n    Steps before the range "
    "test may alarm (default 300; times input_dim with several values, as for the seasonal and relationship "
    "tests' windows); no test alarms before one whole season once its length is known "
    "and at most range_window.\nsuppression : int, optional\n    Steps after an alarm that do not alarm (default 50).\n"
    "quantile : float, optional\n    A forest's score alarms above this quantile of its ordinary scores (default "
    "0.999).\npeak_window : int, optional\n    ... and above every score of this many steps before (default 1000), and of "
    "the last season and a quarter when a season is longer: a day's recurring peak does not alarm.\n"
    "min_grade : float, optional\n    Grades below this are not alarms (default 0.0: every grade above 0 is); "
    "raise it for fewer false alarms and more missed events.\nseason : int, optional\n    Steps in one season "
    "for the seasonal test (default 0: one day, learnt from the gaps between the first timestamps; without "
    "timestamps there is no seasonal test).\nseason_margin : float, optional\n    A change since one season ago "
    "beyond the range of such changes by this fraction of it alarms (default 0.2); so does a residual of the "
    "relationship test beyond the range of residuals.",
    "the state",
    "a monitor",
    constructor<&construct>(),
    kMethods.data(),
    kMethods.size(),
    kProperties,
    std::size(kProperties),
    sizeof(Instance<Monitor>),
    &text,
    &destroy_engine<Monitor>,
};

const ClassSpec& monitor_class() { return kMonitorClass; }
PyTypeObject* monitor_type() { return ClassRuntime<kMonitorClass>::get(); }

}  // namespace arbolet::python
