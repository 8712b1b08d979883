"""arbolet.spark on a local Spark: results equal a single-process loop, survive a killed driver, keep bad rows out."""

from __future__ import annotations

import importlib.util
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path
from typing import Any

import pytest

import arbolet


def _missing() -> str | None:
    absent = [name for name in ("pyspark", "pandas", "pyarrow") if importlib.util.find_spec(name) is None]
    if absent:
        return f"{', '.join(absent)} not installed"
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        return "no Java runtime"
    return None


if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("the JVM does not run under the sanitizer preload; these tests run in the ordinary suite",
                allow_module_level=True)
if (_reason := _missing()) is not None:
    message = (f"Spark tests need Java and the spark extra ({_reason}): "
               "apt-get install openjdk-17-jre-headless && pip install '.[spark]'")
    if os.environ.get("ARBOLET_REQUIRE_SPARK"):  # set by CI's Spark stage, where skipping is a failure
        pytest.fail(message, pytrace=False)
    pytest.skip(message, allow_module_level=True)

from arbolet.spark import key_seed, monitor_by_key, score_by_key, score_records_by_key  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::FutureWarning")

FOREST = {"num_trees": 8, "capacity": 16, "shingle_size": 2, "output_after": 4}
MSTREAM = {"num_buckets": 64, "alpha": 0.6}
MONITOR = {"num_trees": 8, "capacity": 16, "shingle_size": 2, "range_window": 20, "warm_up": 5}
FOREST_SCHEMA = "host STRING, t LONG, v DOUBLE, w DOUBLE"
MSTREAM_SCHEMA = "host STRING, ts LONG, amount DOUBLE, port LONG"


@pytest.fixture(scope="module")
def spark() -> Any:
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    session = (SparkSession.builder.master("local[2]").appName("arbolet-tests")
               .config("spark.sql.shuffle.partitions", "2").config("spark.ui.enabled", "false")
               .config("spark.ui.showConsoleProgress", "false").config("spark.sql.session.timeZone", "UTC")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


ROCKSDB = ("spark.sql.streaming.stateStore.providerClass",
           "org.apache.spark.sql.execution.streaming.state.RocksDBStateStoreProvider")


@pytest.fixture(params=["per-key state", "bucketed state"])
def layout(request: Any, spark: Any) -> Any:
    """A streaming query's state: per key (any state store), or keys by bucket (RocksDB), with a snapshot
    every second micro-batch so that both snapshots and replayed rows are exercised, and live detectors."""
    if request.param == "per-key state":
        yield {}
        return
    spark.conf.set(*ROCKSDB)
    yield {"buckets": 3, "snapshot_every": 2, "live_keys": 100}
    spark.conf.unset(ROCKSDB[0])


def metric_rows(keys: int, steps: int, seed: int = 1) -> list[tuple[str, int, float, float]]:
    """Interleaved rows of many hosts; every fifth host repeats a time step with other values."""
    rng = random.Random(seed)
    rows = [(f"host-{k}", t, round(rng.gauss(k % 7, 1.0), 3), rng.uniform(0, 1))
            for t in range(steps) for k in range(keys)]
    rows += [(f"host-{k}", 3, -1.5, 0.25) for k in range(0, keys, 5)]
    rng.shuffle(rows)
    return rows


def forest_loop(rows: list[tuple[Any, ...]], seed: int = 0) -> list[tuple[Any, ...]]:
    """The single-process truth: each key's rows, in (order, values) order, into its own forest."""
    by_key: dict[str, list[tuple[Any, ...]]] = defaultdict(list)
    for row in rows:
        by_key[row[0]].append(row)
    out = []
    for key, own in by_key.items():
        forest = arbolet.Forest(2, seed=key_seed(seed, key), **FOREST)
        for _, t, v, w in sorted(own, key=lambda r: r[1:]):
            ready = forest.is_ready()
            out.append((key, t, forest.score_and_update([v, w]), ready, None))
    return ordered(out)


def ordered(rows: Any) -> list[tuple[Any, ...]]:
    """Rows as tuples in one fixed order (repr, since error rows hold None where others hold numbers)."""
    return sorted((tuple(r) for r in rows), key=repr)


def write_csv(path: Path, header: str, rows: list[tuple[Any, ...]], mtime: int) -> None:
    path.write_text(header + "\n" + "".join(",".join(map(repr, r)).replace("'", "") + "\n" for r in rows))
    os.utime(path, (mtime, mtime))  # the file source takes the oldest file first


def split_by_time(rows: list[tuple[Any, ...]], bounds: list[int]) -> list[list[tuple[Any, ...]]]:
    return [[r for r in rows if lo <= r[1] < hi] for lo, hi in zip(bounds, bounds[1:])]


def run_stream(spark: Any, tmp_path: Path, name: str, build: Any, schema: str) -> list[tuple[Any, ...]]:
    source = spark.readStream.schema(schema).option("maxFilesPerTrigger", 1).option("header", True)
    # Not availableNow: with timeouts Spark keeps running micro-batches without data to expire keys.
    query = (build(source.csv(str(tmp_path / "in"))).writeStream.format("memory").queryName(name)
             .option("checkpointLocation", str(tmp_path / "checkpoint")).start())
    with_rows: set[int] = set()  # micro-batches that read a file (one per file)
    deadline = time.monotonic() + 300
    while len(with_rows) < 3 and time.monotonic() < deadline and query.isActive:
        with_rows |= {p["batchId"] for p in query.recentProgress if p["numInputRows"] > 0}
        time.sleep(0.1)
    failure = query.exception()
    query.stop()
    assert failure is None and len(with_rows) == 3, failure
    return ordered(spark.table(name).collect())


def test_forest_batch_and_streaming_equal_a_single_process_loop(spark: Any, tmp_path: Path) -> None:
    rows = metric_rows(keys=300, steps=12)
    expected = forest_loop(rows, seed=5)

    batch = score_by_key(spark.createDataFrame(rows, FOREST_SCHEMA), "host", ["v", "w"], "t", seed=5, **FOREST)
    assert batch.columns == ["host", "t", "score", "is_ready", "error"]
    assert ordered(batch.collect()) == expected

    (tmp_path / "in").mkdir()
    files = split_by_time(rows, [0, 4, 8, 12])
    late = ("host-3", 1, 0.0, 0.0)  # arrives with the last file, after host-3 has scored t=7
    # A host silent during the middle micro-batch is forgotten (idle_timeout) and starts afresh.
    idle = [[("host-idle", t, t / 2, 0.5) for t in range(lo, lo + 4)] for lo in (0, 8)]
    extra = [[*idle[0]], [], [late, *idle[1]]]
    for i, part in enumerate(files):
        write_csv(tmp_path / "in" / f"part-{i}.csv", "host,t,v,w", part + extra[i], 1_000 + i)
    from pyspark.sql import functions as F

    def build(df: Any) -> Any:  # ordered by a timestamp this time, kept in the state between micro-batches
        timed = df.withColumn("t", F.timestamp_seconds("t"))
        scores = score_by_key(timed, "host", ["v", "w"], "t", seed=5, idle_timeout=0.001, **FOREST)
        return scores.withColumn("t", F.unix_seconds("t"))

    got = run_stream(spark, tmp_path, "forest_scores", build, FOREST_SCHEMA)
    refused = [r for r in got if r[4] is not None]
    assert refused == [("host-3", 1, None, None,
                        "late: t 1970-01-01 00:00:01 is before 1970-01-01 00:00:07, already scored for this key")]
    assert [r for r in got if r[4] is None] == ordered(expected + forest_loop(idle[0], 5) + forest_loop(idle[1], 5))


def test_mstream_batch_and_streaming_equal_a_single_process_loop(spark: Any, tmp_path: Path, layout: Any) -> None:
    rng = random.Random(2)
    rows = [(f"user-{k}", ts, float(rng.randrange(50)), rng.choice([22, 80, 443]))
            for ts in range(1, 10) for k in range(100) for _ in range(rng.randrange(1, 4))]
    rng.shuffle(rows)
    expected = []
    by_key: dict[str, list[tuple[Any, ...]]] = defaultdict(list)
    for row in rows:
        by_key[row[0]].append(row)
    for key, own in by_key.items():
        detector = arbolet.MStream(1, 1, seed=key_seed(0, key), **MSTREAM)
        thresholder = arbolet.Thresholder.for_mstream(detector)  # kept in the streaming state beside it
        for _, ts, amount, port in sorted(own, key=lambda r: r[1:]):
            ready = detector.is_ready()
            score = detector.update_and_score([amount], [port], ts)
            grade = thresholder.update(score)
            expected.append((key, ts, score, ready, None, grade, grade > 0))
    expected = ordered(expected)

    def build(df: Any) -> Any:
        return score_records_by_key(df, "host", ["amount"], ["port"], "ts", **layout, **MSTREAM)

    assert ordered(build(spark.createDataFrame(rows, MSTREAM_SCHEMA)).collect()) == expected

    (tmp_path / "in").mkdir()
    stale = ("user-0", 2, 1.0, 22)  # older than user-0's clock when it arrives
    for i, part in enumerate(split_by_time(rows, [1, 4, 7, 10])):
        write_csv(tmp_path / "in" / f"part-{i}.csv", "host,ts,amount,port", part + ([stale] if i == 2 else []),
                  1_000 + i)
    got = run_stream(spark, tmp_path, "record_scores", build, MSTREAM_SCHEMA)
    assert [r for r in got if r[4] is not None] == [
        ("user-0", 2, None, None, "timestamps must be non-decreasing: previous=6, got=2", None, None)]
    assert [r for r in got if r[4] is None] == expected
    if layout:  # restarted with another bucket count, keys would move away from their detectors: refused
        later = [(f"user-{k}", 20, 1.0, 22) for k in range(100)]  # rows for every old bucket
        write_csv(tmp_path / "in" / "part-3.csv", "host,ts,amount,port", later, 1_010)
        source = spark.readStream.schema(MSTREAM_SCHEMA).option("header", True).csv(str(tmp_path / "in"))
        query = (score_records_by_key(source, "host", ["amount"], ["port"], "ts", **MSTREAM, buckets=4,
                                      snapshot_every=2).writeStream.format("parquet")
                 .option("path", str(tmp_path / "moved")).option("checkpointLocation", str(tmp_path / "checkpoint"))
                 .trigger(availableNow=True).start())
        with pytest.raises(Exception, match="holds its keys in 3 buckets, not 4: pass buckets=3"):
            query.awaitTermination(300)


def monitor_loop(rows: list[tuple[Any, ...]], timed: bool) -> list[tuple[Any, ...]]:
    """The single-process truth for monitor_by_key: each key's rows, in (order, values) order, into KeyedDetectors."""
    from arbolet.keyed import KeyedDetectors

    keyed, out = KeyedDetectors("monitor", 3, **MONITOR), []
    for key, t, v, w in sorted(rows, key=lambda r: r[1:]):
        ready = key in keyed.detectors and keyed.detectors[key].is_ready()
        score, grade, alarm = keyed.step(key, [v, w], timestamp=t if timed else None)
        out.append((key, t, score, ready, None, grade, alarm))
    assert any(row[-1] for row in out)  # alarms to compare, not only quiet rows
    return ordered(out)


def test_monitor_batch_and_streaming_equal_a_single_process_loop(spark: Any, tmp_path: Path, layout: Any) -> None:
    rows = metric_rows(keys=40, steps=12, seed=6)
    batch = monitor_by_key(spark.createDataFrame(rows, FOREST_SCHEMA), "host", ["v", "w"], "t", seed=3, **MONITOR)
    assert batch.columns == ["host", "t", "score", "is_ready", "error", "grade", "flag"]
    assert ordered(batch.collect()) == monitor_loop(rows, timed=False)

    (tmp_path / "in").mkdir()
    for i, part in enumerate(split_by_time(rows, [0, 4, 8, 12])):
        write_csv(tmp_path / "in" / f"part-{i}.csv", "host,t,v,w", part, 1_000 + i)
    from pyspark.sql import functions as F

    def build(df: Any) -> Any:  # a timestamp column: its seconds are the Monitor's timestamps
        timed = df.withColumn("t", F.timestamp_seconds("t"))
        verdicts = monitor_by_key(timed, "host", ["v", "w"], "t", seed=3, **layout, **MONITOR)
        return verdicts.withColumn("t", F.unix_seconds("t"))

    assert run_stream(spark, tmp_path, "monitor_verdicts", build, FOREST_SCHEMA) == monitor_loop(rows, timed=True)


def test_bad_rows_are_routed_to_the_error_column_and_leave_detectors_untouched(spark: Any) -> None:
    good = metric_rows(keys=3, steps=10, seed=3)
    nan, inf = float("nan"), float("inf")
    bad = [("host-0", 4, nan, 0.0), ("host-1", 5, 1.0, -inf), ("host-1", 6, None, 1.0), ("host-2", None, 1.0, 1.0),
           (None, 2, 1.0, 1.0), ("host-2", 7, 1e39, 1.0)]
    got = ordered(score_by_key(spark.createDataFrame(good + bad, FOREST_SCHEMA), "host", ["v", "w"], "t",
                               **FOREST).collect())
    assert [r for r in got if r[4] is None] == forest_loop(good)
    assert ordered((r[0], r[1], r[4]) for r in got if r[4] is not None and r[0] is not None) == [
        ("host-0", 4, "v is null, NaN or infinite"), ("host-1", 5, "w is null, NaN or infinite"),
        ("host-1", 6, "v is null, NaN or infinite"), ("host-2", 7, "point values must be finite"),
        ("host-2", None, "t is null")]
    assert [r for r in got if r[0] is None] == [(None, 2, None, None, "key is null")]

    df = spark.createDataFrame([("a", 1, "x", 1.0)], "host STRING, t LONG, v STRING, w DOUBLE")
    refusals = [
        (lambda: score_by_key(df, "host", ["v", "w"], "t"), TypeError, "value column 'v' must be a numeric column"),
        (lambda: score_by_key(df, "host", ["w", "z"], "t"), ValueError, "value column 'z' is not in the DataFrame"),
        (lambda: score_by_key(df, "host", ["w"], "v"), TypeError, "order column 'v' must be"),
        (lambda: score_by_key(df, "host", ["w"], "t", num_trees=0), ValueError, "num_trees"),
        (lambda: score_by_key(df, "host", ["w"], "t", input_dim=2), TypeError, "input_dim"),
        (lambda: score_by_key(df, "host", ["w"], "t", seed=-1), ValueError, "seed must be in"),
        (lambda: score_by_key(df, "host", ["w"], "t", colour=1), TypeError, "colour"),
        (lambda: score_records_by_key(df, "host", ["w"], ["t"], "w"), TypeError, "timestamp column 'w'"),
        (lambda: score_by_key(df, "host", ["w"], "t", idle_timeout=0), ValueError, "idle_timeout"),
    ]
    for call, kind, text in refusals:
        with pytest.raises(kind, match=text):
            call()


def test_batch_results_do_not_depend_on_buckets_or_on_the_grouped_function_form(spark: Any, monkeypatch: Any
                                                                                ) -> None:
    """One bucket or a few; Arrow tables, and pandas frames as on a Spark without applyInArrow."""
    from pyspark.sql.group import GroupedData

    rows = metric_rows(keys=50, steps=8, seed=9) + [("host-1", 3, 1e39, 0.0), (None, 1, 0.0, 0.0)]
    records = [(f"user-{k % 7}", 1 + i // 20, float(i % 11), i % 3) for i, k in enumerate(range(140))]
    records += [("user-1", 2, 1.0, None)]

    def results() -> list[Any]:
        out = []
        for buckets in (1, 5):
            forest = score_by_key(spark.createDataFrame(rows, FOREST_SCHEMA), "host", ["v", "w"], "t",
                                  buckets=buckets, **FOREST)
            mstream = score_records_by_key(spark.createDataFrame(records, MSTREAM_SCHEMA), "host", ["amount"],
                                           ["port"], "ts", buckets=buckets, **MSTREAM)
            out.append((ordered(forest.collect()), ordered(mstream.collect())))
        return out

    with_arrow = results()
    assert [r for r in with_arrow[0][0] if r[4] is None] == forest_loop(rows[:-2])
    assert ("host-1", 3, None, None, "point values must be finite") in with_arrow[0][0]
    assert all(r == with_arrow[0] for r in with_arrow)
    monkeypatch.delattr(next(c for c in GroupedData.__mro__ if "applyInArrow" in vars(c)), "applyInArrow")
    assert results() == with_arrow
    with pytest.raises(ValueError, match="buckets must be a positive integer"):
        score_by_key(spark.createDataFrame(rows, FOREST_SCHEMA), "host", ["v"], "t", buckets=0)
    with pytest.raises(ValueError, match="live_keys must be a non-negative integer"):
        score_by_key(spark.createDataFrame(rows, FOREST_SCHEMA), "host", ["v"], "t", live_keys=-1)


def test_key_seed_is_a_documented_stable_hash() -> None:
    import hashlib

    digest = hashlib.blake2b("host-1".encode(), digest_size=8, key=(5).to_bytes(8, "little")).digest()
    assert key_seed(5, "host-1") == int.from_bytes(digest, "little")
    assert key_seed(5, 42) == key_seed(5, "42") == key_seed(5, b"42") != key_seed(6, 42)
    assert key_seed(2**64 - 1, "") < 2**64
    with pytest.raises(TypeError):
        key_seed(0, 1.5)  # type: ignore[arg-type]


@pytest.mark.parametrize("bucketed", [False, True], ids=["per-key state", "bucketed state"])
def test_a_killed_driver_restarts_from_its_checkpoint_without_loss_or_duplicates(spark: Any, tmp_path: Path,
                                                                                bucketed: bool) -> None:
    driver = Path(__file__).with_name("spark_stream_driver.py")
    rows = metric_rows(keys=30, steps=24, seed=4)
    source, sink, checkpoint = tmp_path / "in", tmp_path / "out", tmp_path / "checkpoint"
    source.mkdir()
    files = split_by_time(rows, list(range(0, 25, 6)))
    for i, part in enumerate(files):
        write_csv(source / f"part-{i}.csv", "host,t,v,w", part, 1_000 + i)
    env = dict(os.environ, PYSPARK_PYTHON=sys.executable,
               PYTHONPATH=os.pathsep.join(p for p in (str(Path(arbolet.__file__).parents[1]),
                                                      os.environ.get("PYTHONPATH")) if p))
    command = [sys.executable, str(driver), str(source), str(sink), str(checkpoint)] + (["bucketed"] if bucketed else [])

    def committed() -> int:
        return len([p for p in (checkpoint / "commits").glob("[0-9]*")]) if (checkpoint / "commits").exists() else 0

    first = subprocess.Popen(command, env=env, start_new_session=True, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 240
    while committed() < 2 and first.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(first.pid, signal.SIGKILL)  # the driver and everything it started, without warning
    first.wait()
    done_before_kill = committed()
    assert 2 <= done_before_kill < len(files), first.stdout.read().decode() if first.stdout else ""

    second = subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)
    assert "finished" in second.stdout, second.stdout + second.stderr
    got = ordered(spark.read.parquet(str(sink)).collect())
    expected = forest_loop(rows, seed=7)
    assert len(got) == len(expected) == len(set(got))
    assert got == expected


def test_example_finds_the_three_incidents(tmp_path: Path) -> None:
    example = Path(__file__).resolve().parents[1] / "examples" / "spark_per_key.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (str(Path(arbolet.__file__).parents[1]),
                                                                  os.environ.get("PYTHONPATH")) if p))
    done = subprocess.run([sys.executable, str(example), "--hosts", "80", str(tmp_path / "work")], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "scored 3840 readings of 80 hosts in 4 micro-batches" in done.stdout
    top = done.stdout.split("hosts with the highest scores:")[1].splitlines()[1:4]
    assert sorted(line.split()[0] for line in top) == ["host-0042", "host-0050", "host-0077"], done.stdout


def test_a_streaming_bucket_trusts_a_live_detector_only_while_the_state_holds_its_version() -> None:
    """The worker's live detectors (no Spark: map states over dicts) against a plain loop per key: across
    micro-batches, with the cache dropped at random, after a recovery to an older checkpoint whose next
    micro-batch brings other rows than the one the worker had scored, and in a worker that another
    worker's micro-batch left behind."""
    import copy

    import numpy as np
    import pandas as pd

    from arbolet import _spark_stream
    from arbolet._spark_job import Job

    class MapState(dict):  # type: ignore[type-arg]
        def getValue(self, key: Any) -> Any:
            return self.get(key)

        def updateValue(self, key: Any, value: Any) -> None:
            self[key] = value

    job = Job("forest", "host", "t", ("v",), (), tuple(FOREST.items()), 0, None, True)
    rng = np.random.default_rng(5)
    hosts = ["a", "b", "c"]

    def batch(first: int, rows: int) -> Any:
        return pd.DataFrame({"host": [h for _ in range(rows) for h in hosts],
                             "t": [first + i for i in range(rows) for _ in hosts],
                             "v": rng.normal(size=rows * len(hosts))})

    def run(state: tuple[MapState, MapState], frame: Any, drop: bool) -> Any:
        if drop:
            _spark_stream._LIVE.clear()
        store = _spark_stream.BucketStore(job, *state, _spark_stream._Records(job), 3, "query", live_keys=10)
        return job.score_bucket_frame(frame, store)

    frames = [batch(10 * i, 1 + i % 3) for i in range(8)]
    retried = [batch(20, 2), batch(40, 1)]
    state = (MapState(), MapState())
    scored = [run(state, frames[0], True), run(state, frames[1], False)]
    older = copy.deepcopy(state)
    run(state, frames[2], False)  # lost (a snapshot taken): the query recovers to the checkpoint before it
    scored.append(run(older, retried[0], False))
    lagging = {k: (v, log, copy.deepcopy(d), n) for k, (v, log, d, n) in _spark_stream._LIVE.items()}
    scored.append(run(older, frames[3], False))
    state = copy.deepcopy(older)
    run(older, frames[4], False)  # lost too, within the same snapshot's log
    scored.append(run(state, retried[1], False))
    _spark_stream._LIVE.clear()  # then a worker that other workers' micro-batches left behind
    _spark_stream._LIVE.update(lagging)
    scored += [run(state, f, random.Random(i).random() < 0.5) for i, f in enumerate(frames[5:])]
    assert len(_spark_stream._LIVE) == len(hosts)
    fed = pd.concat([frames[0], frames[1], retried[0], frames[3], retried[1], *frames[5:]])
    got = pd.concat(scored)
    for host in hosts:
        forest = arbolet.Forest(1, seed=key_seed(0, host), **FOREST)
        expected = forest.score_and_update_many(fed[fed.host == host][["v"]].to_numpy())
        np.testing.assert_array_equal(got[got.host == host]["score"].to_numpy(dtype=float), expected)
