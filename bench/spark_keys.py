"""What one detector per key costs on Spark: the executor's work split into its parts, then whole queries.

    python bench/spark_keys.py [--keys 1000] [--rows 12] [--batches 4] [--no-spark]

Part 1 runs the per-key function that every executor runs (arbolet.spark) in
this process, on one core, CPU-time clock, and splits it: the detector's own
work, restoring and saving each key's state, and the rest (pandas: gathering,
sorting, building the result). Part 2 runs streaming queries in local[2] over
CSV files, one micro-batch per file, and reports Spark's own progress figures
(wall clock), the state store's size and the checkpoint written per
micro-batch. Needs the spark extra and Java for part 2.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import arbolet
from arbolet import spark as arbolet_spark

FOREST = {"num_trees": 30, "capacity": 64, "shingle_size": 4}
MSTREAM = {"num_rows": 2, "num_buckets": 256}


def forest_rows(keys: int, rows: int, batch: int, rng: random.Random) -> list[tuple[Any, ...]]:
    return [(f"host-{k:05d}", batch * rows + i, rng.gauss(k % 10, 1.0)) for i in range(rows) for k in range(keys)]


def record_rows(keys: int, rows: int, batch: int, rng: random.Random) -> list[tuple[Any, ...]]:
    return [(f"user-{k:05d}", 1 + batch * 3 + i * 3 // rows, rng.uniform(0, 100), rng.uniform(0, 1),
             rng.randrange(20), rng.choice([22, 80, 443])) for i in range(rows) for k in range(keys)]


def in_process(kind: str, keys: int, rows: int, batches: int) -> None:
    import pandas as pd

    rng = random.Random(1)
    if kind == "forest":
        job = arbolet_spark._Job("forest", "host", "t", ("v",), (), tuple(FOREST.items()), 0, None, True)
        columns, make = ["host", "t", "v"], forest_rows
    else:
        job = arbolet_spark._Job("mstream", "user", "ts", ("amount", "share"), ("country", "port"),
                                 tuple(MSTREAM.items()), 0, None, True)
        columns, make = ["user", "ts", "amount", "share", "country", "port"], record_rows
    states: dict[str, Any] = {}
    total = detector_time = state_time = 0.0
    records = 0
    for batch in range(batches + 1):  # the first batch warms the detectors up and is not counted
        frame = pd.DataFrame(make(keys, rows, batch, rng), columns=columns)
        groups = list(frame.groupby(columns[0], sort=False))
        start = time.process_time()
        for key, group in groups:
            _, states[key] = job.score(key, group, states.get(key), keep_state=True)
        elapsed = time.process_time() - start
        # The same work again in its parts: restore, score, save.
        restore = score = save = 0.0
        for key, group in groups:
            values = group[list(job.numeric)].to_numpy(dtype="float64")
            codes = group[list(job.categorical)].to_numpy().tolist()
            stamps = group[job.order].tolist()
            t0 = time.process_time()
            detector = arbolet_spark._load_state(arbolet.Forest if kind == "forest" else arbolet.MStream,
                                                 states[key][0])
            t1 = time.process_time()
            if isinstance(detector, arbolet.Forest):
                for value in values:
                    detector.score_and_update(value)
            else:
                for value, code, stamp in zip(values, codes, stamps):
                    detector.update_and_score(value, code, max(stamp, detector.current_time() or 1))
            t2 = time.process_time()
            arbolet_spark._dump_state(detector)
            t3 = time.process_time()
            restore, score, save = restore + t1 - t0, score + t2 - t1, save + t3 - t2
        if batch:
            total, detector_time, state_time = total + elapsed, detector_time + score, state_time + restore + save
            records += len(frame)
    size = sum(len(state[0]) for state in states.values()) / len(states)
    print(f"{kind}: {keys} keys, {rows} rows per key per micro-batch, {batches} micro-batches, one core")
    print(f"  {records / total:,.0f} records/s per core; per record {1e6 * total / records:.1f} us: "
          f"detector {1e6 * detector_time / records:.1f}, state restore+save {1e6 * state_time / records:.1f}, "
          f"pandas and the rest {1e6 * (total - detector_time - state_time) / records:.1f}")
    print(f"  state per key: {size:,.0f} bytes")


def on_spark(kind: str, keys: int, rows: int, batches: int) -> None:
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    # The default state store keeps each key's state (and the previous version) on the JVM heap.
    spark = (SparkSession.builder.master("local[2]").config("spark.sql.shuffle.partitions", "2")
             .config("spark.driver.memory", "4g").config("spark.ui.showConsoleProgress", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    rng = random.Random(1)
    with tempfile.TemporaryDirectory() as tmp:
        source, checkpoint = Path(tmp) / "in", Path(tmp) / "checkpoint"
        source.mkdir()
        for batch in range(batches + 1):
            data = (forest_rows if kind == "forest" else record_rows)(keys, rows, batch, rng)
            path = source / f"part-{batch}.csv"
            path.write_text("".join(",".join(map(str, row)) + "\n" for row in data))
            os.utime(path, (1_000_000 + batch, 1_000_000 + batch))
        if kind == "forest":
            stream = spark.readStream.schema("host STRING, t LONG, v DOUBLE")
            build = lambda df: arbolet_spark.score_by_key(df, "host", ["v"], "t", **FOREST)  # noqa: E731
        else:
            stream = spark.readStream.schema("user STRING, ts LONG, amount DOUBLE, share DOUBLE, country LONG, "
                                             "port LONG")
            build = lambda df: arbolet_spark.score_records_by_key(  # noqa: E731
                df, "user", ["amount", "share"], ["country", "port"], "ts", **MSTREAM)
        query = (build(stream.option("maxFilesPerTrigger", 1).csv(str(source))).writeStream.format("noop")
                 .option("checkpointLocation", str(checkpoint)).trigger(availableNow=True).start())
        query.awaitTermination()
        progress = query.recentProgress[1:]  # the first micro-batch creates every detector
        wall = sum(p["durationMs"]["triggerExecution"] for p in progress) / 1000
        records = sum(p["numInputRows"] for p in progress)
        state_dir = checkpoint / "state"
        written = sum(f.stat().st_size for f in state_dir.rglob("*") if f.is_file() and f.suffix == ".delta")
        operator = progress[-1]["stateOperators"][0]
        commit = sum(p["stateOperators"][0]["commitTimeMs"] for p in progress) / len(progress)
        print(f"{kind} on Spark local[2]: {records / wall:,.0f} records/s wall ({records / wall / 2:,.0f} per core); "
              f"micro-batch {1000 * wall / len(progress):,.0f} ms for {records // len(progress):,} records; "
              f"state store {operator['memoryUsedBytes'] / operator['numRowsTotal']:,.0f} bytes per key in memory; "
              f"checkpoint {written / (batches + 1) / 1e6:,.1f} MB of state deltas per micro-batch, "
              f"state store commit {commit:,.0f} ms per micro-batch")
    spark.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=1000)
    parser.add_argument("--rows", type=int, default=12, help="rows per key per micro-batch")
    parser.add_argument("--batches", type=int, default=4, help="micro-batches measured (after a first one)")
    parser.add_argument("--no-spark", action="store_true", help="only the in-process part")
    parser.add_argument("--only-spark", action="store_true", help="only the queries on Spark")
    args = parser.parse_args()
    if not args.only_spark:
        for kind in ("forest", "mstream"):
            in_process(kind, args.keys, args.rows, args.batches)
    if not args.no_spark:
        for kind in ("forest", "mstream"):
            on_spark(kind, args.keys, args.rows, args.batches)


if __name__ == "__main__":
    main()
