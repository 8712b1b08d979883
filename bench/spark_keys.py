"""What one detector per key costs on Spark, against one plain Python process doing the same work.

    python bench/spark_keys.py batch [--sizes 1000x1000,10000x100,100000x10]
    python bench/spark_keys.py stream [--keys 10000] [--rows 1,100] [--batches 5] [--warm 256]

batch: Parquet in, scores out as Parquet, for each KEYSxROWS size: arbolet.spark.score_by_key on
Spark local[2], then one Python process that reads the same file with pyarrow and gives each key
its own Forest(..., seed=key_seed(0, key)).score_and_update_many over its rows. Reports rows/s and
CPU seconds of each (Spark: the driver, the JVM and its Python workers, sampled from /proc; the
session's start and a first warm-up query are not counted), and Spark's ratios (rows/s: higher is better; CPU: the plain
process's CPU over Spark's, so higher is better too).

stream: a streaming query (RocksDB state store, changelog checkpointing) reading one Parquet file
per micro-batch: a first one of --warm rows per key (the detectors warm up and take their first
snapshot), then --batches micro-batches of each --rows figure per key. Reports CPU per key update,
bytes added to the checkpoint per key update and the first micro-batch's cost. With --per-key the
query keeps each key's state per key (the default state store, applyInPandasWithState).

The detector is the guide's: Forest(1, num_trees=30, capacity=64, shingle_size=4). Timings on a
shared machine are noisy: run more than once.
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

FOREST = {"num_trees": 30, "capacity": 64, "shingle_size": 4}
ROCKSDB = "org.apache.spark.sql.execution.streaming.state.RocksDBStateStoreProvider"


def _family_cpu(root: int) -> dict[int, float]:
    """CPU seconds (user and system) of a process and each of its living descendants, from /proc."""
    tick = os.sysconf("SC_CLK_TCK")
    parents: dict[int, int] = {}
    times: dict[int, float] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as file:
                fields = file.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        times[int(entry)] = (int(fields[11]) + int(fields[12])) / tick
    family = {root}
    grew = True
    while grew:
        grew = False
        for pid, parent in parents.items():
            if parent in family and pid not in family:
                family.add(pid)
                grew = True
    return {pid: times[pid] for pid in family if pid in times}


class TreeCpu:
    """CPU seconds that a process and its descendants spend while it is open: sampled every 0.2 s, so that
    processes that end on the way (Python workers come and go) keep what they had spent when last seen."""

    def __init__(self, root: int) -> None:
        import threading

        self.root, self.start = root, _family_cpu(root)
        self.seen = dict(self.start)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._sample, daemon=True)
        self.thread.start()

    def _sample(self) -> None:
        while not self.done.wait(0.2):
            self.seen.update(_family_cpu(self.root))

    def stop(self) -> float:
        self.done.set()
        self.thread.join()
        self.seen.update(_family_cpu(self.root))
        return sum(cpu - self.start.get(pid, 0.0) for pid, cpu in self.seen.items())


def write_rows(path: Path, keys: int, rows: int, first: int, rng: random.Random) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    hosts = [f"host-{k:06d}" for k in range(keys)]
    table = pa.table({
        "host": [hosts[k] for _ in range(rows) for k in range(keys)],
        "t": [first + i for i in range(rows) for _ in range(keys)],
        "v": [rng.gauss(k % 10, 1.0) for _ in range(rows) for k in range(keys)],
    })
    pq.write_table(table, path)


def plain_python(source: Path, sink: Path) -> tuple[float, float]:
    """The work without Spark: wall and CPU seconds."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    import arbolet
    from arbolet.keyed import key_seed

    wall, cpu = time.perf_counter(), time.process_time()
    table = pq.read_table(source)
    table = table.take(pc.sort_indices(table, [("host", "ascending"), ("t", "ascending"), ("v", "ascending")]))
    hosts = table.column("host").to_pylist()
    values = table.column("v").to_numpy().reshape(-1, 1)
    scores = np.empty(len(hosts))
    bounds = [0] + [i for i in range(1, len(hosts)) if hosts[i] != hosts[i - 1]] + [len(hosts)]
    for lo, hi in zip(bounds, bounds[1:]):
        forest = arbolet.Forest(1, seed=key_seed(0, hosts[lo]), **FOREST)
        scores[lo:hi] = forest.score_and_update_many(values[lo:hi])
    pq.write_table(pa.table({"host": table.column("host"), "t": table.column("t"), "score": scores}), sink)
    return time.perf_counter() - wall, time.process_time() - cpu


def session(per_key_state: bool = False) -> Any:
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    builder = (SparkSession.builder.master("local[2]").config("spark.sql.shuffle.partitions", "2")
               .config("spark.driver.memory", "3g").config("spark.ui.enabled", "false")
               .config("spark.ui.showConsoleProgress", "false"))
    if not per_key_state:
        builder = (builder.config("spark.sql.streaming.stateStore.providerClass", ROCKSDB)
                   .config("spark.sql.streaming.stateStore.rocksdb.changelogCheckpointing.enabled", "true"))
    spark = builder.getOrCreate()
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def batch(sizes: list[tuple[int, int]]) -> None:
    from arbolet.spark import score_by_key

    spark = session()
    me = os.getpid()
    with tempfile.TemporaryDirectory() as tmp:  # the JVM compiles its hot code in a first query: not counted
        write_rows(Path(tmp) / "in.parquet", 2_000, 20, 0, random.Random(2))
        wall, cpu = time.perf_counter(), TreeCpu(me)
        score_by_key(spark.read.parquet(str(Path(tmp) / "in.parquet")), "host", ["v"], "t", **FOREST).write.parquet(
            str(Path(tmp) / "out"))
        print(f"warm-up query (40,000 rows, not counted): {time.perf_counter() - wall:.1f} s wall, "
              f"{cpu.stop():.1f} s CPU", flush=True)
    for keys, rows in sizes:
        with tempfile.TemporaryDirectory() as tmp:
            source = Path(tmp) / "in.parquet"
            write_rows(source, keys, rows, 0, random.Random(1))
            n = keys * rows
            wall, cpu = time.perf_counter(), TreeCpu(me)
            df = spark.read.parquet(str(source))
            score_by_key(df, "host", ["v"], "t", **FOREST).write.parquet(str(Path(tmp) / "spark-out"))
            spark_wall, spark_cpu = time.perf_counter() - wall, cpu.stop()
            plain_wall, plain_cpu = plain_python(source, Path(tmp) / "plain-out.parquet")
            print(f"batch {keys:,} keys x {rows:,} rows: Spark local[2] {n / spark_wall:,.0f} rows/s, "
                  f"{spark_cpu:.1f} s CPU; plain Python {n / plain_wall:,.0f} rows/s, {plain_cpu:.1f} s CPU; "
                  f"ratios rows/s {plain_wall / spark_wall:.2f}, CPU {plain_cpu / spark_cpu:.2f}", flush=True)
    spark.stop()


def checkpoint_bytes(root: Path, seen: dict[str, int]) -> int:
    """Bytes of files added to (or grown in) the checkpoint since the last call."""
    added = 0
    for path in root.rglob("*"):
        if path.is_file():
            size = path.stat().st_size
            added += max(0, size - seen.get(str(path), 0))
            seen[str(path)] = size
    return added


def stream(keys: int, rows_per_batch: list[int], batches: int, warm: int, per_key: bool, live_keys: int) -> None:
    from arbolet.spark import score_by_key

    spark = session(per_key_state=per_key)
    me = os.getpid()
    rng = random.Random(1)
    with tempfile.TemporaryDirectory() as tmp:
        source, checkpoint = Path(tmp) / "in", Path(tmp) / "checkpoint"
        source.mkdir()
        stream = spark.readStream.schema("host STRING, t LONG, v DOUBLE").option("maxFilesPerTrigger", 1)
        scores = score_by_key(stream.parquet(str(source)), "host", ["v"], "t",
                              **({} if per_key else {"live_keys": live_keys}), **FOREST)
        query = (scores.writeStream.format("parquet").option("path", str(Path(tmp) / "out"))
                 .option("checkpointLocation", str(checkpoint)).trigger(processingTime="500 milliseconds").start())
        seen: dict[str, int] = {}
        first = 0
        done = 0

        def one(rows: int) -> tuple[float, float, int]:
            nonlocal first, done
            staging = Path(tmp) / "staging.parquet"
            write_rows(staging, keys, rows, first, rng)
            first += rows
            wall, cpu = time.perf_counter(), TreeCpu(me)
            staging.rename(source / f"part-{done:04d}.parquet")
            done += 1
            while sum(1 for p in query.recentProgress if p["numInputRows"] > 0) < done:
                if not query.isActive:
                    raise RuntimeError(str(query.exception()))
                time.sleep(0.05)
            return time.perf_counter() - wall, cpu.stop(), checkpoint_bytes(checkpoint, seen)

        wall, cpu, written = one(warm)
        operator = query.lastProgress["stateOperators"][0]["operatorName"]
        print(f"stream {keys:,} keys, {operator}: first micro-batch ({warm} rows per key) {wall:.1f} s wall, "
              f"{cpu:.1f} s CPU ({1e3 * cpu / keys:.2f} ms per key), {written / keys / 1e3:.1f} KB checkpoint per key",
              flush=True)
        for rows in rows_per_batch:
            figures = [one(rows) for _ in range(batches)]
            for wall, cpu, written in figures:
                print(f"  {rows} rows per key: {wall:.1f} s wall, {1e3 * cpu / keys:.3f} ms CPU and "
                      f"{written / keys / 1e3:.2f} KB checkpoint per key update", flush=True)
            cpu = sum(f[1] for f in figures) / batches
            written = sum(f[2] for f in figures) / batches
            print(f"  {rows} rows per key, mean of {batches}: {1e3 * cpu / keys:.3f} ms CPU and "
                  f"{written / keys / 1e3:.2f} KB checkpoint per key update", flush=True)
        query.stop()
    spark.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["batch", "stream"])
    parser.add_argument("--sizes", default="1000x1000,10000x100,100000x10", help="batch: KEYSxROWS,...")
    parser.add_argument("--keys", type=int, default=10_000, help="stream: keys")
    parser.add_argument("--rows", default="1,100", help="stream: rows per key per micro-batch, each measured")
    parser.add_argument("--batches", type=int, default=5, help="stream: micro-batches measured per --rows figure")
    parser.add_argument("--warm", type=int, default=256, help="stream: rows per key of the first micro-batch")
    parser.add_argument("--per-key", action="store_true", help="stream: state per key (default state store)")
    parser.add_argument("--live-keys", type=int, default=10_000, help="stream: live detectors per Python worker")
    args = parser.parse_args()
    if args.what == "batch":
        batch([tuple(int(n) for n in size.split("x")) for size in args.sizes.split(",")])  # type: ignore[misc]
    else:
        stream(args.keys, [int(n) for n in args.rows.split(",")], args.batches, args.warm, args.per_key, args.live_keys)


if __name__ == "__main__":
    main()
