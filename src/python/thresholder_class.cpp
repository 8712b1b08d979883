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

// The settings, each None or absent to keep the value it has (the defaults,
// or for_forest's and for_mstream's choices).
struct Settings {
    std::optional<std::uint64_t> horizon, warm_up;
    std::optional<double> quantile, sigmas;
    std::optional<std::uint64_t> mean_window;
    std::optional<double> min_spread, min_score;
    std::optional<std::uint64_t> suppression, peak_window;
    std::optional<double> margin;
    std::optional<bool> log_scores;
    std::optional<std::uint64_t> burst_window;
    std::optional<double> burst_level;

    // In the constructor each shows its default; in for_forest and
    // for_mstream, None (their choices or the defaults).
    template <bool Defaults>
    static constexpr auto settings_params() {
        auto d = [](const char* value) { return Defaults ? value : "None"; };
        return std::tuple{
            param("horizon", &Settings::horizon, "SupportsIndex | None", d("3000")),
            param("warm_up", &Settings::warm_up, "SupportsIndex | None", d("100")),
            param("quantile", &Settings::quantile, "_Real | None", d("0.995")),
            param("sigmas", &Settings::sigmas, "_Real | None", d("5.0")),
            param("mean_window", &Settings::mean_window, "SupportsIndex | None", d("50")),
            param("min_spread", &Settings::min_spread, "_Real | None", d("0.0")),
            param("min_score", &Settings::min_score, "_Real | None", d("0.0")),
            param("suppression", &Settings::suppression, "SupportsIndex | None", d("4")),
            param("peak_window", &Settings::peak_window, "SupportsIndex | None", d("64")),
            param("margin", &Settings::margin, "_Real | None", d("0.1")),
            param("log_scores", &Settings::log_scores, "bool | None", d("False")),
            param("burst_window", &Settings::burst_window, "SupportsIndex | None", d("0")),
            param("burst_level", &Settings::burst_level, "_Real | None", d("20.0")),
        };
    }
    static constexpr auto params() { return settings_params<true>(); }

    void apply(ThresholderConfig& c) const {
        auto keep = [](const auto& given, auto& setting) {
            if (given) setting = *given;
        };
        keep(horizon, c.horizon);
        keep(warm_up, c.warm_up);
        keep(quantile, c.quantile);
        keep(sigmas, c.sigmas);
        keep(mean_window, c.mean_window);
        keep(min_spread, c.min_spread);
        keep(min_score, c.min_score);
        keep(suppression, c.suppression);
        keep(peak_window, c.peak_window);
        keep(margin, c.margin);
        keep(log_scores, c.log_scores);
        keep(burst_window, c.burst_window);
        keep(burst_level, c.burst_level);
    }
};

PyObject* build_into(PyTypeObject* cls, const ThresholderConfig& c) {
    Result<Thresholder> built = Thresholder::build(c);
    if (!take(built)) return nullptr;
    return wrap(cls, std::move(built).value());
}

PyObject* construct(PyTypeObject* cls, const Settings& a) {
    ThresholderConfig c;
    a.apply(c);
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
                             (c.log_scores ? ", log_scores=True" : "") +
                             (c.burst_window > 0 ? ", burst_window=" + std::to_string(c.burst_window) +
                                                       ", burst_level=" + real_text(c.burst_level)
                                                 : "") +
                             ", steps=" + std::to_string(t.steps));
}

struct ScoreArgs {
    double score;
    static constexpr auto params() { return std::tuple{param("score", &ScoreArgs::score, "_Real")}; }
};

PyObject* update(PyTypeObject*, PyObject* self, const ScoreArgs& a) {
    Result<double> grade = thresholder(self).update(a.score);
    if (!take(grade)) return nullptr;
    return PyFloat_FromDouble(grade.value());
}

constexpr char kAForest[] = "a Forest";
constexpr char kAnMStream[] = "an MStream";

struct ForForestArgs : Settings {
    InstanceOf<&forest_type, kAForest> forest;
    static constexpr auto params() {
        return std::tuple_cat(std::tuple{param("forest", &ForForestArgs::forest, "Forest")},
                              settings_params<false>());
    }
};

PyObject* for_forest(PyTypeObject* cls, PyObject*, const ForForestArgs& a) {
    ThresholderConfig c;
    std::uint64_t not_ready = 0;
    {
        BorrowGuard guard;
        if (!borrow_instance(guard, a.forest.object, Borrow::Shared)) return nullptr;
        const rcf::Forest& forest = engine_of<rcf::Forest>(a.forest.object);
        c = threshold::config_for_forest(forest.config);
        // The scores the forest gives before it is ready (the next one
        // included): with few points in its trees they run high, and kept
        // among the ordinary scores they would lift the cut-off for a whole
        // horizon.
        not_ready = forest.updates_until_ready();
    }
    a.apply(c);
    PyObject* made = build_into(cls, c);
    if (made != nullptr) thresholder(made).steps_to_skip = not_ready;
    return made;
}

struct ForMStreamArgs : Settings {
    InstanceOf<&mstream_type, kAnMStream> detector;
    static constexpr auto params() {
        return std::tuple_cat(std::tuple{param("detector", &ForMStreamArgs::detector, "MStream")},
                              settings_params<false>());
    }
};

PyObject* for_mstream(PyTypeObject* cls, PyObject*, const ForMStreamArgs& a) {
    ThresholderConfig c = threshold::config_for_mstream();
    a.apply(c);
    return build_into(cls, c);
}

constexpr char kScore[] = "score";

struct ScoresArgs {
    RealColumn<kScore> scores;
    static constexpr auto params() { return std::tuple{param("scores", &ScoresArgs::scores, "_Column")}; }
};

// The scores go through a copy first, so that a bad one (reported with its
// row) leaves the thresholder as it was, as the detectors' batches do.
PyObject* update_many(PyTypeObject*, PyObject* self, const ScoresArgs& a) {
    const std::vector<double>& scores = a.scores.values;
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

PyObject* is_ready(PyTypeObject*, PyObject* self, const NoArgs&) {
    return PyBool_FromLong(thresholder(self).is_ready());
}

PyObject* no_args(PyTypeObject*, PyObject*, const NoArgs&) { return PyTuple_New(0); }

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

constexpr std::array kOwnMethods = {
    method<&update>("update", kInstance, Borrow::Exclusive, "float",
        "Judge a detector's raw score for the current step, learn it, and return the anomaly grade: 0.0 for an "
        "ordinary or suppressed step, above 0 (at most 1) for an alarm."),
    method<&update_many>("update_many", kInstance, Borrow::Exclusive, "_Floats",
        "`update` for every score of `scores` in order; returns every step's grade.\n\n`scores` is a 1-D sequence (a "
        "NumPy array, a pandas Series, a list). A NaN or infinite score raises the error `update` would, prefixed "
        "with \"row R: \", and leaves the thresholder as it was.\n\n.. versionadded:: 0.4.0"),
    method<&for_forest>("for_forest", kClass, Borrow::None, "Self",
        "A thresholder for a Forest's raw scores: suppression = its shingle_size, min_score = log2(capacity + 1) / "
        "4, horizon = 16 * capacity, quantile = max(0.98, 1 - 0.002 * shingle_size), sigmas = 4.0, margin = min(0.1 "
        "* shingle_size, 0.7); the scores the forest gives before it is ready are passed over. Other settings given "
        "here replace these and the defaults."),
    method<&for_mstream>("for_mstream", kClass, Borrow::None, "Self",
        "A thresholder for an MStream's raw scores, as update_and_score gives them: their logarithm is judged "
        "(log_scores = True), and an alarm is a burst of records, not one odd record: burst_window = 32, "
        "burst_level = 20.0 against quantile = 0.98, no single-score or mean test (min_score = 1e300, "
        "mean_window = 0), suppression = 32, warm_up = 500. Other settings given here replace these.\n\n"
        ".. versionadded:: 0.4.0"),
    method<&is_ready>("is_ready", kInstance, Borrow::Shared, "bool",
        "Whether the warm-up is over (alarms are possible)."),
};

constexpr PropertySpec kProperties[] = {
    {"threshold", "float",
     "The raw score above which the next single score alarms (it must also exceed every score of the last "
     "peak_window steps); inf while no score is kept.",
     &threshold_of},
    {"steps_since_alarm", "int | None",
     "Steps processed since the last alarm (0 right after it), None before the first.",
     &steps_since_alarm},
    {"horizon", "int",
     "Ordinary scores kept for the quantile; the longest memory of the mean's level and spread.",
     &count_setting<&ThresholderConfig::horizon>},
    {"warm_up", "int",
     "Steps that only feed the statistics before any alarm.",
     &count_setting<&ThresholderConfig::warm_up>},
    {"quantile", "float",
     "A single score alarms above this quantile of the kept scores.",
     &real_setting<&ThresholderConfig::quantile>},
    {"sigmas", "float",
     "The recent mean alarms this many spreads above its long-run level.",
     &real_setting<&ThresholderConfig::sigmas>},
    {"mean_window", "int",
     "Scores averaged for the recent mean (0: no such test).",
     &count_setting<&ThresholderConfig::mean_window>},
    {"min_spread", "float",
     "Lower bound of the spreads, in score units.",
     &real_setting<&ThresholderConfig::min_spread>},
    {"min_score", "float", "Single scores at or below this never alarm.", &real_setting<&ThresholderConfig::min_score>},
    {"suppression", "int", "Steps after an alarm whose grade is 0.", &count_setting<&ThresholderConfig::suppression>},
    {"peak_window", "int",
     "An alarm needs a score (or z) above every one of this many preceding steps.",
     &count_setting<&ThresholderConfig::peak_window>},
    {"margin", "float",
     "A single score must exceed the quantile by this fraction of the kept scores' median.",
     &real_setting<&ThresholderConfig::margin>},
    {"log_scores", "bool", "Whether sign(s) * log(1 + |s|) is judged instead of each score s.", &log_scores},
    {"burst_window", "int",
     "Scores the burst test looks back over (0: no such test).",
     &count_setting<&ThresholderConfig::burst_window>},
    {"burst_level", "float",
     "The burst test alarms when the log-likelihood ratio of the share of scores above the quantile exceeds this.",
     &real_setting<&ThresholderConfig::burst_level>},
};

}  // namespace

constexpr auto kMethods = join(kOwnMethods, persistence_methods<Thresholder, &no_args>("tuple[()]"));

constexpr ClassSpec kThresholderClass = {
    "Thresholder",
    "Turns a detector's raw scores into alarms and an anomaly grade in [0, 1], causally.\n\n"
    "A step alarms when it is past the warm-up, no alarm was raised in the `suppression` steps before it, and "
    "either its score exceeds `threshold` (the `quantile` of the last `horizon` ordinary scores, at least "
    "min_score, and above it by the larger of min_spread and `margin` times their median) and every score of the last "
    "peak_window steps, or the mean of the last mean_window scores lies more than `sigmas` spreads above the "
    "long-run level of such means (its z above that of the last max(mean_window, peak_window) steps, and no "
    "alarm in the last mean_window steps), or, when burst_window is set, too many of the last burst_window scores "
    "lie above the quantile.\n\n"
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
    "scores with a long tail, such as MStream's.\n"
    "burst_window : int, optional\n    The burst test: of the last burst_window scores, the share above the "
    "quantile of the kept scores is compared with the 1 - quantile expected by chance, and the step alarms when "
    "the log-likelihood ratio (in nats) of that share exceeds burst_level. For detectors that score many records "
    "per event. Default 0: no such test.\n\n    .. versionadded:: 0.4.0\n"
    "burst_level : float, optional\n    See burst_window (default 20.0).",
    "the state",
    "a thresholder",
    constructor<&construct>(),
    kMethods.data(),
    kMethods.size(),
    kProperties,
    std::size(kProperties),
    sizeof(Instance<Thresholder>),
    &text,
    &destroy_engine<Thresholder>,
};

const ClassSpec& thresholder_class() { return kThresholderClass; }
PyTypeObject* thresholder_type() { return ClassRuntime<kThresholderClass>::get(); }

}  // namespace arbolet::python
