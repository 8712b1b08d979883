// The Thresholder class: from a detector's raw scores to alarms and grades.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "python/batch.hpp"
#include "python/classes.hpp"
#include "python/persistence_methods.hpp"
#include "threshold/forest_policy.hpp"

namespace arbolet::python {
namespace {

using threshold::Thresholder;
using threshold::ThresholderConfig;

Thresholder& thresholder(PyObject* self) { return engine_of<Thresholder>(self); }

// Reads the settings in signature order; a None keeps the value already in
// `c` (for_forest's defaults).
bool read_config(PyObject* const* argv, ThresholderConfig& c) {
    struct Count {
        const char* name;
        std::uint64_t* out;
    };
    struct Real {
        const char* name;
        double* out;
    };
    const Count h{"horizon", &c.horizon}, w{"warm_up", &c.warm_up}, mw{"mean_window", &c.mean_window},
        s{"suppression", &c.suppression}, p{"peak_window", &c.peak_window};
    const Real q{"quantile", &c.quantile}, g{"sigmas", &c.sigmas}, sp{"min_spread", &c.min_spread},
        ms{"min_score", &c.min_score}, mg{"margin", &c.margin};
    auto count = [](PyObject* o, const Count& f) { return o == Py_None || to_count(o, f.name, *f.out); };
    auto real = [](PyObject* o, const Real& f) { return o == Py_None || to_real(o, f.name, *f.out); };
    return count(argv[0], h) && count(argv[1], w) && real(argv[2], q) && real(argv[3], g) && count(argv[4], mw) &&
           real(argv[5], sp) && real(argv[6], ms) && count(argv[7], s) && count(argv[8], p) && real(argv[9], mg) &&
           (argv[10] == Py_None || to_flag(argv[10], "log_scores", c.log_scores));
}

PyObject* build_into(PyTypeObject* cls, const ThresholderConfig& c) {
    Result<Thresholder> built = Thresholder::build(c);
    if (!take(built)) return nullptr;
    return wrap(cls, std::move(built).value());
}

PyObject* construct(PyTypeObject* cls, PyObject* const* argv) {
    ThresholderConfig c;
    if (!read_config(argv, c)) return nullptr;
    return build_into(cls, c);
}

// Python's repr of a float: shortest round trip, always with a point or exponent.
std::string real_text(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".eni") == std::string::npos) s += ".0";
    return s;
}

PyObject* text(PyObject* self) {
    const Thresholder& t = thresholder(self);
    const ThresholderConfig& c = t.config;
    return repr_of(self, "horizon=" + std::to_string(c.horizon) + ", warm_up=" + std::to_string(c.warm_up) +
                             ", quantile=" + real_text(c.quantile) + ", sigmas=" + real_text(c.sigmas) +
                             ", mean_window=" + std::to_string(c.mean_window) +
                             ", min_spread=" + real_text(c.min_spread) + ", min_score=" + real_text(c.min_score) +
                             ", suppression=" + std::to_string(c.suppression) +
                             ", peak_window=" + std::to_string(c.peak_window) + ", margin=" + real_text(c.margin) +
                             (c.log_scores ? ", log_scores=True" : "") + ", steps=" + std::to_string(t.steps));
}

PyObject* update(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    double score = 0.0;
    if (!to_real(argv[0], "score", score)) return nullptr;
    Result<double> grade = thresholder(self).update(score);
    if (!take(grade)) return nullptr;
    return PyFloat_FromDouble(grade.value());
}

PyObject* for_forest(PyTypeObject* cls, PyObject*, PyObject* const* argv) {
    PyTypeObject* forest_cls = forest_type();
    if (forest_cls == nullptr) return nullptr;
    if (!PyObject_TypeCheck(argv[0], forest_cls)) {
        PyErr_SetString(PyExc_TypeError, "argument 'forest': expected a Forest");
        return nullptr;
    }
    ThresholderConfig c;
    std::uint64_t not_ready = 0;
    {
        BorrowGuard guard;
        if (!borrow_instance(guard, argv[0], Borrow::Shared)) return nullptr;
        const rcf::Forest& forest = engine_of<rcf::Forest>(argv[0]);
        c = threshold::config_for_forest(forest.config);
        // The scores the forest gives before it is ready (the next one
        // included): with few points in its trees they run high, and kept
        // among the ordinary scores they would lift the cut-off for a whole
        // horizon.
        not_ready = forest.updates_until_ready();
    }
    if (!read_config(argv + 1, c)) return nullptr;
    PyObject* made = build_into(cls, c);
    if (made != nullptr) thresholder(made).steps_to_skip = not_ready;
    return made;
}

PyObject* for_mstream(PyTypeObject* cls, PyObject*, PyObject* const* argv) {
    PyTypeObject* mstream_cls = mstream_type();
    if (mstream_cls == nullptr) return nullptr;
    if (!PyObject_TypeCheck(argv[0], mstream_cls)) {
        PyErr_SetString(PyExc_TypeError, "argument 'detector': expected an MStream");
        return nullptr;
    }
    ThresholderConfig c = threshold::config_for_mstream();
    if (!read_config(argv + 1, c)) return nullptr;
    return build_into(cls, c);
}

// The scores go through a copy first, so that a bad one (reported with its
// row) leaves the thresholder as it was, as the detectors' batches do.
PyObject* update_many(PyTypeObject*, PyObject* self, PyObject* const* argv) {
    std::vector<double> scores;
    if (!to_real_column(argv[0], "scores", "score", scores)) return nullptr;
    Thresholder trial = thresholder(self);
    std::vector<double> grades(scores.size());
    for (std::size_t i = 0; i < scores.size(); ++i) {
        Result<double> grade = trial.update(scores[i]);
        if (!grade) return raise_row_error(i, grade.error());
        grades[i] = grade.value();
    }
    thresholder(self) = std::move(trial);
    return float_array(grades);
}

PyObject* is_ready(PyTypeObject*, PyObject* self, PyObject* const*) {
    return PyBool_FromLong(thresholder(self).is_ready());
}

PyObject* no_args(PyTypeObject*, PyObject*, PyObject* const*) { return PyTuple_New(0); }

template <std::uint64_t ThresholderConfig::*Field>
PyObject* count_setting(PyObject* self) {
    return PyLong_FromUnsignedLongLong(thresholder(self).config.*Field);
}

template <double ThresholderConfig::*Field>
PyObject* real_setting(PyObject* self) {
    return PyFloat_FromDouble(thresholder(self).config.*Field);
}

PyObject* log_scores(PyObject* self) { return PyBool_FromLong(thresholder(self).config.log_scores); }

PyObject* threshold_of(PyObject* self) { return PyFloat_FromDouble(thresholder(self).threshold()); }

PyObject* steps_since_alarm(PyObject* self) {
    const Thresholder& t = thresholder(self);
    if (!t.alarmed) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(t.since_alarm);
}

constexpr MethodSpec kMethods[] = {
    {"update", MethodKind::Instance, "update($self, score)",
     "Judge a detector's raw score for the current step, learn it, and return the anomaly grade: 0.0 for an "
     "ordinary or suppressed step, above 0 (at most 1) for an alarm.",
     Borrow::Exclusive, &update},
    {"update_many", MethodKind::Instance, "update_many($self, scores)",
     "`update` for every score of `scores` in order; returns every step's grade.\n\n`scores` is a 1-D sequence "
     "(a NumPy array, a pandas Series, a list). A NaN or infinite score raises the error `update` would, "
     "prefixed with \"row R: \", and leaves the thresholder as it was.\n\n.. versionadded:: 0.4.0",
     Borrow::Exclusive, &update_many},
    {"for_forest", MethodKind::Class,
     "for_forest(forest, horizon=None, warm_up=None, quantile=None, sigmas=None, mean_window=None, "
     "min_spread=None, min_score=None, suppression=None, peak_window=None, margin=None, log_scores=None)",
     "A thresholder for a Forest's raw scores: suppression = its shingle_size, min_score = log2(capacity + 1) / 4, "
     "horizon = 16 * capacity, quantile = max(0.98, 1 - 0.002 * shingle_size), sigmas = 4.0, margin = min(0.1 * "
     "shingle_size, 0.7); the scores the forest gives before it is ready are passed over. Other settings given "
     "here replace these and the defaults.",
     Borrow::None, &for_forest},
    {"for_mstream", MethodKind::Class,
     "for_mstream(detector, horizon=None, warm_up=None, quantile=None, sigmas=None, mean_window=None, "
     "min_spread=None, min_score=None, suppression=None, peak_window=None, margin=None, log_scores=None)",
     "A thresholder for an MStream's raw scores, as update_and_score gives them: log_scores = True (their "
     "logarithm is judged), the defaults otherwise. Other settings given here replace these.",
     Borrow::None, &for_mstream},
    {"is_ready", MethodKind::NoArgs, "is_ready($self)", "Whether the warm-up is over (alarms are possible).",
     Borrow::Shared, &is_ready},
    {"to_json", MethodKind::NoArgs, "to_json($self)", "Serialise the state to a JSON string.", Borrow::Shared,
     &to_json<Thresholder>},
    {"from_json", MethodKind::Class, "from_json(json)", "Load a thresholder from a JSON string.", Borrow::None,
     &from_json<Thresholder>},
    {"save_json", MethodKind::Instance, "save_json($self, path)", "Serialise the state to a JSON file.",
     Borrow::Shared, &save_json<Thresholder>},
    {"load_json", MethodKind::Class, "load_json(path)", "Load a thresholder from a JSON file.", Borrow::None,
     &load_json<Thresholder>},
    {"to_bytes", MethodKind::NoArgs, "to_bytes($self)", "Serialise the state to compact, checksummed bytes.",
     Borrow::Shared, &to_bytes<Thresholder>},
    {"from_bytes", MethodKind::Class, "from_bytes(data)", "Load a thresholder from bytes made by to_bytes.",
     Borrow::None, &from_bytes<Thresholder>},
    {"save", MethodKind::Instance, "save($self, path)", "Serialise the state to a file in the compact form.",
     Borrow::Shared, &save<Thresholder>},
    {"load", MethodKind::Class, "load(path)", "Load a thresholder from a file written by save.", Borrow::None,
     &load<Thresholder>},
    {"__copy__", MethodKind::NoArgs, "__copy__($self)", "", Borrow::Shared, &copy<Thresholder>},
    {"__deepcopy__", MethodKind::Instance, "__deepcopy__($self, memo)", "", Borrow::Shared, &deep_copy<Thresholder>},
    {"__getstate__", MethodKind::NoArgs, "__getstate__($self)", "", Borrow::Shared, &to_json<Thresholder>},
    {"__setstate__", MethodKind::Instance, "__setstate__($self, state)", "", Borrow::Exclusive,
     &set_state<Thresholder>},
    {"__getnewargs__", MethodKind::NoArgs, "__getnewargs__($self)", "", Borrow::Shared, &no_args},
    {"__reduce__", MethodKind::NoArgs, "__reduce__($self)", "", Borrow::Shared, &reduce_via_bytes<Thresholder>},
};

constexpr PropertySpec kProperties[] = {
    {"threshold", "The raw score above which the next single score alarms (it must also exceed every score of the "
                  "last peak_window steps); inf while no score is kept.",
     &threshold_of},
    {"steps_since_alarm", "Steps processed since the last alarm (0 right after it), None before the first.",
     &steps_since_alarm},
    {"horizon", "Ordinary scores kept for the quantile; the longest memory of the mean's level and spread.",
     &count_setting<&ThresholderConfig::horizon>},
    {"warm_up", "Steps that only feed the statistics before any alarm.", &count_setting<&ThresholderConfig::warm_up>},
    {"quantile", "A single score alarms above this quantile of the kept scores.",
     &real_setting<&ThresholderConfig::quantile>},
    {"sigmas", "The recent mean alarms this many spreads above its long-run level.",
     &real_setting<&ThresholderConfig::sigmas>},
    {"mean_window", "Scores averaged for the recent mean (0: no such test).",
     &count_setting<&ThresholderConfig::mean_window>},
    {"min_spread", "Lower bound of the spreads, in score units.", &real_setting<&ThresholderConfig::min_spread>},
    {"min_score", "Single scores at or below this never alarm.", &real_setting<&ThresholderConfig::min_score>},
    {"suppression", "Steps after an alarm whose grade is 0.", &count_setting<&ThresholderConfig::suppression>},
    {"peak_window", "An alarm needs a score (or z) above every one of this many preceding steps.",
     &count_setting<&ThresholderConfig::peak_window>},
    {"margin", "A single score must exceed the quantile by this fraction of the kept scores' median.",
     &real_setting<&ThresholderConfig::margin>},
    {"log_scores", "Whether sign(s) * log(1 + |s|) is judged instead of each score s.", &log_scores},
};

}  // namespace

constexpr ClassSpec kThresholderClass = {
    "Thresholder",
    "Thresholder(horizon=3000, warm_up=100, quantile=0.995, sigmas=5.0, mean_window=50, min_spread=0.0, "
    "min_score=0.0, suppression=4, peak_window=64, margin=0.1, log_scores=False)\n--\n\n"
    "Turns a detector's raw scores into alarms and an anomaly grade in [0, 1], causally.\n\n"
    "A step alarms when it is past the warm-up, no alarm was raised in the `suppression` steps before it, and "
    "either its score exceeds `threshold` (the `quantile` of the last `horizon` ordinary scores, at least "
    "min_score, and above it by the larger of min_spread and `margin` times their median) and every score of the last "
    "peak_window steps, or the mean of the last mean_window scores lies more than `sigmas` spreads above the "
    "long-run level of such means (its z above that of the last max(mean_window, peak_window) steps, and no "
    "alarm in the last mean_window steps).\n\n"
    "Parameters\n----------\nhorizon : int, optional\n    Ordinary scores kept for the quantile, and the longest "
    "memory of the mean's level and spread (default 3000).\n"
    "warm_up : int, optional\n    Steps that only feed the statistics (default 100).\n"
    "quantile : float, optional\n    A single score alarms above this quantile of the kept scores (default "
    "0.995).\nsigmas : float, optional\n    The recent mean alarms this many spreads above its long-run level "
    "(default 5.0).\nmean_window : int, optional\n    Scores averaged for the recent mean (default 50; 0 turns "
    "that test off).\nmin_spread : float, optional\n    Lower bound of the spreads, in score units (default "
    "0.0).\nmin_score : float, optional\n    Single scores at or below this never alarm (default 0.0).\n"
    "suppression : int, optional\n    Steps after an alarm whose grade is 0 (default 4).\n"
    "peak_window : int, optional\n    An alarm needs a score (or z) above every one of this many preceding steps "
    "(default 64; 0 turns the rule off).\n"
    "margin : float, optional\n    A single score must exceed the quantile by at least this fraction of the kept "
    "scores' median (default 0.1)."
    "\nlog_scores : bool, optional\n    Judge sign(s) * log(1 + |s|) instead of each score s (default False): for "
    "scores with a long tail, such as MStream's.",
    kMethods,
    std::size(kMethods),
    sizeof(Instance<Thresholder>),
    &construct,
    &text,
    &destroy_engine<Thresholder>,
    kProperties,
    std::size(kProperties),
};

PyTypeObject* thresholder_type() { return ClassRuntime<kThresholderClass>::get(); }

}  // namespace arbolet::python
