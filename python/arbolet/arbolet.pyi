"""Streaming anomaly detectors: ``Forest`` (Random Cut Forest) and ``MStream``."""

import os
from collections.abc import Iterator
from typing import Any, Literal, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, type_check_only

import numpy as np
from numpy.typing import NDArray
from typing_extensions import disjoint_base

__all__ = ["MStream", "Forest", "__version__", "Thresholder", "Monitor"]
__version__: str

class PanicException(BaseException):
    """Raised when an internal invariant of a detector is broken (a state that ordinary input cannot reach,
    such as an inconsistent loaded document). Derives from BaseException so that `except Exception`
    does not swallow it."""

class StateError(RuntimeError):
    """A saved state that cannot be read (a damaged or foreign document, file or archive), or a state file
    that cannot be read or written. A RuntimeError.

    .. versionadded:: 0.4.0
    """

class NotReadyError(RuntimeError):
    """A query that the detector cannot answer yet: it holds no points (messages NotReady, EmptyTree).
    A RuntimeError.

    .. versionadded:: 0.4.0
    """

class IndexOutOfRangeError(RuntimeError):
    """An index beyond the point or observation it refers to (message IndexOutOfBounds(i)). A RuntimeError.

    .. versionadded:: 0.4.0
    """

class DimensionError(ValueError):
    """A point or observation of the wrong length (message dimension mismatch: ...). A ValueError.

    .. versionadded:: 0.4.0
    """

# Anything that the sequence protocol accepts: lists, tuples, NumPy arrays,
# array.array, ... (a ``str`` is refused at run time).
@type_check_only
class _RealVector(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...
    def __iter__(self) -> Iterator[SupportsFloat | SupportsIndex]: ...

@type_check_only
class _IndexVector(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...
    def __iter__(self) -> Iterator[SupportsIndex]: ...

_Real = SupportsFloat | SupportsIndex
# Rows for the batch calls: a 2-D NumPy array (float64 or float32, any
# layout, or integers for codes) or any sequence of sequences.
@type_check_only
class _Rows(Protocol):
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_RealVector]: ...

@type_check_only
class _CodeRows(Protocol):
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_IndexVector]: ...

# Data frames and other array-likes, read through the array they convert to.
@type_check_only
class _ToNumpy(Protocol):
    def to_numpy(self) -> Any: ...

@type_check_only
class _HasArray(Protocol):
    def __array__(self) -> Any: ...

_Batch: TypeAlias = _Rows | _ToNumpy | _HasArray
_CodeBatch: TypeAlias = _CodeRows | _ToNumpy | _HasArray
_Column: TypeAlias = _RealVector | _ToNumpy | _HasArray
_IndexColumn: TypeAlias = _IndexVector | _ToNumpy | _HasArray

# A NumPy float64 array when NumPy is installed (else an array.array('d'),
# which type checkers without NumPy see as Any).
_Floats: TypeAlias = NDArray[np.float64]

# A JSON document as text, or its UTF-8 bytes.
_JsonText = str | bytes | bytearray | _IndexVector
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# Bytes made by ``to_bytes``, in any object with the buffer protocol.
_Binary = bytes | bytearray | memoryview

# The dict shapes below exist for type checkers only; import them under
# ``typing.TYPE_CHECKING``.

class Attribution(TypedDict):
    """One dimension's share of a ``Forest.score``."""

    below: float
    above: float

class Neighbor(TypedDict):
    """One stored point returned by ``Forest.near_neighbors``."""

    score: float
    point: list[float]
    distance: float

class Verdict(TypedDict):
    """What ``Monitor.update`` judged one observation to be."""

    score: float
    grade: float
    alarm: bool
    lower: list[float]
    upper: list[float]

class MonitorBatch(TypedDict):
    """``Monitor.update_many``'s results, one per row."""

    score: _Floats
    grade: _Floats

class DetailedScore(TypedDict):
    """An ``MStream`` score split into the record's part and each feature's part."""

    total: float
    record: float
    numeric_features: list[float]
    categorical_features: list[float]

@disjoint_base
class Forest:
    """A Random Cut Forest anomaly detector.

    Parameters
    ----------
    input_dim : int
        Number of features per observation (before shingling).
    shingle_size : int, optional
        Temporal window size (default 1, no shingling).
    num_trees : int, optional
        Number of trees in the ensemble (default 50).
    capacity : int, optional
        Maximum samples per tree (default 256).
    time_decay : float, optional
        Exponential decay for sample weights (default 0 = auto).
    output_after : int, optional
        Updates before `is_ready()` turns true, besides the shingle's `shingle_size - 1` (default 0:
        capacity // 4 + 1, so a default forest is ready after 66 updates).
    internal_shingling : bool, optional
        When True, pass one base observation at a time and the forest
        maintains the rolling shingle buffer (default True).
    seed : int, optional
        Random seed for deterministic forests.
    threads : int, optional
        Threads that one call may spread the trees over (default 1); see the `threads` property.
    """

    def __new__(
        cls,
        input_dim: SupportsIndex,
        shingle_size: SupportsIndex = 1,
        num_trees: SupportsIndex = 50,
        capacity: SupportsIndex = 256,
        time_decay: _Real = 0.0,
        output_after: SupportsIndex = 0,
        internal_shingling: bool = True,
        seed: SupportsIndex | None = None,
        threads: SupportsIndex = 1,
    ) -> Self: ...
    @property
    def threads(self) -> int:
        """Threads that one call may spread the trees over, the calling one included (default 1; settable)."""
    @threads.setter
    def threads(self, value: SupportsIndex) -> None: ...
    @property
    def input_dim(self) -> int:
        """Number of features per observation (before shingling)."""
    @property
    def shingle_size(self) -> int:
        """Number of consecutive observations in one point."""
    @property
    def capacity(self) -> int:
        """Maximum samples per tree."""
    @property
    def time_decay(self) -> float:
        """Exponential decay for sample weights in effect (0.1 / capacity when built with 0)."""
    @property
    def output_after(self) -> int:
        """Observations before `is_ready()` turns true, besides the shingle's warm-up (capacity // 4 + 1 when built with 0)."""
    @property
    def internal_shingling(self) -> bool:
        """Whether the forest keeps the rolling shingle from one observation at a time."""
    @property
    def dimensions(self) -> int:
        """Length of a full point: input_dim * shingle_size."""
    @property
    def updates_until_ready(self) -> int:
        """Updates still to come before `is_ready()` turns true (0 once it has).

        Read before a batch call, it is the first row whose score comes from a ready forest.

        .. versionadded:: 0.4.0
        """
    @property
    def window(self) -> list[float]:
        """The current window of an internally shingled forest.

        Its last `shingle_size` observations, oldest first, as a flat list of `dimensions` values
        (zeros where no observation has arrived yet; empty without internal shingling).

        .. versionadded:: 0.4.0
        """
    def update(self, point: _RealVector) -> None:
        """Update the forest with a new observation."""
    def score(self, point: _RealVector) -> float:
        """Anomaly score for `point`.  Answers once the trees hold a point; `is_ready()` tells when scores are meaningful."""
    def score_and_update(self, point: _RealVector) -> float:
        """Score the observation `point` in the window it will be stored in, then update the forest with it.

        Returns the score that `score` gives for the full shingle that `update(point)` inserts.
        """
    def displacement_score(self, point: _RealVector) -> float:
        """Displacement-based anomaly score for `point`."""
    def attribution(self, point: _RealVector) -> list[Attribution]:
        """Per-dimension attribution of the anomaly score.

        Returns a list of dict objects with keys: `below`, `above`.
        `above` captures contribution from cuts above the query value;
        `below` captures contribution from cuts below the query value.
        """
    def density(self, point: _RealVector) -> float:
        """Density estimate at `point` (higher means more typical)."""
    def near_neighbors(
        self, point: _RealVector, top_k: SupportsIndex = 10, percentile: SupportsIndex = 50
    ) -> list[Neighbor]:
        """Find approximate near-neighbours of `point`.

        Returns a list of dict objects with keys: `score`, `point`, `distance`.
        """
    def impute(self, point: _RealVector, missing: _IndexVector, centrality: _Real = 1.0) -> list[float]:
        """Impute the missing dimensions of `point`.

        .. versionchanged:: 0.4.0
            One observation is accepted.

        Parameters
        ----------
        point : list[float]
            A full point, or (internally shingled) one observation of `input_dim` values, which stands
            for the current window with its newest observation replaced, as in `score`. Values at the
            missing indices are ignored.
        missing : list[int]
            Indices of dimensions to impute, into `point`.
        centrality : float, optional
            1.0 = always pick the nearest candidate (deterministic).

        Returns
        -------
        list[float]
            `point` with its missing values filled, as long as `point`.
        """
    def extrapolate(self, look_ahead: SupportsIndex) -> list[float]:
        """Predict the next `look_ahead` base observations.

        Requires `internal_shingling = True` and `shingle_size > 1`.
        Returns a flat list of length `look_ahead * input_dim`.
        """
    def update_many(self, points: _Batch) -> None:
        """Update the forest with every row of `points` in order, as a loop over `update` would."""
    def score_many(self, points: _Batch) -> _Floats:
        """Anomaly score of every row of `points`, as a loop over `score` would give."""
    def score_and_update_many(self, points: _Batch) -> _Floats:
        """`score_and_update` for every row of `points` in order.

        The rows before `updates_until_ready`, read before the call, are scored by a forest that is not
        ready yet.
        """
    def displacement_score_many(self, points: _Batch) -> _Floats:
        """Displacement-based anomaly score of every row of `points`."""
    def density_many(self, points: _Batch) -> _Floats:
        """Density estimate at every row of `points`."""
    def is_ready(self) -> bool:
        """Whether the forest has seen enough observations for its scores to be meaningful."""
    def entries_seen(self) -> int:
        """Number of observations processed so far."""
    def num_trees(self) -> int:
        """Number of trees."""
    def to_json(self) -> str:
        """Serialise forest state to a JSON string."""
    @classmethod
    def from_json(cls, json: _JsonText) -> Self:
        """Load a forest from a JSON string."""
    def save_json(self, path: _Path) -> None:
        """Serialise forest state to a JSON file."""
    @classmethod
    def load_json(cls, path: _Path) -> Self:
        """Load a forest from a JSON file."""
    def to_bytes(self) -> bytes:
        """Serialise forest state to compact, checksummed bytes."""
    @classmethod
    def from_bytes(cls, data: _Binary) -> Self:
        """Load a forest from bytes made by to_bytes."""
    def save(self, path: _Path) -> None:
        """Serialise forest state to a file in the compact form."""
    @classmethod
    def load(cls, path: _Path) -> Self:
        """Load a forest from a file written by save."""
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object) -> Self: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: _JsonText | dict[str, object]) -> None: ...
    def __getnewargs__(self) -> tuple[int]: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]] | tuple[object, tuple[bytes], dict[str, object]]: ...

@disjoint_base
class MStream:
    """A mixed numerical/categorical streaming anomaly detector.

    Parameters
    ----------
    numeric_dim : int
        Number of numerical features in each record.
    categorical_dim : int
        Number of categorical features in each record.
    num_rows : int, optional
        Number of hash rows (default 2).
    num_buckets : int, optional
        Number of buckets per hash row (default 1024).
    alpha : float, optional
        Temporal decay factor in `(0, 1)` (default 0.8).
    seed : int, optional
        Random seed for deterministic hashing.
    """

    def __new__(
        cls,
        numeric_dim: SupportsIndex,
        categorical_dim: SupportsIndex,
        num_rows: SupportsIndex = 2,
        num_buckets: SupportsIndex = 1024,
        alpha: _Real = 0.8,
        seed: SupportsIndex | None = None,
    ) -> Self: ...
    @property
    def numeric_dim(self) -> int:
        """Number of numerical features in each record."""
    @property
    def categorical_dim(self) -> int:
        """Number of categorical features in each record."""
    @property
    def num_rows(self) -> int:
        """Number of hash rows."""
    @property
    def num_buckets(self) -> int:
        """Number of buckets per hash row."""
    @property
    def alpha(self) -> float:
        """Temporal decay factor."""
    def update(self, numeric: _RealVector, categorical: _IndexVector, timestamp: SupportsIndex) -> None:
        """Ingest a record without returning its anomaly score."""
    def score(self, numeric: _RealVector, categorical: _IndexVector, timestamp: SupportsIndex) -> float:
        """Preview the anomaly score for a record without mutating detector state."""
    def update_and_score(
        self, numeric: _RealVector, categorical: _IndexVector, timestamp: SupportsIndex
    ) -> float:
        """Ingest a record and return its anomaly score."""
    def score_detailed(
        self, numeric: _RealVector, categorical: _IndexVector, timestamp: SupportsIndex
    ) -> DetailedScore:
        """Preview a decomposed anomaly score without mutating detector state."""
    def update_and_score_detailed(
        self, numeric: _RealVector, categorical: _IndexVector, timestamp: SupportsIndex
    ) -> DetailedScore:
        """Ingest a record and return a decomposed anomaly score."""
    def update_many(self, numeric: _Batch, categorical: _CodeBatch, timestamps: _IndexColumn) -> None:
        """Ingest N records in order, as a loop over `update` would."""
    def score_many(self, numeric: _Batch, categorical: _CodeBatch, timestamps: _IndexColumn) -> _Floats:
        """Preview the anomaly score of each of N records against the current state, as a loop over `score` would."""
    def update_and_score_many(self, numeric: _Batch, categorical: _CodeBatch, timestamps: _IndexColumn) -> _Floats:
        """Ingest N records in order and return their anomaly scores, as a loop over `update_and_score` would."""
    def is_ready(self) -> bool:
        """Whether the detector has processed at least one record."""
    def entries_seen(self) -> int:
        """Number of records processed so far."""
    def current_time(self) -> int | None:
        """Last timestamp observed by the detector."""
    def to_json(self) -> str:
        """Serialise detector state to a JSON string."""
    @classmethod
    def from_json(cls, json: _JsonText) -> Self:
        """Load a detector from a JSON string."""
    def save_json(self, path: _Path) -> None:
        """Serialise detector state to a JSON file."""
    @classmethod
    def load_json(cls, path: _Path) -> Self:
        """Load a detector from a JSON file."""
    def to_bytes(self) -> bytes:
        """Serialise detector state to compact, checksummed bytes."""
    @classmethod
    def from_bytes(cls, data: _Binary) -> Self:
        """Load a detector from bytes made by to_bytes."""
    def save(self, path: _Path) -> None:
        """Serialise detector state to a file in the compact form."""
    @classmethod
    def load(cls, path: _Path) -> Self:
        """Load a detector from a file written by save."""
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object) -> Self: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: _JsonText | dict[str, object]) -> None: ...
    def __getnewargs__(self) -> tuple[int, int]: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]] | tuple[object, tuple[bytes], dict[str, object]]: ...

@disjoint_base
class Thresholder:
    """Turns a detector's raw scores into alarms and an anomaly grade in [0, 1], causally.

    A step alarms when it is past the warm-up, no alarm was raised in the `suppression` steps before it, and
    either its score exceeds `threshold` (the `quantile` of the last `horizon` ordinary scores, at least
    min_score, and above it by the larger of min_spread and `margin` times their median) and every score of
    the last peak_window steps, or the mean of the last mean_window scores lies more than `sigmas` spreads
    above the long-run level of such means (its z above that of the last max(mean_window, peak_window)
    steps, and no alarm in the last mean_window steps).

    Parameters
    ----------
    horizon : int, optional
        Ordinary scores kept for the quantile, and the longest memory of the mean's level and spread
        (default 3000).
    warm_up : int, optional
        Steps that only feed the statistics (default 100).
    quantile : float, optional
        A single score alarms above this quantile of the kept scores (default 0.995).
    sigmas : float, optional
        The recent mean alarms this many spreads above its long-run level (default 5.0).
    mean_window : int, optional
        Scores averaged for the recent mean (default 50; 0 turns that test off).
    min_spread : float, optional
        Lower bound of the spreads, in score units (default 0.0).
    min_score : float, optional
        Single scores at or below this never alarm (default 0.0).
    suppression : int, optional
        Steps after an alarm whose grade is 0 (default 4).
    peak_window : int, optional
        An alarm needs a score (or z) above every one of this many preceding steps (default 64; 0 turns the
        rule off).
    margin : float, optional
        A single score must exceed the quantile by at least this fraction of the kept scores' median
        (default 0.1).
    """

    def __new__(
        cls,
        horizon: SupportsIndex | None = 3000,
        warm_up: SupportsIndex | None = 100,
        quantile: _Real | None = 0.995,
        sigmas: _Real | None = 5.0,
        mean_window: SupportsIndex | None = 50,
        min_spread: _Real | None = 0.0,
        min_score: _Real | None = 0.0,
        suppression: SupportsIndex | None = 4,
        peak_window: SupportsIndex | None = 64,
        margin: _Real | None = 0.1,
        log_scores: bool | None = False,
    ) -> Self: ...
    @classmethod
    def for_forest(
        cls,
        forest: Forest,
        horizon: SupportsIndex | None = None,
        warm_up: SupportsIndex | None = None,
        quantile: _Real | None = None,
        sigmas: _Real | None = None,
        mean_window: SupportsIndex | None = None,
        min_spread: _Real | None = None,
        min_score: _Real | None = None,
        suppression: SupportsIndex | None = None,
        peak_window: SupportsIndex | None = None,
        margin: _Real | None = None,
        log_scores: bool | None = None,
    ) -> Self:
        """A thresholder for a Forest's raw scores.

        Suppression = its shingle_size, min_score = log2(capacity + 1) / 4, horizon = 16 * capacity, quantile = max(0.98, 1 - 0.002 * shingle_size), sigmas = 4.0,
        margin = min(0.1 * shingle_size, 0.7); the scores the forest gives before it is ready are passed
        over. Other settings given here replace these and the defaults.
        """
    @classmethod
    def for_mstream(
        cls,
        detector: MStream,
        horizon: SupportsIndex | None = None,
        warm_up: SupportsIndex | None = None,
        quantile: _Real | None = None,
        sigmas: _Real | None = None,
        mean_window: SupportsIndex | None = None,
        min_spread: _Real | None = None,
        min_score: _Real | None = None,
        suppression: SupportsIndex | None = None,
        peak_window: SupportsIndex | None = None,
        margin: _Real | None = None,
        log_scores: bool | None = None,
    ) -> Self:
        """A thresholder for an MStream's raw scores, as update_and_score gives them.

        log_scores = True (their logarithm is judged), the defaults otherwise. Other settings given here
        replace these.

        .. versionadded:: 0.4.0
        """
    def update(self, score: _Real) -> float:
        """Judge a detector's raw score for the current step, learn it, and return the anomaly grade.

        The grade is 0.0 for an ordinary or suppressed step, above 0 (at most 1) for an alarm.
        """
    def update_many(self, scores: _Column) -> _Floats:
        """`update` for every score of `scores` in order; returns every step's grade.

        `scores` is a 1-D sequence (a NumPy array, a pandas Series, a list). A NaN or infinite score
        raises the error `update` would, prefixed with "row R: ", and leaves the thresholder as it was.

        .. versionadded:: 0.4.0
        """
    def is_ready(self) -> bool:
        """Whether the warm-up is over (alarms are possible)."""
    @property
    def threshold(self) -> float:
        """The raw score above which the next single score alarms (it must also exceed every score of the last
        peak_window steps); inf while no score is kept.
        """
    @property
    def steps_since_alarm(self) -> int | None:
        """Steps processed since the last alarm (0 right after it), None before the first."""
    @property
    def horizon(self) -> int:
        """Ordinary scores kept for the quantile; the longest memory of the mean's level and spread."""
    @property
    def warm_up(self) -> int:
        """Steps that only feed the statistics before any alarm."""
    @property
    def quantile(self) -> float:
        """A single score alarms above this quantile of the kept scores."""
    @property
    def sigmas(self) -> float:
        """The recent mean alarms this many spreads above its long-run level."""
    @property
    def mean_window(self) -> int:
        """Scores averaged for the recent mean (0: no such test)."""
    @property
    def min_spread(self) -> float:
        """Lower bound of the spreads, in score units."""
    @property
    def min_score(self) -> float:
        """Single scores at or below this never alarm."""
    @property
    def suppression(self) -> int:
        """Steps after an alarm whose grade is 0."""
    @property
    def peak_window(self) -> int:
        """An alarm needs a score (or z) above every one of this many preceding steps."""
    @property
    def margin(self) -> float:
        """A single score must exceed the quantile by this fraction of the kept scores' median."""
    @property
    def log_scores(self) -> bool:
        """Whether sign(s) * log(1 + |s|) is judged instead of each score s."""
    def to_json(self) -> str: ...
    @classmethod
    def from_json(cls, json: _JsonText) -> Self: ...
    def save_json(self, path: _Path) -> None: ...
    @classmethod
    def load_json(cls, path: _Path) -> Self: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: _Binary) -> Self: ...
    def save(self, path: _Path) -> None: ...
    @classmethod
    def load(cls, path: _Path) -> Self: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object) -> Self: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: _JsonText | dict[str, object]) -> None: ...
    def __getnewargs__(self) -> tuple[()]: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]] | tuple[object, tuple[bytes], dict[str, object]]: ...

@disjoint_base
class Monitor:
    """Alarms for a metric stream: feed one observation at a time, get its grade and whether it is an alarm."""

    def __new__(
        cls,
        input_dim: SupportsIndex = 1,
        shingle_size: SupportsIndex = 4,
        direction: Literal["both", "up", "down"] = "both",
        seed: SupportsIndex | None = None,
        num_trees: SupportsIndex = 50,
        capacity: SupportsIndex = 256,
        range_window: SupportsIndex = 3000,
        range_margin: _Real = 0.02,
        warm_up: SupportsIndex = 300,
        suppression: SupportsIndex = 50,
        quantile: _Real = 0.999,
        peak_window: SupportsIndex = 1000,
        min_grade: _Real = 0.0,
        season: SupportsIndex = 0,
        season_margin: _Real = 0.2,
    ) -> Self: ...
    def update(self, value: _Real | _RealVector, timestamp: SupportsIndex | None = None) -> Verdict:
        """Judge one observation, then learn it."""
    def update_many(self, values: _Batch | _Column, timestamps: _IndexColumn | None = None) -> MonitorBatch:
        """update() for each row of `values` in order."""
    def is_ready(self) -> bool:
        """Whether every test has seen enough of the stream to alarm."""
    @property
    def input_dim(self) -> int: ...
    @property
    def shingle_size(self) -> int: ...
    @property
    def direction(self) -> Literal["both", "up", "down"]: ...
    @property
    def num_trees(self) -> int: ...
    @property
    def capacity(self) -> int: ...
    @property
    def range_window(self) -> int: ...
    @property
    def range_margin(self) -> float: ...
    @property
    def warm_up(self) -> int: ...
    @property
    def suppression(self) -> int: ...
    @property
    def quantile(self) -> float: ...
    @property
    def peak_window(self) -> int: ...
    @property
    def min_grade(self) -> float: ...
    @property
    def season(self) -> int: ...
    @property
    def season_margin(self) -> float: ...
    @property
    def season_steps(self) -> int: ...
    @property
    def steps(self) -> int: ...
    @property
    def steps_since_alarm(self) -> int | None: ...
    def to_json(self) -> str: ...
    @classmethod
    def from_json(cls, json: _JsonText) -> Self: ...
    def save_json(self, path: _Path) -> None: ...
    @classmethod
    def load_json(cls, path: _Path) -> Self: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: _Binary) -> Self: ...
    def save(self, path: _Path) -> None: ...
    @classmethod
    def load(cls, path: _Path) -> Self: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object) -> Self: ...
    def __getstate__(self) -> str: ...
    def __setstate__(self, state: _JsonText | dict[str, object]) -> None: ...
    def __getnewargs__(self) -> tuple[()]: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]] | tuple[object, tuple[bytes], dict[str, object]]: ...
