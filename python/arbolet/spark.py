"""One detector per key on Spark: batch DataFrames and Structured Streaming.

``score_by_key`` gives every key of a DataFrame its own ``Forest`` (scores),
``monitor_by_key`` its own ``Monitor`` (scores, grades and alarm flags) and
``score_records_by_key`` its own ``MStream`` (scores, with grades and flags
from its thresholder). Keys are hashed into buckets and one Python call scores
the keys of a bucket, each key's rows in one batch call of its detector. A
streaming query keeps each key's detector in Spark's state store (by bucket,
as a snapshot and the rows learned since, on the RocksDB state store; per key
otherwise), so a query restarted from its checkpoint continues every detector
exactly where the last committed micro-batch left it.

Within a key, rows are scored in the order of the ordering column. Rows with
equal ordering values are scored in the order of their values (column by
column), never in the order in which Spark happened to deliver them, so the
result does not depend on partitioning. A row whose ordering value lies
before the last row already scored for its key (it arrived in a later
micro-batch) is not scored: it comes out with a null score and a message in
the ``error`` column, and the detector does not see it. Feeding it would put
it into the detector's window as the newest observation, which it is not.

Rows that cannot be scored (a null key or ordering value, a null, NaN or
infinite value, an MStream timestamp before the key's clock) come out the
same way, with the reason in ``error``; they never fail the query and never
change a detector.

Needs ``pip install "arbolet[spark]"`` (pyspark, pandas, pyarrow) and a Java
runtime; ``key_seed`` alone needs neither.
"""

from __future__ import annotations

import datetime
import math
import operator
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from ._spark_job import ALARM_COLUMNS, RESULT_COLUMNS, Job
from .keyed import key_seed

if TYPE_CHECKING:
    from pyspark.sql import DataFrame
    from pyspark.sql.streaming.state import GroupState
    from pyspark.sql.types import DataType

__all__ = ["key_seed", "monitor_by_key", "score_by_key", "score_records_by_key"]

_Frame = Any  # a pandas.DataFrame; pandas ships no type information
# The column that says which bucket a row's key falls in; dropped before the function sees the rows.
_BUCKET = "__arbolet_bucket"
# Buckets per core of the session when a batch query is not given its number.
_BUCKETS_PER_CORE = 4
# Buckets of a streaming query not given its number: fixed, since its checkpoint fixes them.
_STREAM_BUCKETS = 64
# Micro-batches with rows for a key between snapshots of its detector, when not given.
_SNAPSHOT_EVERY = 32


def _columns(what: str, names: str | Sequence[str]) -> tuple[str, ...]:
    if isinstance(names, str):
        return (names,)
    names = tuple(names)
    if not all(isinstance(name, str) for name in names):
        raise TypeError(f"{what} must be a column name or a sequence of column names")
    return names


def _check_columns(df: DataFrame, roles: dict[str, tuple[tuple[str, ...], Callable[[DataType], bool], str]],
                   results: tuple[str, ...] = RESULT_COLUMNS) -> None:
    """Refuses a missing, repeated or wrongly typed column before the query starts."""
    from pyspark.sql import DataFrame as SparkDataFrame

    if not isinstance(df, SparkDataFrame):
        raise TypeError(f"df must be a pyspark.sql.DataFrame, not {type(df).__name__}")
    fields = {field.name: field.dataType for field in df.schema.fields}
    seen: set[str] = set()
    for role, (names, accepts, wanted) in roles.items():
        for name in names:
            if name not in fields:
                raise ValueError(f"{role} column {name!r} is not in the DataFrame; its columns are {sorted(fields)}")
            if not accepts(fields[name]):
                raise TypeError(f"{role} column {name!r} must be {wanted}, not {fields[name].simpleString()}")
            if name in results:
                raise ValueError(f"{role} column {name!r} clashes with a result column; rename it first")
            if name in seen and role in ("key", "order", "timestamp"):
                raise ValueError(f"column {name!r} is used twice")
            seen.add(name)


def _is_key_type(t: DataType) -> bool:
    from pyspark.sql import types as T

    return isinstance(t, (T.StringType, T.BinaryType, T.ByteType, T.ShortType, T.IntegerType, T.LongType))


def _is_number(t: DataType) -> bool:
    from pyspark.sql import types as T

    return isinstance(t, T.NumericType)


def _is_integer(t: DataType) -> bool:
    from pyspark.sql import types as T

    return isinstance(t, (T.ByteType, T.ShortType, T.IntegerType, T.LongType))


def _is_timestamp(t: DataType) -> bool:
    from pyspark.sql import types as T

    return isinstance(t, (T.TimestampType, T.TimestampNTZType))


def _is_orderable(t: DataType) -> bool:
    from pyspark.sql import types as T

    return isinstance(t, (T.NumericType, T.TimestampType, T.TimestampNTZType)) and not isinstance(t, T.DecimalType)


def _timeout_ms(idle_timeout: float | datetime.timedelta | None) -> int | None:
    if idle_timeout is None:
        return None
    seconds = idle_timeout.total_seconds() if isinstance(idle_timeout, datetime.timedelta) else float(idle_timeout)
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"idle_timeout must be a positive duration, got {idle_timeout!r}")
    return max(1, round(seconds * 1000))


def _run(df: DataFrame, job: Job, buckets: int | None, snapshot_every: int, live_keys: int) -> DataFrame:
    """Batch: keys hashed into buckets, one call per bucket (applyInArrow, or applyInPandas on a
    Spark without it). Streaming with the RocksDB state store on a Spark that has
    transformWithStateInPandas: keys hashed into buckets too, each key's detector kept as a
    snapshot and the rows learned since (arbolet._spark_stream). Otherwise applyInPandasWithState,
    one call per key, which works with the default state store and every Spark from 3.4 on."""
    from pyspark.sql import functions as F
    from pyspark.sql import types as T

    # Settings are checked here, once, by building a detector with them.
    job.new_detector("")
    fields = {field.name: field for field in df.schema.fields}
    output = T.StructType([
        T.StructField(job.key, fields[job.key].dataType, True),
        T.StructField(job.order, fields[job.order].dataType, True),
        T.StructField("score", T.DoubleType(), True),
        T.StructField("is_ready", T.BooleanType(), True),
        T.StructField("error", T.StringType(), True),
        *([T.StructField("grade", T.DoubleType(), True), T.StructField("flag", T.BooleanType(), True)]
          if job.alarms else []),
    ])
    if not df.isStreaming:
        count = buckets if buckets is not None else _default_buckets(df)
        # xxhash64 runs in the JVM with a fixed seed: a key's bucket is the same in every process.
        rows = df.select(job.key, job.order, *job.numeric, *job.categorical,
                         F.pmod(F.xxhash64(job.key), F.lit(count)).alias(_BUCKET))
        grouped = rows.groupBy(_BUCKET)
        if hasattr(grouped, "applyInArrow"):
            def score_bucket_table(table: Any) -> Any:
                return job.score_bucket_table(table)

            return grouped.applyInArrow(score_bucket_table, output)

        def score_bucket_frame(frame: _Frame) -> _Frame:
            return job.score_bucket_frame(frame)

        return grouped.applyInPandas(score_bucket_frame, output)

    if _bucketed_state(df, job):
        from ._spark_stream import processor

        count = buckets if buckets is not None else _STREAM_BUCKETS
        rows = df.select(job.key, job.order, *job.numeric, *job.categorical,
                         F.pmod(F.xxhash64(job.key), F.lit(count)).alias(_BUCKET))
        return rows.groupBy(_BUCKET).transformWithStateInPandas(
            processor(job, fields[job.key].dataType, count, snapshot_every, live_keys), output, "Append", "None")

    grouped = df.groupBy(job.key)
    state_schema = T.StructType([
        T.StructField("detector", T.BinaryType(), False),
        T.StructField("last", fields[job.order].dataType, True),
    ])

    def score_micro_batch(key: tuple[Any, ...], chunks: Iterable[_Frame], state: GroupState
                          ) -> Iterator[_Frame]:
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        if state.hasTimedOut:
            state.remove()
            return
        frames = list(chunks)
        if frames:
            stored = state.get if state.exists else None
            frame = frames[0] if len(frames) == 1 else pd.concat(frames, ignore_index=True)
            result, kept = job.score_frame(key[0], frame, stored, keep_state=True)
            if kept is not stored and kept is not None:
                state.update(kept)
            if job.timeout_ms is not None and state.exists:
                state.setTimeoutDuration(job.timeout_ms)
            yield result

    timeout = "NoTimeout" if job.timeout_ms is None else "ProcessingTimeTimeout"
    return grouped.applyInPandasWithState(score_micro_batch, output, state_schema, "append", timeout)


def _bucketed_state(df: DataFrame, job: Job) -> bool:
    """Whether a streaming query keeps its keys by bucket: the Spark has the stateful processor API, the
    session uses the RocksDB state store it needs, protobuf (which its Python side speaks) is installed,
    and no idle timeout is asked for (that one expires keys with applyInPandasWithState's per-key
    timeouts)."""
    import importlib.util

    if job.timeout_ms is not None or not hasattr(df.groupBy(job.key), "transformWithStateInPandas"):
        return False
    try:
        if importlib.util.find_spec("google.protobuf") is None:
            return False
    except ModuleNotFoundError:  # no google namespace at all
        return False
    provider = df.sparkSession.conf.get("spark.sql.streaming.stateStore.providerClass", None) or ""
    return provider.endswith("RocksDBStateStoreProvider")


def _default_buckets(df: DataFrame) -> int:
    """A few buckets per core of the session (its shuffle partitions where the cores cannot be read)."""
    try:
        cores = int(df.sparkSession.sparkContext.defaultParallelism)
    except Exception:  # Spark Connect has no SparkContext
        cores = int(df.sparkSession.conf.get("spark.sql.shuffle.partitions") or 1)
    return max(1, _BUCKETS_PER_CORE * cores)


def _count(name: str, value: int) -> int:
    if isinstance(value, bool) or operator.index(value) < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {value!r}")
    return operator.index(value)


def _positive(name: str, value: int | None) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or operator.index(value) < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return operator.index(value)


def _base_seed(settings: dict[str, Any]) -> int:
    seed = settings.pop("seed", 0)
    if seed is None:
        raise ValueError("seed must be an integer: every key's detector needs a reproducible seed (default 0)")
    key_seed(seed, "")  # refuses a seed outside [0, 2**64)
    return operator.index(seed)


def score_by_key(df: DataFrame, key: str, values: str | Sequence[str], order: str, *,
                 idle_timeout: float | datetime.timedelta | None = None, buckets: int | None = None,
                 snapshot_every: int = _SNAPSHOT_EVERY, live_keys: int = 0, **settings: Any) -> DataFrame:
    """Scores every key's rows with that key's own ``Forest``.

    ``df`` is a batch or streaming DataFrame; ``key`` names the key column
    (string, binary or integer), ``values`` the numeric columns that make one
    observation (``input_dim`` is their number), ``order`` the column that
    orders a key's rows (a number or a timestamp). ``settings`` are the
    ``Forest`` keywords (``shingle_size``, ``num_trees``, ``capacity``, ...);
    ``seed`` (default 0) is combined with each key by ``key_seed``.

    Returns a DataFrame of ``key``, ``order``, ``score`` (what
    ``Forest.score_and_update`` returned for the row), ``is_ready`` (the
    detector's ``is_ready()`` when the row arrived) and ``error`` (null, or why
    the row was not scored). A streaming result is in append mode; with
    ``idle_timeout`` (seconds or a ``timedelta``) a key that receives no row
    for that long (processing time) is forgotten and starts afresh.

    ``buckets`` is how many buckets the keys are hashed into, one Python call
    each (default: 4 per core of the session for a batch query, 64 for a
    streaming one, whose checkpoint fixes it). ``snapshot_every``: a streaming
    query on the RocksDB state store rewrites a key's whole detector every
    that many micro-batches with rows for the key (default 32), and only the
    rows learned since in between. ``live_keys``: on that store, each Python
    worker keeps up to that many detectors alive between micro-batches (default
    0: none), so that a key it served last time needs no restoring; each holds
    a detector's memory (the keyed-streams guide gives it per size). The Spark
    guide describes all three.

    .. versionchanged:: 0.4.0
       ``buckets``, ``snapshot_every`` and ``live_keys``.
    """
    return _run_numeric("forest", df, key, values, order, idle_timeout, (buckets, snapshot_every, live_keys), settings,
                        RESULT_COLUMNS)


def monitor_by_key(df: DataFrame, key: str, values: str | Sequence[str], order: str, *,
                   idle_timeout: float | datetime.timedelta | None = None, buckets: int | None = None,
                   snapshot_every: int = _SNAPSHOT_EVERY, live_keys: int = 0, **settings: Any) -> DataFrame:
    """Judges every key's rows with that key's own ``Monitor``: a score, a grade and an alarm flag.

    Parameters
    ----------
    df : pyspark.sql.DataFrame
        A batch or streaming DataFrame.
    key : str
        The key column (string, binary or integer).
    values : str or sequence of str
        The numeric columns that make one observation (``input_dim`` is their number).
    order : str
        The column that orders a key's rows: a timestamp column, whose seconds are the Monitor's
        timestamps (from which it learns the time of day), or a numeric one (no timestamps).
    idle_timeout : float or datetime.timedelta, optional
        As for ``score_by_key``.
    buckets, snapshot_every, live_keys : int, optional
        As for ``score_by_key``.
    **settings
        The ``Monitor`` keywords (``shingle_size``, ``direction``, ``num_trees``, ``capacity``, ...);
        ``seed`` (default 0) is combined with each key by ``key_seed``.

    Returns
    -------
    pyspark.sql.DataFrame
        ``key``, ``order``, ``score`` (the Monitor's raw score), ``is_ready`` (the Monitor's
        ``is_ready()`` when the row arrived), ``error`` (null, or why the row was not judged),
        ``grade`` (0 for an ordinary row, above 0 up to 1 for an alarm) and ``flag`` (whether the
        row is an alarm): what ``arbolet.keyed.KeyedDetectors`` gives in one process. Rows are
        refused as ``score_by_key`` refuses them; a streaming query keeps each key's Monitor in its
        state.

    Notes
    -----
    .. versionadded:: 0.4.0
    """
    return _run_numeric("monitor", df, key, values, order, idle_timeout, (buckets, snapshot_every, live_keys), settings,
                        RESULT_COLUMNS + ALARM_COLUMNS)


def _run_numeric(kind: str, df: DataFrame, key: str, values: str | Sequence[str], order: str,
                 idle_timeout: float | datetime.timedelta | None, layout: tuple[int | None, int, int],
                 settings: dict[str, Any],
                 results: tuple[str, ...]) -> DataFrame:
    """The query of a detector per key fed the numeric columns ``values``, ordered by ``order``."""
    numeric = _columns("values", values)
    if not numeric:
        raise ValueError("values must name at least one column")
    if "input_dim" in settings:
        raise TypeError("input_dim comes from the number of value columns; do not pass it")
    _check_columns(df, {
        "key": ((key,), _is_key_type, "a string, binary or integer column"),
        "order": ((order,), _is_orderable, "a numeric or timestamp column"),
        "value": (numeric, _is_number, "a numeric column"),
    }, results)
    seed = _base_seed(settings)
    job = Job(kind, key, order, numeric, (), tuple(settings.items()), seed, _timeout_ms(idle_timeout),
               _is_integer(df.schema[order].dataType), _is_timestamp(df.schema[order].dataType))
    return _run(df, job, _positive("buckets", layout[0]), _positive("snapshot_every", layout[1]) or 0,
                _count("live_keys", layout[2]))


def score_records_by_key(df: DataFrame, key: str, numeric: str | Sequence[str], categorical: str | Sequence[str],
                         timestamp: str, *, idle_timeout: float | datetime.timedelta | None = None,
                         buckets: int | None = None, snapshot_every: int = _SNAPSHOT_EVERY, live_keys: int = 0,
                         **settings: Any) -> DataFrame:
    """Scores every key's records with that key's own ``MStream``.

    ``numeric`` names the numeric feature columns, ``categorical`` the integer
    category columns, ``timestamp`` the integer time column (1 or more).
    ``settings`` are the ``MStream`` keywords (``num_rows``, ``num_buckets``,
    ``alpha``); ``seed`` (default 0) is combined with each key by ``key_seed``.
    The score is what ``MStream.update_and_score`` returned for the record;
    each key's ``Thresholder.for_mstream`` judges it into ``grade`` (0 for an
    ordinary record, above 0 up to 1 for an alarm) and ``flag`` (whether the
    record is an alarm), as ``arbolet.keyed.KeyedDetectors`` of kind
    ``"mstream"`` does, and the streaming state keeps the thresholder beside
    the detector. A record whose timestamp is older than its key's clock comes
    out with a null score and the detector's message in ``error``, and is not
    counted. The result has the columns ``key``, ``timestamp``, ``score``,
    ``is_ready``, ``error``, ``grade``, ``flag``; ``idle_timeout``, ``buckets``,
    ``snapshot_every`` and ``live_keys`` are as for ``score_by_key``.

    .. versionchanged:: 0.4.0
       The ``grade`` and ``flag`` columns. A checkpoint written before them
       continues each key's detector with a new thresholder. ``buckets``,
       ``snapshot_every`` and ``live_keys``.
    """
    numeric_columns = _columns("numeric", numeric)
    categorical_columns = _columns("categorical", categorical)
    _check_columns(df, {
        "key": ((key,), _is_key_type, "a string, binary or integer column"),
        "timestamp": ((timestamp,), _is_integer, "an integer column"),
        "numeric": (numeric_columns, _is_number, "a numeric column"),
        "categorical": (categorical_columns, _is_integer, "an integer column"),
    }, RESULT_COLUMNS + ALARM_COLUMNS)
    seed = _base_seed(settings)
    job = Job("mstream", key, timestamp, numeric_columns, categorical_columns, tuple(settings.items()), seed,
               _timeout_ms(idle_timeout), True)
    return _run(df, job, _positive("buckets", buckets), _positive("snapshot_every", snapshot_every) or 0,
                _count("live_keys", live_keys))
