"""A streaming query's detectors in Spark's RocksDB state store, the keys of a bucket in one call.

The query groups rows by bucket (a stable hash of the key) and runs ``transformWithStateInPandas``,
whose state a bucket keeps per key in two maps:

- ``snapshots``: key -> the detector's compact bytes, rewritten only now and then;
- ``logs``: key -> the last ordering value scored, the micro-batches and rows since the snapshot,
  those rows (the values that the detector learned, in order, as fixed-width binary records), and the
  snapshot's version: a random number drawn anew at each snapshot written (0 before the first).

A key is restored by loading its snapshot (or making a fresh detector, before its first snapshot)
and replaying its logged rows with the detector's batch update, which leaves it exactly as
learning them one by one did. Each micro-batch then rewrites a key's short log, and its snapshot
only every ``snapshot_every`` micro-batches with rows for it, or sooner once the logged rows would
take longer to replay than a snapshot is worth. A third state, ``layout``, holds the bucket count,
which must not change while the checkpoint lives: a key hashed into another bucket would lose its
detector. A bucket that finds another count fails the micro-batch before anything is committed
(a bucket new to the checkpoint has no count to compare, but with more than a handful of keys a
micro-batch brings rows to old buckets too).

With ``live_keys`` above 0, a Python worker also keeps the detectors it wrote (``_LIVE``, at most
``live_keys`` of them, the least recently written dropped first), each with the snapshot version
and the log it wrote beside it: such a detector is the snapshot plus the log's rows. When the key's
stored snapshot version is that one and its stored log begins with that log, the state is the
worker's plus the rows logged since (written by another worker, which Spark may give the partition
to), so the live detector replays only those. Anything else (a micro-batch that failed after the
worker's write and was run again with other rows, a restart from an older checkpoint, a snapshot
taken elsewhere, another query) restores the key from its state as above. A detector is taken out of
the cache while it is scored and put back only with what was written after it, so a failure
half-way never leaves a changed detector beside a log that the state still holds.
"""

from __future__ import annotations

import os
from collections import OrderedDict
from typing import Any

from ._spark_job import Job
from .keyed import Key

# Rows a key's log holds at most before a snapshot is taken, whatever snapshot_every says.
LOG_ROWS = 256

# Live detectors a Python worker keeps between micro-batches, the least recently used dropped first:
# (query, key) -> (snapshot version, log written, detector, the snapshot's size or None).
_LIVE: OrderedDict[tuple[Any, Key], tuple[int, bytes, Any, int | None]] = OrderedDict()


def _version() -> int:
    """A fresh version: from the operating system, since forked workers share the random module's state."""
    return int.from_bytes(os.urandom(8), "little") >> 1


class _Records:
    """How a key's learned rows are written into its log: one fixed-width record per row."""

    def __init__(self, job: Job) -> None:
        import numpy as np

        fields: list[tuple[Any, ...]] = [("values", "<f8", (len(job.numeric),)),
                                         ("codes", "<i8", (len(job.categorical),))]
        if job.kind in ("mstream", "monitor"):  # their timestamps
            fields.append(("stamp", "<i8"))
        self.dtype = np.dtype(fields)
        self.job = job

    def encode(self, order: Any, numeric: Any, codes: list[Any]) -> bytes:
        import numpy as np

        records = np.zeros(len(order), self.dtype)
        records["values"] = numeric
        if codes:
            records["codes"] = np.column_stack([c.astype(np.int64) for c in codes])
        stamps = self.job.stamps(order)
        if stamps is not None:
            records["stamp"] = stamps
        return records.tobytes()

    def decode(self, blob: bytes) -> Any:
        import numpy as np

        return np.frombuffer(blob, self.dtype)


class BucketStore:
    """The keys of one bucket in one call: ``Job._score_sorted``'s store over the state maps."""

    def __init__(self, job: Job, snapshots: Any, logs: Any, records: _Records, snapshot_every: int,
                 query: Any = None, live_keys: int = 0) -> None:
        self.job, self.snapshots, self.logs, self.records = job, snapshots, logs, records
        self.snapshot_every, self.query, self.live_keys = snapshot_every, query, live_keys
        self._entries: dict[Any, tuple[Any, ...]] = {}
        self._snapshot_size: dict[Any, int | None] = {}

    def held(self, key: Key) -> tuple[Any, Any] | None:
        entry = self.logs.getValue((key,))
        if entry is None:
            return None
        self._entries[key] = entry
        last_integer, last_real, _batches, rows, log, version = entry
        live = _LIVE.pop((self.query, key), None) if self.live_keys else None
        if live is not None and live[0] == version and bytes(log).startswith(live[1]):
            detector, self._snapshot_size[key] = live[2], live[3]
            if len(log) > len(live[1]):
                detector = self.job.replay(key, detector, self.records.decode(bytes(log)[len(live[1]):]))
            return detector, self._last(last_integer, last_real)
        snapshot = self.snapshots.getValue((key,))
        detector = None
        if snapshot is not None:
            detector = self.job.restore(key, snapshot[0])
            self._snapshot_size[key] = len(snapshot[0])
        if rows:
            detector = self.job.replay(key, detector, self.records.decode(bytes(log)))
        return detector, self._last(last_integer, last_real)

    def keep(self, key: Key, detector: Any, learned: tuple[Any, ...]) -> None:
        order = learned[0]
        last_integer, last_real = self._stored_last(self.job._newest(order, [len(order) - 1]))
        _, _, batches, rows, log, version = self._entries.get(key, (None, None, 0, 0, b"", 0))
        log = bytes(log) + self.records.encode(*learned)
        batches, rows = batches + 1, rows + len(order)
        size = self._snapshot_size.get(key)
        if batches >= self.snapshot_every or rows >= LOG_ROWS or (size is not None and len(log) >= size):
            blob = self.job.blob(key, detector)
            self.snapshots.updateValue((key,), (blob,))
            batches, rows, log, size, version = 0, 0, b"", len(blob), _version()
        self.logs.updateValue((key,), (last_integer, last_real, batches, rows, log, version))
        if self.live_keys:
            _LIVE[(self.query, key)] = (version, log, detector, size)
            while len(_LIVE) > self.live_keys:
                _LIVE.popitem(last=False)

    def _stored_last(self, newest: Any) -> tuple[int | None, float | None]:
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        if isinstance(newest, pd.Timestamp):
            return int(newest.value), None  # nanoseconds of the wall time that the frames hold
        if isinstance(newest, int):
            return newest, None
        return None, float(newest)

    def _last(self, last_integer: Any, last_real: Any) -> Any:
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        if last_integer is None:
            return last_real
        return pd.Timestamp(int(last_integer)) if self.job.timestamp_order else int(last_integer)


def processor(job: Job, key_type: Any, buckets: int, snapshot_every: int, live_keys: int) -> Any:
    """The stateful processor of a bucketed streaming query."""
    from pyspark.sql import types as T
    from pyspark.sql.streaming.stateful_processor import StatefulProcessor

    key_schema = T.StructType([T.StructField("key", key_type, False)])
    snapshot_schema = T.StructType([T.StructField("detector", T.BinaryType(), False)])
    log_schema = T.StructType([
        T.StructField("last_integer", T.LongType(), True), T.StructField("last_real", T.DoubleType(), True),
        T.StructField("batches", T.LongType(), False), T.StructField("rows", T.LongType(), False),
        T.StructField("log", T.BinaryType(), False), T.StructField("version", T.LongType(), False),
    ])
    layout_schema = T.StructType([T.StructField("buckets", T.LongType(), False)])
    query = _version()  # this start of the query: its workers' live detectors are not another's

    class ScoreBuckets(StatefulProcessor):  # type: ignore[misc,unused-ignore]  # Any without pyspark's types
        def init(self, handle: Any) -> None:
            self.snapshots = handle.getMapState("snapshots", key_schema, snapshot_schema)
            self.logs = handle.getMapState("logs", key_schema, log_schema)
            self.layout = handle.getValueState("layout", layout_schema)
            self.records = _Records(job)

        def handleInputRows(self, key: Any, rows: Any, timerValues: Any) -> Any:
            import pandas as pd  # type: ignore[import-untyped,unused-ignore]

            stored = self.layout.get()
            if stored is None:
                self.layout.update((buckets,))
            elif stored[0] != buckets:
                raise ValueError(f"this checkpoint holds its keys in {stored[0]} buckets, not {buckets}: "
                                 f"pass buckets={stored[0]} (a key in another bucket would lose its detector)")
            frames = list(rows)
            frame = frames[0] if len(frames) == 1 else pd.concat(frames, ignore_index=True)
            store = BucketStore(job, self.snapshots, self.logs, self.records, snapshot_every, query, live_keys)
            yield job.score_bucket_frame(frame, store)

        def close(self) -> None:
            pass

    return ScoreBuckets()
