"""arbolet's detectors as River anomaly detectors (``pip install "arbolet[river]"``).

``MonitorDetector``, ``ForestDetector`` and ``MStreamDetector`` implement River's
``AnomalyDetector`` interface (``learn_one(x)``, ``score_one(x)``, higher is more anomalous), so
they fit River's pipelines, anomaly filters (``anomaly.QuantileFilter``,
``anomaly.ThresholdFilter``) and progressive evaluation. ``MonitorDetector`` answers the Monitor's
grade, above 0 exactly for the Monitor's alarms. The first dict passed to ``learn_one`` fixes the
features; a later dict with a missing or an unknown feature raises ``ValueError`` naming it.
"""

from __future__ import annotations

import copy
import datetime
import math
import numbers
from collections.abc import Hashable, Iterable, Iterator, Mapping
from typing import Any, Literal

from river import base

from .arbolet import Forest, Monitor, MStream
from .codes import category_code

__all__ = ["ForestDetector", "MStreamDetector", "MonitorDetector"]


def _sorted_names(names: Iterable[Hashable]) -> tuple[Hashable, ...]:
    try:
        return tuple(sorted(names))  # type: ignore[type-var]
    except TypeError:  # names of mixed types
        return tuple(sorted(names, key=repr))


class _Features:
    """The feature names fixed by the first dict, and the checks every later dict must pass."""

    def __init__(self, names: Iterable[Hashable]) -> None:
        self.expected = frozenset(names)

    def check(self, x: Mapping[Hashable, Any]) -> None:
        if len(x) == len(self.expected) and all(name in self.expected for name in x):
            return
        for name in x:
            if name not in self.expected:
                raise ValueError(f"unknown feature {name!r}: {self._known()}")
        missing = next(name for name in _sorted_names(self.expected) if name not in x)
        raise ValueError(f"feature {missing!r} is missing: {self._known()}")

    def _known(self) -> str:
        names = ", ".join(map(repr, _sorted_names(self.expected)))
        return f"the first dict learned fixed the features to {names}"


def _numbers(x: Mapping[Hashable, Any], names: tuple[Hashable, ...]) -> list[float]:
    values = [x[name] for name in names]
    for name, value in zip(names, values):
        if type(value) is not float and not isinstance(value, numbers.Real):
            raise ValueError(f"feature {name!r}: {value!r} is not a number")
    return values


def _codes(x: Mapping[Hashable, Any], names: tuple[Hashable, ...]) -> list[int]:
    codes = []
    for name in names:
        value = x[name]
        if isinstance(value, str):
            codes.append(category_code(value))
        elif isinstance(value, numbers.Integral):
            codes.append(int(value))
        else:
            raise ValueError(f"feature {name!r}: {value!r} is not a category (a str or an int)")
    return codes


def _timestamp(name: Hashable, value: Any) -> int:
    if isinstance(value, datetime.datetime):
        return int(value.timestamp())
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    raise ValueError(f"feature {name!r}: {value!r} is not a timestamp (an int or a datetime)")


class ForestDetector(base.AnomalyDetector):
    """A Random Cut Forest (``arbolet.Forest``) as a River anomaly detector.

    Features are the dimensions of the forest's points, in sorted order of their names, fixed by
    the first dict learned. With ``shingle_size`` > 1 each point joins the last ``shingle_size``
    dicts, and ``score_one(x)`` scores the point that ``learn_one(x)`` would store next (the window
    shifted by one dict, ``x`` appended). ``score_one`` returns 0.0 until the forest is ready
    (``output_after`` points stored; 0 means ``capacity // 4 + 1``).

    Parameters
    ----------
    shingle_size
        Dicts joined into one point.
    num_trees
        Trees in the forest.
    capacity
        Points sampled per tree.
    time_decay
        Decay of old points in the samples; 0 means ``0.1 / capacity``.
    output_after
        Points stored before scores are given; 0 means ``capacity // 4 + 1``.
    seed
        Seed for the forest's random draws; ``None`` draws one from the operating system.
    normalize
        Divide scores by ``log2(capacity + 1)`` (capped at 1).

    Examples
    --------
    >>> from arbolet.river import ForestDetector
    >>> detector = ForestDetector(num_trees=20, capacity=64, seed=1)
    >>> for i in range(200):
    ...     detector.learn_one({"x": i % 10, "y": 2 * (i % 10)})
    >>> detector.score_one({"x": 4, "y": 8}) < detector.score_one({"x": 4, "y": 80})
    True
    """

    def __init__(
        self,
        shingle_size: int = 1,
        num_trees: int = 50,
        capacity: int = 256,
        time_decay: float = 0.0,
        output_after: int = 0,
        seed: int | None = None,
        normalize: bool = True,
    ) -> None:
        self.shingle_size = shingle_size
        self.num_trees = num_trees
        self.capacity = capacity
        self.time_decay = time_decay
        self.output_after = output_after
        self.seed = seed
        self.normalize = normalize
        self._names: tuple[Hashable, ...] = ()
        self._features: _Features | None = None
        self._forest: Forest | None = None
        self._recent: list[float] = []  # the window of a detector pickled by arbolet 0.3 (see learn_one)

    @property
    def forest(self) -> Forest | None:
        """The underlying ``arbolet.Forest`` (``None`` before the first ``learn_one``)."""
        return self._forest

    @property
    def feature_names(self) -> tuple[Hashable, ...]:
        """The features, in the order of the point's dimensions (empty before the first ``learn_one``)."""
        return self._names

    def learn_one(self, x: dict[Hashable, Any]) -> None:
        if self._forest is None:
            names = _sorted_names(x)
            forest = Forest(len(names), shingle_size=self.shingle_size, num_trees=self.num_trees,
                            capacity=self.capacity, time_decay=self.time_decay, output_after=self.output_after,
                            seed=self.seed)
            self._names, self._features, self._forest = names, _Features(names), forest
        values = self._values(x)
        if self._forest.internal_shingling:
            self._forest.update(values)
            return
        # A detector pickled by arbolet 0.3 keeps its window in Python, beside a forest of whole windows.
        window = self._recent + values
        if len(window) == self._forest.dimensions:
            self._forest.update(window)
            del window[: len(values)]
        self._recent = window

    def score_one(self, x: dict[Hashable, Any]) -> float:
        if self._forest is None:
            return 0.0
        values = self._values(x)
        # The point learn_one(x) would store: the window shifted by one dict, x appended.
        forest = self._forest
        point = (forest.window[len(values):] if forest.internal_shingling else self._recent) + values
        if len(point) < forest.dimensions or not forest.is_ready():
            return 0.0
        score = forest.score(point)
        return min(1.0, score / math.log2(self.capacity + 1)) if self.normalize else score

    def _values(self, x: Mapping[Hashable, Any]) -> list[float]:
        assert self._features is not None
        self._features.check(x)
        return _numbers(x, self._names)

    @classmethod
    def _unit_test_params(cls) -> Iterator[dict[str, Any]]:
        yield {"num_trees": 10, "capacity": 32}
        yield {"num_trees": 5, "capacity": 16, "shingle_size": 3}

    def _unit_test_skips(self) -> set[str]:
        # A dict whose features differ from the first one is refused by design.
        return {"check_emerging_features", "check_disappearing_features", "check_radically_disappearing_features"}


class MStreamDetector(base.AnomalyDetector):
    """An ``arbolet.MStream`` as a River anomaly detector.

    The first dict learned fixes the features: ``time_key`` (if given) holds the timestamp,
    ``categorical`` names the categorical features (``None``: those whose value in the first dict is
    a ``str``), and every other feature is numeric. Categories may be ints (used as codes) or strs
    (turned into codes by ``arbolet.codes.category_code``, a stable hash). Timestamps are ints or
    datetimes (whole seconds since the epoch) and must not decrease; without ``time_key`` every
    record learned advances the clock by one. ``score_one(x)`` previews the score that learning
    ``x`` gives, without changing the detector.

    Parameters
    ----------
    categorical
        Names of the categorical features; ``None`` takes those whose first value is a ``str``.
    time_key
        Name of the feature that holds the timestamp; ``None`` counts records.
    num_rows
        Independent hashes per sketch.
    num_buckets
        Hash buckets per row.
    alpha
        Share of the counts kept per time unit, in (0, 1).
    seed
        Seed for the hash functions; ``None`` draws one from the operating system.

    Examples
    --------
    >>> from arbolet.river import MStreamDetector
    >>> detector = MStreamDetector(time_key="minute", seed=1)
    >>> for minute in range(1, 30):
    ...     for user in ("ann", "bob", "cid"):
    ...         detector.learn_one({"minute": minute, "user": user, "bytes": 100.0})
    >>> usual = detector.score_one({"minute": 30, "user": "ann", "bytes": 100.0})
    >>> for _ in range(50):
    ...     detector.learn_one({"minute": 30, "user": "eve", "bytes": 100.0})
    >>> detector.score_one({"minute": 30, "user": "eve", "bytes": 100.0}) > 100 * usual
    True
    """

    def __init__(
        self,
        categorical: tuple[Hashable, ...] | None = None,
        time_key: Hashable | None = None,
        num_rows: int = 2,
        num_buckets: int = 1024,
        alpha: float = 0.8,
        seed: int | None = None,
    ) -> None:
        self.categorical = categorical
        self.time_key = time_key
        self.num_rows = num_rows
        self.num_buckets = num_buckets
        self.alpha = alpha
        self.seed = seed
        self._numeric: tuple[Hashable, ...] = ()
        self._categorical: tuple[Hashable, ...] = ()
        self._features: _Features | None = None
        self._mstream: MStream | None = None

    @property
    def mstream(self) -> MStream | None:
        """The underlying ``arbolet.MStream`` (``None`` before the first ``learn_one``)."""
        return self._mstream

    @property
    def feature_names(self) -> tuple[tuple[Hashable, ...], tuple[Hashable, ...]]:
        """The numeric and the categorical features, each in the detector's order."""
        return self._numeric, self._categorical

    def learn_one(self, x: dict[Hashable, Any]) -> None:
        if self._mstream is None:
            self._start(x)
        assert self._mstream is not None
        self._mstream.update(*self._record(x))

    def score_one(self, x: dict[Hashable, Any]) -> float:
        if self._mstream is None:
            return 0.0
        return self._mstream.score(*self._record(x))

    def _start(self, x: Mapping[Hashable, Any]) -> None:
        names = [name for name in x if name != self.time_key]
        if self.categorical is None:
            categorical = _sorted_names(name for name in names if isinstance(x[name], str))
        else:
            categorical = tuple(self.categorical)
            for name in categorical:
                if name not in x:
                    raise ValueError(f"categorical feature {name!r} is missing from the first dict")
        numeric = _sorted_names(name for name in names if name not in categorical)
        expected = [*names, self.time_key] if self.time_key is not None else names
        if self.time_key is not None and self.time_key not in x:
            raise ValueError(f"feature {self.time_key!r} (the time key) is missing")
        mstream = MStream(len(numeric), len(categorical), num_rows=self.num_rows, num_buckets=self.num_buckets,
                          alpha=self.alpha, seed=self.seed)
        self._numeric, self._categorical, self._features = numeric, categorical, _Features(expected)
        self._mstream = mstream

    def _record(self, x: Mapping[Hashable, Any]) -> tuple[list[float], list[int], int]:
        assert self._features is not None and self._mstream is not None
        self._features.check(x)
        if self.time_key is None:
            timestamp = (self._mstream.current_time() or 0) + 1
        else:
            timestamp = _timestamp(self.time_key, x[self.time_key])
        return _numbers(x, self._numeric), _codes(x, self._categorical), timestamp

    @classmethod
    def _unit_test_params(cls) -> Iterator[dict[str, Any]]:
        yield {"num_buckets": 64}
        yield {"num_buckets": 64, "categorical": ("c",), "time_key": "t"}

    def _unit_test_skips(self) -> set[str]:
        # A dict whose features differ from the first one is refused by design.
        return {"check_emerging_features", "check_disappearing_features", "check_radically_disappearing_features"}


class MonitorDetector(base.AnomalyDetector):
    """An ``arbolet.Monitor`` as a River anomaly detector: ``score_one`` answers the Monitor's grade.

    The grade (0 for an ordinary step, above 0 up to 1 for an alarm) rather than the raw score,
    because the Monitor has already judged the score against what this stream does: a grade means
    the same on every stream: a step is an alarm exactly when its grade is above 0, and a higher
    cut-off trades missed events for fewer false alarms. The raw score's scale depends on the
    stream, which would leave the choice of a cut-off to the user. The Monitor must learn every
    step, alarms included (it suppresses the repeated alarms of one event itself): call
    ``learn_one`` after every ``score_one`` rather than behind River's anomaly filters, which leave
    flagged steps unlearned.

    Features are the Monitor's dimensions, in sorted order of their names, fixed by the first dict
    learned; ``time_key`` (if given) names the feature that holds the timestamp (an int in seconds
    or a datetime), from which the Monitor learns the time of day. ``score_one(x)`` judges ``x`` as
    ``learn_one(x)`` will learn it, without changing the detector: it judges a copy of the Monitor,
    and ``learn_one`` of the same ``x`` right after takes that copy over instead of judging again.

    Parameters
    ----------
    time_key
        Name of the feature that holds the timestamp; ``None``: no timestamps.
    shingle_size, direction, num_trees, capacity, seed
        As for ``arbolet.Monitor``; ``direction`` is ``"both"``, ``"up"`` or ``"down"``.

    Examples
    --------
    >>> from arbolet.river import MonitorDetector
    >>> detector = MonitorDetector(seed=1)
    >>> for i in range(1000):
    ...     detector.learn_one({"cpu": 50.0 + i % 7})
    >>> detector.score_one({"cpu": 53.0}), detector.score_one({"cpu": 500.0}) > 0
    (0.0, True)

    .. versionadded:: 0.4.0
    """

    def __init__(
        self,
        time_key: Hashable | None = None,
        shingle_size: int = 4,
        direction: Literal["both", "up", "down"] = "both",
        num_trees: int = 50,
        capacity: int = 256,
        seed: int | None = None,
    ) -> None:
        self.time_key = time_key
        self.shingle_size = shingle_size
        self.direction = direction
        self.num_trees = num_trees
        self.capacity = capacity
        self.seed = seed
        self._names: tuple[Hashable, ...] = ()
        self._features: _Features | None = None
        self._monitor: Monitor | None = None
        # The last score_one's observation and the Monitor copy that learned it.
        self._judged: tuple[tuple[list[float], int | None], Monitor] | None = None

    @property
    def monitor(self) -> Monitor | None:
        """The underlying ``arbolet.Monitor`` (``None`` before the first ``learn_one``)."""
        return self._monitor

    @property
    def feature_names(self) -> tuple[Hashable, ...]:
        """The features, in the order of the Monitor's dimensions (empty before the first ``learn_one``)."""
        return self._names

    def learn_one(self, x: dict[Hashable, Any]) -> None:
        if self._monitor is None:
            if self.time_key is not None and self.time_key not in x:
                raise ValueError(f"feature {self.time_key!r} (the time key) is missing")
            names = _sorted_names(name for name in x if name != self.time_key)
            self._monitor = Monitor(len(names), shingle_size=self.shingle_size, direction=self.direction,
                                    num_trees=self.num_trees, capacity=self.capacity, seed=self.seed)
            expected = [*names, self.time_key] if self.time_key is not None else names
            self._names, self._features = names, _Features(expected)
        observation = self._observation(x)
        judged, self._judged = self._judged, None
        if judged is not None and judged[0] == observation:
            self._monitor = judged[1]
        else:
            self._monitor.update(*observation)

    def score_one(self, x: dict[Hashable, Any]) -> float:
        if self._monitor is None:
            return 0.0
        observation = self._observation(x)
        judge = copy.copy(self._monitor)
        grade = judge.update(*observation)["grade"]
        self._judged = (observation, judge)
        return grade

    def _observation(self, x: Mapping[Hashable, Any]) -> tuple[list[float], int | None]:
        assert self._features is not None
        self._features.check(x)
        timestamp = None if self.time_key is None else _timestamp(self.time_key, x[self.time_key])
        return _numbers(x, self._names), timestamp

    @classmethod
    def _unit_test_params(cls) -> Iterator[dict[str, Any]]:
        yield {"num_trees": 10, "capacity": 32}
        yield {"num_trees": 5, "capacity": 16, "shingle_size": 1, "direction": "up"}

    def _unit_test_skips(self) -> set[str]:
        # A dict whose features differ from the first one is refused by design.
        return {"check_emerging_features", "check_disappearing_features", "check_radically_disappearing_features"}
