"""What every Spark executor runs: all the keys of one call, each key's rows in one batch call of its detector.

A call gets the rows of many keys (a bucket, in a batch query) or of one key (a streaming query's
group). Its rows are sorted by key, then by the ordering column, then by their values, so that rows
with equal ordering values are scored in one order whatever the partitioning; each key's run of
rows then goes to its detector in one ``*_many`` call. A batch call is all or nothing and names the
row it refused ("row R: why"), so a refused row is cut out and the rest scored around it: the
scores are those of a loop over the rows.
"""

from __future__ import annotations

import operator
import re
from dataclasses import dataclass
from typing import Any, Callable

from . import Forest
from .keyed import Key, KeyedDetectors, key_seed

# Column names that the result adds next to the key and the ordering column; the functions that
# judge alarms add ALARM_COLUMNS after them.
RESULT_COLUMNS = ("score", "is_ready", "error")
ALARM_COLUMNS = ("grade", "flag")

_REFUSED_ROW = re.compile(r"row (\d+): (.*)", re.DOTALL)


def dump_state(detector: Forest) -> bytes:
    """A score_by_key key's forest in the state store, in its compact form."""
    return detector.to_bytes()


def load_state(kind: type[Forest], blob: bytes) -> Forest:
    """Tells the compact form from JSON text (checkpoints written before the compact form) by the first byte."""
    blob = bytes(blob)
    if blob[:1] == b"{":
        return kind.from_json(blob)
    return kind.from_bytes(blob)


def input_dim(width: int, settings: dict[str, Any]) -> int:
    if settings.get("internal_shingling", True):
        return width
    shingle = operator.index(settings.get("shingle_size", 1))
    if shingle < 1 or width % shingle:
        raise ValueError(f"with internal_shingling=False the {width} value columns must be whole shingles "
                         f"of shingle_size={shingle}")
    return width // shingle


def _text(value: Any) -> str:
    """An ordering value as people write it: 7, 2.5 or 2026-01-01 00:00:07."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    return str(pd.Timestamp(value)) if hasattr(value, "dtype") and value.dtype.kind == "M" else str(value)


def _floats(column: Any) -> Any:
    """A numeric Arrow column as float64 values, NaN for nulls; decimals each rounded as Python's float
    rounds them (as the pandas path does)."""
    import numpy as np
    import pyarrow as pa

    if pa.types.is_decimal(column.type):
        return np.array([np.nan if v is None else float(v) for v in column.to_pylist()], dtype=np.float64)
    return column.to_numpy()


def _in_batches(n: int, call: Callable[[int, int], None], errors: dict[int, str]) -> None:
    """Runs ``call(start, stop)`` over rows [0, n), cutting out each row that the detector refuses.

    ``call`` changes nothing when it raises; the refused row's reason goes into ``errors``.
    """
    start = 0
    while start < n:
        try:
            call(start, n)
            return
        except (ValueError, OverflowError) as error:
            refused = _REFUSED_ROW.fullmatch(str(error))
            if refused is None:
                raise
            row = start + int(refused.group(1))
            if row > start:
                call(start, row)
            errors[row] = refused.group(2)
            start = row + 1


@dataclass(frozen=True)
class Job:
    """What every executor needs to score its keys' rows; pickled into the query plan."""

    kind: str  # "forest" (scores only), or a KeyedDetectors kind: "monitor" or "mstream"
    key: str
    order: str
    numeric: tuple[str, ...]
    categorical: tuple[str, ...]
    settings: tuple[tuple[str, Any], ...]
    seed: int
    timeout_ms: int | None
    integral_order: bool
    timestamp_order: bool = False

    @property
    def alarms(self) -> bool:
        """Whether the result has a grade and a flag: the kinds that KeyedDetectors runs."""
        return self.kind != "forest"

    def runner(self) -> KeyedDetectors:
        return KeyedDetectors(self.kind, self.seed, **dict(self.settings))

    def new_detector(self, key: Key) -> Any:
        settings = dict(self.settings)
        if self.kind == "forest":
            return Forest(input_dim(len(self.numeric), settings), seed=key_seed(self.seed, key), **settings)
        return self.runner().new_detector(key, len(self.numeric), len(self.categorical))

    # --- the ways rows arrive -------------------------------------------------------------------

    def score_frame(self, key: Any, frame: Any, state: tuple[Any, ...] | None, keep_state: bool
                    ) -> tuple[Any, tuple[Any, ...] | None]:
        """One key's rows as a pandas frame (a streaming group): the result frame and the state to keep.

        ``state`` is (detector bytes, last ordering value) or None for a new key; the returned state
        is None when nothing needs to be kept.
        """
        import numpy as np
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        if pd.isna(key):
            key = None  # a null key arrives as None or NaN, depending on the column type
        store = _OneKey(self, key, state)
        columns = self._score_sorted(np.zeros(len(frame), np.int64), [key], self._frame_arrays(frame),
                                     store if keep_state else None)
        return pd.DataFrame(columns, copy=False), store.state

    def score_bucket_frame(self, frame: Any, store: Any = None) -> Any:
        """A bucket's rows of many keys as a pandas frame: a batch query on a Spark without Arrow
        grouped functions, or a streaming query's bucket (``store`` holds its keys' detectors)."""
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        codes, uniques = pd.factorize(frame[self.key], use_na_sentinel=True)
        # An integer key column holding nulls arrives as floats.
        keys = [int(k) if isinstance(k, float) else k for k in uniques.tolist()]
        columns = self._score_sorted(codes.astype("int64"), keys, self._frame_arrays(frame), store)
        return pd.DataFrame(columns, copy=False)

    def score_bucket_table(self, table: Any) -> Any:
        """A batch bucket's rows of many keys as an Arrow table; the result is an Arrow table."""
        import numpy as np
        import pyarrow as pa
        import pyarrow.compute as pc

        keys = pc.dictionary_encode(table.column(self.key).combine_chunks())
        codes = keys.indices.fill_null(-1).to_numpy(zero_copy_only=False).astype(np.int64)
        order_column = table.column(self.order)
        if pa.types.is_timestamp(order_column.type) and order_column.type.tz is not None:
            order_column = pc.local_timestamp(order_column)  # the wall time that pandas would have shown
        arrays = (order_column.to_numpy(), [_floats(table.column(c)) for c in self.numeric],
                  [table.column(c).to_numpy() for c in self.categorical])
        columns = self._score_sorted(codes, keys.dictionary.to_pylist(), self._arrays(*arrays), keep_columns=False)
        rank = columns.pop("__rank")
        out = {self.key: table.column(self.key).take(rank), self.order: table.column(self.order).take(rank)}
        out["score"] = pa.array(columns["score"], pa.float64(), from_pandas=True)
        out["is_ready"] = pa.array(columns["is_ready"], pa.bool_())
        out["error"] = pa.array(columns["error"], pa.string())
        if self.alarms:
            out["grade"] = pa.array(columns["grade"], pa.float64(), from_pandas=True)
            out["flag"] = pa.array(columns["flag"], pa.bool_())
        return pa.table(out)

    def _frame_arrays(self, frame: Any) -> tuple[Any, ...]:
        order = frame[self.order].to_numpy()
        numeric = [frame[c].to_numpy(dtype="float64", na_value=float("nan")) for c in self.numeric]
        codes = [frame[c].to_numpy(dtype=object) for c in self.categorical]
        return self._arrays(order, numeric, codes)

    def _arrays(self, order: Any, numeric: list[Any], codes: list[Any]) -> tuple[Any, ...]:
        """(order, numeric matrix, category columns, which categories are missing, which orders are null)."""
        import numpy as np
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        n = len(order)
        matrix = (np.column_stack([np.asarray(c, dtype=np.float64) for c in numeric]) if numeric
                  else np.empty((n, 0)))
        missing = np.column_stack([pd.isna(c) for c in codes]) if codes else np.zeros((n, 0), bool)
        return order, matrix, codes, missing, pd.isna(order)

    # --- scoring ----------------------------------------------------------------------------------

    def _score_sorted(self, groups: Any, keys: list[Any], arrays: tuple[Any, ...], store: Any = None,
                      keep_columns: bool = True) -> dict[str, Any]:
        """Sorts the rows (key, order, values) and scores each key's run; ``groups`` indexes ``keys`` (-1: null key).

        Returns the result columns: in sorted order; with ``keep_columns`` False the key and order
        columns are left out and ``__rank`` says which input row each result row is. ``store``, if
        given, holds the keys' detectors between calls: ``held(key)`` gives a key's (detector, last
        ordering value) or None, ``keep(key, detector, rows)`` is told what the key learned (the
        arrays of ``arrays`` at those rows, sorted).
        """
        import numpy as np

        order, numeric, codes, missing, null_order = arrays
        n = len(order)
        if n > 1 and (null_order.any() or not (order[1:] > order[:-1]).all() or (groups[1:] != groups[:-1]).any()):
            ties = [np.array([np.inf if absent else float(v) for v, absent in zip(c, m)])
                    for c, m in zip(codes, missing.T)]
            rank = np.lexsort([*reversed(ties), *reversed(numeric.T), order, groups])
        else:
            rank = np.arange(n)
        order, numeric, missing, null_order, groups = (order[rank], numeric[rank], missing[rank], null_order[rank],
                                                       groups[rank])
        codes = [c[rank] for c in codes]

        scores = np.full(n, np.nan)
        ready = np.full(n, None, dtype=object)
        errors = np.full(n, None, dtype=object)
        grades = np.full(n, np.nan)
        flags = np.full(n, None, dtype=object)
        # The refusals that need no detector, for all keys at once; checked in this order.
        finite = np.isfinite(numeric)
        refused = np.zeros(n, bool)
        checks: list[tuple[Any, Callable[[int], str]]] = [
            (groups < 0, lambda i: "key is null"),
            (null_order, lambda i: f"{self.order} is null"),
            (~finite.all(axis=1), lambda i: f"{self.numeric[int(np.argmin(finite[i]))]} is null, NaN or infinite"),
            (missing.any(axis=1), lambda i: f"{self.categorical[int(np.argmax(missing[i]))]} is null"),
        ]
        for rows, why in checks:
            for i in np.flatnonzero(rows & ~refused):
                errors[i] = why(int(i))
            refused |= rows
        bounds = np.flatnonzero(np.diff(groups)) + 1
        for lo, hi in zip([0, *bounds.tolist()], [*bounds.tolist(), n]):
            group = int(groups[lo])
            if group < 0:
                continue  # every row refused
            key = keys[group]
            rows = slice(lo, hi)
            held = None if store is None else store.held(key)
            key_codes = [c[rows] for c in codes]
            detector, learned = self._score_key(key, order[rows], numeric[rows], key_codes, refused[rows], held,
                                                (scores[rows], ready[rows], errors[rows], grades[rows], flags[rows]))
            if store is not None and len(learned):
                store.keep(key, detector, (order[rows][learned], numeric[rows][learned],
                                           [c[learned] for c in key_codes]))
        columns: dict[str, Any] = {}
        if keep_columns:
            columns[self.key] = np.array([None if g < 0 else keys[g] for g in groups], dtype=object)
            columns[self.order] = order
        else:
            columns["__rank"] = rank
        columns.update(score=scores, is_ready=ready, error=errors)
        if self.alarms:
            columns.update(grade=grades, flag=flags)
        return columns

    def restore(self, key: Key, blob: bytes) -> Any:
        """A key's detector from its stored bytes: a Forest, or a KeyedDetectors holding the key."""
        if not self.alarms:
            return load_state(Forest, blob)
        runner = self.runner()
        runner.restore_key(key, blob)
        return runner

    def blob(self, key: Key, detector: Any) -> bytes:
        """What ``restore`` reads back."""
        return detector.key_state(key) if self.alarms else dump_state(detector)

    def stamps(self, order: Any) -> Any:
        """The timestamps that the detector is given: an MStream's time steps, a Monitor's seconds of a
        timestamp ordering column (None for a numeric one)."""
        import numpy as np

        if self.kind == "mstream":
            return order.astype(np.int64)
        if self.kind == "monitor" and order.dtype.kind == "M":
            return order.astype("datetime64[s]").astype(np.int64)
        return None

    def replay(self, key: Key, detector: Any, records: Any) -> Any:
        """Feeds a key's logged rows (see arbolet._spark_stream) to its detector, or to a fresh one if None."""
        import numpy as np

        values = np.ascontiguousarray(records["values"])
        if not self.alarms:
            detector = detector if detector is not None else self.new_detector(key)
            detector.update_many(values)
            return detector
        runner = detector if detector is not None else self.runner()
        own = self._own(runner, key, values.shape[1])
        if self.kind == "mstream":
            raw = own.update_and_score_many(values, np.ascontiguousarray(records["codes"]),
                                            np.ascontiguousarray(records["stamp"]))
            runner.thresholders[key].update_many(raw)
        else:
            own.update_many(values, np.ascontiguousarray(records["stamp"]) if self.timestamp_order else None)
        return runner

    def _own(self, runner: KeyedDetectors, key: Key, width: int) -> Any:
        """The key's detector in ``runner``, made (with its thresholder) if it has none yet."""
        if key not in runner.detectors:
            made = runner.new_detector(key, width, len(self.categorical))
            runner._keep(key, made, runner._new_thresholder(made))
        return runner.detectors[key]

    def _score_key(self, key: Key, order: Any, numeric: Any, codes: list[Any], refused: Any,
                   held: tuple[Any, Any] | None, out: tuple[Any, ...]) -> tuple[Any, Any]:
        """Scores one key's sorted rows into ``out`` (views of the result columns).

        ``refused`` marks the rows already refused; ``held`` is the key's (detector, last ordering
        value scored) or None for a new key. Returns the detector and the indices of the rows it learned.
        """
        import numpy as np

        scores, ready, errors, grades, flags = out
        if held is not None:
            detector, last = held
        else:
            detector, last = (self.runner() if self.alarms else self.new_detector(key)), None
        if self.kind != "mstream" and last is not None:
            late = ~refused & (order < np.array(last, dtype=order.dtype))
            for i in np.flatnonzero(late):
                errors[i] = (f"late: {self.order} {_text(order[i])} is before {_text(last)}, "
                             f"already scored for this key")
            refused = refused | late
        valid = np.flatnonzero(~refused)
        if not len(valid):
            return detector, valid
        everything = len(valid) == len(order)
        refused_by_detector: dict[int, str] = {}
        self._learn(key, detector if not self.alarms else None, detector if self.alarms else None,
                    order if everything else order[valid], numeric if everything else numeric[valid],
                    codes if everything else [c[valid] for c in codes], refused_by_detector,
                    (scores, ready, grades, flags), valid)
        if not refused_by_detector:
            return detector, valid
        for j, why in refused_by_detector.items():
            errors[valid[j]] = why
        return detector, np.delete(valid, list(refused_by_detector))

    def _newest(self, order: Any, learned: Any) -> Any:
        """The last ordering value learned, as the per-key state stores it."""
        import numpy as np
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        newest = order[learned[-1]]
        if isinstance(newest, np.datetime64):
            return pd.Timestamp(newest)
        return int(newest) if self.integral_order else newest.item()  # an integer column holding nulls: floats

    def _learn(self, key: Any, detector: Any, runner: KeyedDetectors | None, order: Any, numeric: Any,
               codes: list[Any], refused: dict[int, str], out: tuple[Any, ...], at: Any) -> None:
        """Feeds a key's valid rows to its detector, writing each row's results at its index in ``at``."""
        import numpy as np

        scores, ready, grades, flags = out
        if runner is None:  # a Forest: score_and_update_many; is_ready from updates_until_ready
            def forest_rows(start: int, stop: int) -> None:
                until = detector.updates_until_ready
                rows = at[start:stop]
                scores[rows] = detector.score_and_update_many(numeric[start:stop])
                ready[rows] = (np.arange(stop - start) >= until).tolist()

            _in_batches(len(order), forest_rows, refused)
            return
        if self.kind == "mstream":
            mstream = self._own(runner, key, numeric.shape[1])
            thresholder = runner.thresholders[key]
            categories = (np.column_stack([c.astype(np.int64) for c in codes]) if codes
                          else np.empty((len(order), 0), np.int64))
            stamps = self.stamps(order)

            def mstream_rows(start: int, stop: int) -> None:
                seen = mstream.entries_seen()
                rows = at[start:stop]
                raw = mstream.update_and_score_many(numeric[start:stop], categories[start:stop], stamps[start:stop])
                grade = thresholder.update_many(raw)
                scores[rows], grades[rows] = raw, grade
                ready[rows] = (seen + np.arange(stop - start) > 0).tolist()
                flags[rows] = (grade > 0.0).tolist()

            _in_batches(len(order), mstream_rows, refused)
            return
        # A Monitor, row by row: its readiness before each row is not in update_many's answer.
        seconds = self.stamps(order)
        for j in range(len(order)):
            own = runner.detectors.get(key)
            was_ready = own is not None and own.is_ready()
            try:
                score, grade, flag = runner.step(key, numeric[j], (), None if seconds is None else int(seconds[j]))
            except (ValueError, OverflowError) as error:
                refused[j] = str(error)
                continue
            i = at[j]
            scores[i], grades[i], flags[i], ready[i] = score, grade, flag, was_ready



class _OneKey:
    """The store of a streaming group of one key: its (detector bytes, last ordering value) in Spark's state."""

    def __init__(self, job: Job, key: Any, state: tuple[Any, ...] | None) -> None:
        self.job, self.state = job, state
        self._held = None if state is None or key is None else (job.restore(key, state[0]), state[1])

    def held(self, key: Any) -> tuple[Any, Any] | None:
        return self._held

    def keep(self, key: Any, detector: Any, learned: tuple[Any, ...]) -> None:
        order = learned[0]
        self.state = (self.job.blob(key, detector), self.job._newest(order, [len(order) - 1]))
