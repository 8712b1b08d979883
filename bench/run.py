#!/usr/bin/env python3
"""Speed and memory benchmarks for arbolet, side by side with the rrcf package.

    python bench/run.py            # full run (a few minutes)
    python bench/run.py --quick    # short run, fewer repetitions
    python bench/run.py --json results.json --no-peer

Every figure is the median of several repetitions, shown with the min-max
spread of those repetitions. The process pins itself to one CPU. The peer
comparison needs `pip install -r bench/requirements.txt` and is skipped
when rrcf is not installed.
"""

from __future__ import annotations

import argparse
import copy
import gc
import json
import math
import os
import pickle
import platform
import random
import statistics
import subprocess
import sys
import time
from collections import deque

# One core: keep numpy's thread pool from spinning beside the timed thread.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import arbolet  # noqa: E402

try:
    import numpy as np
except ImportError:  # only the array-argument and bandwidth figures need it
    np = None


def is_failure(exc):
    """An ordinary error or the module's internal fault (a BaseException
    subclass named PanicException), as opposed to Ctrl-C or exit."""
    return isinstance(exc, Exception) or type(exc).__name__ == "PanicException"


NUM_TREES = 50
CAPACITY = 256
PAGE = os.sysconf("SC_PAGE_SIZE")
# Our node arena keeps, per slot, a 24-byte node record (kind and cut_dim,
# cut_val, left, right, point_idx or box row, mass), and per internal node
# holding at least box_min_points points (2 by default: every one) a box row of D floats
# for min and D for max, and one double range sum.
NODE_RECORD_BYTES = 24


def box_row_bytes(dim):
    return 2 * dim * 4 + 8


# ----------------------------------------------------------------- helpers


class Table:
    def __init__(self):
        self.rows = []

    def add(self, group, name, samples, unit, note="", higher_is_better=False):
        samples = list(samples)
        row = {
            "group": group,
            "name": name,
            "unit": unit,
            "median": statistics.median(samples) if samples else None,
            "min": min(samples) if samples else None,
            "max": max(samples) if samples else None,
            "reps": len(samples),
            "note": note,
        }
        self.rows.append(row)
        print(f"  {group:<12} {name:<42} {fmt(row['median']):>12} {unit}", flush=True)
        return row["median"]

    def na(self, group, name, unit, note):
        self.rows.append({"group": group, "name": name, "unit": unit, "median": None,
                          "min": None, "max": None, "reps": 0, "note": note})
        print(f"  {group:<12} {name:<42} {'n/a':>12} ({note})", flush=True)

    def get(self, group, name):
        for r in self.rows:
            if r["group"] == group and r["name"] == name:
                return r["median"]
        return None


def fmt(v):
    if v is None:
        return "n/a"
    if isinstance(v, str):
        return v
    a = abs(v)
    if a >= 1e6:
        return f"{v:,.0f}"
    if a >= 100:
        return f"{v:.0f}"
    if a >= 10:
        return f"{v:.1f}"
    if a >= 1:
        return f"{v:.2f}"
    return f"{v:.3f}"


# CPU time of this thread by default: on a machine shared with other work it
# leaves out the time the scheduler gave to someone else (--clock wall
# measures elapsed time instead).
CLOCK = time.thread_time


def per_call_us(fn, args_list):
    """Microseconds per call of fn over the argument tuples of args_list."""
    gc.disable()
    try:
        t0 = CLOCK()
        for a in args_list:
            fn(*a)
        t1 = CLOCK()
    finally:
        gc.enable()
    return (t1 - t0) * 1e6 / len(args_list)


def repeat(reps, fn):
    return [fn(i) for i in range(reps)]


def rss_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE


def pin_one_cpu(cpu):
    try:
        allowed = sorted(os.sched_getaffinity(0))
        chosen = cpu if cpu is not None else allowed[-1]
        os.sched_setaffinity(0, {chosen})
        return chosen
    except (AttributeError, OSError):
        return None


def cpu_model():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def git_commit():
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        r = subprocess.run(["git", "-C", here, "rev-parse", "--short", "HEAD"],
                           capture_output=True, text=True, check=False)
        return r.stdout.strip() or None
    except OSError:
        return None


def persistence_available():
    try:
        f = arbolet.Forest(1, num_trees=1, capacity=2, seed=1)
        arbolet.Forest.from_json(f.to_json())
        return True
    except BaseException as e:
        if not is_failure(e):
            raise
        return False


# ----------------------------------------------------------------- data


def make_stream(n, dim, seed, shift_at=None):
    """Noisy sine per dimension, with rare spikes and a level shift (at 60% unless given)."""
    rng = random.Random(seed)
    phases = [rng.uniform(0.0, 2.0 * math.pi) for _ in range(dim)]
    if shift_at is None:
        shift_at = int(n * 0.6)
    out = []
    for t in range(n):
        shift = 2.5 if t >= shift_at else 0.0
        row = []
        for j in range(dim):
            v = math.sin(2.0 * math.pi * t / 64.0 + phases[j]) + rng.gauss(0.0, 0.1) + shift
            if rng.random() < 0.005:
                v += rng.choice((-1.0, 1.0)) * rng.uniform(4.0, 8.0)
            row.append(v)
        out.append(row)
    return out


def shingles(stream, size):
    """Full shingled points (oldest observation first) for stream[size-1:]."""
    buf = deque(maxlen=size)
    out = []
    for row in stream:
        buf.append(row)
        if len(buf) == size:
            out.append([v for r in buf for v in r])
    return out


# ----------------------------------------------------------------- forest


def bench_forest(table, input_dim, shingle, cfg):
    group = f"forest d{input_dim} s{shingle}"
    D = input_dim * shingle
    reps = cfg.reps
    n_upd = cfg.n_update
    n_q = cfg.n_query
    n_slow = cfg.n_slow
    # Steady state first (updates, then score-then-update steps), then the
    # level shift, then the same steps again while the samplers replace the
    # old level: the forest holds two clusters for a while and walks deepen.
    steady_end = cfg.warm + n_q + 2 * reps * n_upd
    total = steady_end + reps * n_upd + 8
    stream = make_stream(total, input_dim, seed=1000 + 10 * input_dim + shingle, shift_at=steady_end)
    f = arbolet.Forest(input_dim, shingle_size=shingle, num_trees=NUM_TREES, capacity=CAPACITY, seed=7)
    pos = 0
    for row in stream[: cfg.warm]:
        f.update(row)
    pos = cfg.warm
    assert f.is_ready()

    # Queries are the stream's own next shingles, passed at full dimension,
    # so that they land where the points of a live stream land (a point of
    # input_dim values would be merged into the forest's frozen shingle).
    full = shingles(stream[pos - shingle + 1: pos + n_q], shingle)
    queries = full
    missing = list(range(D - input_dim, D))

    res = {}
    res["score"] = table.add(group, "score", repeat(reps, lambda i: per_call_us(f.score, [(q,) for q in queries])),
                             "us/call")
    table.add(group, "attribution",
              repeat(reps, lambda i: per_call_us(f.attribution, [(q,) for q in queries[:n_slow]])), "us/call")
    table.add(group, "near_neighbors",
              repeat(reps, lambda i: per_call_us(f.near_neighbors, [(q,) for q in queries[:n_slow]])), "us/call")
    table.add(group, "impute (newest observation missing)",
              repeat(reps, lambda i: per_call_us(f.impute, [(p, missing) for p in queries[:n_slow]])), "us/call")
    table.add(group, f"extrapolate({shingle})",
              repeat(reps, lambda i: per_call_us(f.extrapolate, [(shingle,)] * n_slow)), "us/call")

    pos += n_q
    upd = []
    for _ in range(reps):
        chunk = stream[pos: pos + n_upd]
        pos += n_upd
        upd.append(per_call_us(f.update, [(r,) for r in chunk]))
    res["update"] = table.add(group, "update", upd, "us/call")

    def step(row, score=f.score, update=f.update):
        score(row)
        update(row)

    steps = []
    for _ in range(reps):
        chunk = stream[pos: pos + n_upd]
        pos += n_upd
        steps.append(per_call_us(step, [(r,) for r in chunk]))
    res["step"] = table.add(group, "score-then-update", steps, "us/step")

    shifted = []
    for _ in range(reps):
        chunk = stream[pos: pos + n_upd]
        pos += n_upd
        shifted.append(per_call_us(step, [(r,) for r in chunk]))
    table.add(group, "score-then-update, just after the level shift", shifted, "us/step")
    res["forest"] = f
    return res


# ----------------------------------------------------------------- throughput


def wall_us_per_point(fn, points):
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn(points)
        return (time.perf_counter() - t0) * 1e6 / len(points)
    finally:
        gc.enable()


def one_thread_wide(table, group, cfg, dim, seed, n, spare_rows=0):
    """A warmed 100 x 256 forest at input_dim `dim`, shingle 1, timed on one thread (CPU
    time, pinned): score, then score-then-update. Returns the forest, its stream, the
    first row not yet used, and the two medians."""
    stream = make_stream(cfg.warm + (2 * cfg.reps + 1) * n + spare_rows, dim, seed=seed, shift_at=10**9)
    f = arbolet.Forest(dim, num_trees=100, capacity=CAPACITY, seed=7)
    f.update_many(stream[: cfg.warm])
    pos = cfg.warm
    score = table.add(group, "score", repeat(cfg.reps, lambda i: per_call_us(f.score, [(q,) for q in stream[pos: pos + n]])),
                      "us/call")

    def step(row, score=f.score, update=f.update):
        score(row)
        update(row)

    steps = []
    for _ in range(cfg.reps):
        steps.append(per_call_us(step, [(r,) for r in stream[pos: pos + n]]))
        pos += n
    return f, stream, pos, score, table.add(group, "score-then-update, 1 thread", steps, "us/step")


def bench_wide(table, cfg, have_persist):
    """100 trees x 256, input_dim 16, shingle 1: one thread (CPU time, pinned), then
    score_and_update with the trees spread over 2 threads (elapsed time, unpinned)."""
    group = "forest d16 s1 (100 trees)"
    n = cfg.n_update
    res = {}
    f, stream, pos, res["score"], res["step"] = one_thread_wide(table, group, cfg, 16, 1616, n,
                                                                spare_rows=(2 * cfg.reps + 1) * n)
    res["limit_ratio"], res["limit"] = score_limit(table, f, 16, res["score"], have_persist, cfg.reps, trees=100,
                                                  group="score limit d16 (100 trees)")

    pinned = os.sched_getaffinity(0) if hasattr(os, "sched_getaffinity") else None
    if pinned is None or (os.cpu_count() or 1) < 2:
        table.na(group, "score_and_update, 2 threads / 1 thread", "x", "needs 2 CPUs")
        return res
    os.sched_setaffinity(0, set(range(os.cpu_count())))
    try:
        timings = {1: [], 2: []}
        for _ in range(cfg.reps):
            for threads in (1, 2):
                f.threads = threads
                rows = [(r,) for r in stream[pos: pos + n]]
                pos += n // 2
                gc.disable()
                t0 = time.perf_counter()
                for (r,) in rows:
                    f.score_and_update(r)
                timings[threads].append((time.perf_counter() - t0) * 1e6 / n)
                gc.enable()
        one = table.add(group, "score_and_update, 1 thread (elapsed)", timings[1], "us/call")
        two = table.add(group, "score_and_update, 2 threads (elapsed)", timings[2], "us/call")
        res["two_threads"] = two / one
        table.add(group, "score_and_update, 2 threads / 1 thread", [two / one], "x")
    finally:
        f.threads = 1
        os.sched_setaffinity(0, pinned)
    return res


def bench_wider(table, cfg, dim=64):
    """100 trees x 256 at input_dim 64, shingle 1: score and score-then-update on one
    thread (CPU time, pinned), where the packed kernels do the most of the work."""
    return one_thread_wide(table, f"forest d{dim} s1 (100 trees)", cfg, dim, 6464, cfg.n_update // 2)[4]


def bench_batches(table, cfg, forest_res):
    """score_and_update_many against the loop over score_and_update (d1 s4, one core)."""
    group = "forest d1 s4"
    n = cfg.n_update
    stream = make_stream(cfg.warm + 2 * cfg.reps * n, 1, seed=1014, shift_at=10**9)
    loop_f = arbolet.Forest(1, shingle_size=4, num_trees=NUM_TREES, capacity=CAPACITY, seed=7)
    many_f = arbolet.Forest(1, shingle_size=4, num_trees=NUM_TREES, capacity=CAPACITY, seed=7)
    loop_f.update_many(stream[: cfg.warm])
    many_f.update_many(stream[: cfg.warm])
    pos = cfg.warm
    loops, batches = [], []
    for _ in range(cfg.reps):
        chunk = stream[pos: pos + n]
        pos += n
        loops.append(per_call_us(loop_f.score_and_update, [(r,) for r in chunk]))
        t0 = CLOCK()
        many_f.score_and_update_many(chunk)
        batches.append((CLOCK() - t0) * 1e6 / n)
    loop = table.add(group, "score_and_update, loop of single calls", loops, "us/point")
    many = table.add(group, "score_and_update_many", batches, "us/point")
    return loop, many


def _drive_own_forest(stream, warm, seed, ready):
    """Warms a default forest on `stream`, waits at `ready`, then times
    single calls over the rest: (start, end) on the elapsed clock."""
    f = arbolet.Forest(1, shingle_size=4, seed=seed)
    f.update_many(stream[:warm])
    rows = stream[warm:]
    ready.wait()
    t0 = time.perf_counter()
    for r in rows:
        f.score(r)
        f.update(r)
    return t0, time.perf_counter()


def _drive_in_child(stream, warm, seed, ready, spans):
    spans.put(_drive_own_forest(stream, warm, seed, ready))


def two_python_threads(table, cfg):
    """Points per second of two Python threads, each with its own default
    forest and single calls, against one thread (elapsed time, unpinned).
    The same for two processes, which share no lock: what this machine's
    second core gives at best, measured in the same minutes."""
    group = "threads"
    if not hasattr(os, "sched_getaffinity") or (os.cpu_count() or 1) < 2:
        table.na(group, "2 Python threads / 1, own forests", "x", "needs 2 CPUs")
        return None
    import multiprocessing
    import threading

    n = cfg.n_update * 4
    streams = [make_stream(cfg.warm + n, 1, seed=2000 + k) for k in range(2)]
    pinned = os.sched_getaffinity(0)
    os.sched_setaffinity(0, set(range(os.cpu_count())))

    def points_per_second(spans):
        return len(spans) * n / (max(e for _, e in spans) - min(b for b, _ in spans))

    def threads(count):
        ready = threading.Barrier(count)
        spans = [None] * count

        def body(k):
            spans[k] = _drive_own_forest(streams[k], cfg.warm, k, ready)

        workers = [threading.Thread(target=body, args=(k,)) for k in range(count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return points_per_second(spans)

    forking = "fork" in multiprocessing.get_all_start_methods()

    def processes(count):
        context = multiprocessing.get_context("fork")
        ready, queue = context.Barrier(count), context.Queue()
        children = [context.Process(target=_drive_in_child, args=(streams[k], cfg.warm, k, ready, queue))
                    for k in range(count)]
        for c in children:
            c.start()
        spans = [queue.get() for _ in children]
        for c in children:
            c.join()
        return points_per_second(spans)

    try:
        thread_ratios, process_ratios = [], []
        for _ in range(cfg.reps):
            thread_ratios.append(threads(2) / threads(1))
            if forking:
                process_ratios.append(processes(2) / processes(1))
    finally:
        os.sched_setaffinity(0, pinned)
    ratio = table.add(group, "2 Python threads / 1, own forests", thread_ratios, "x")
    if forking:
        table.add(group, "2 processes / 1, own forests (no shared lock)", process_ratios, "x")
    else:
        table.na(group, "2 processes / 1, own forests (no shared lock)", "x", "needs fork")
    return ratio


def bench_mstream_many(table, cfg):
    group = "mstream 10+10"
    rng = random.Random(43)
    n = cfg.n_mstream
    numeric = [[rng.gauss(0.0, 1.0) for _ in range(10)] for _ in range(n)]
    codes = [[rng.randrange(8) for _ in range(10)] for _ in range(n)]
    if np is not None:
        numeric, codes = np.array(numeric), np.array(codes, dtype=np.int64)
    m = arbolet.MStream(10, 10, seed=3)
    clock = {"i": 0}

    def one_rep(_):
        ts = [1 + (clock["i"] + k) // 100 for k in range(n)]
        clock["i"] += n
        t0 = CLOCK()
        m.update_and_score_many(numeric, codes, ts)
        return n / (CLOCK() - t0)

    one_rep(0)
    return table.add(group, "update_and_score_many, ts every 100 records", repeat(cfg.reps, one_rep), "records/s")


# ----------------------------------------------------------------- peer


def bench_peer(table, our_step_us, cfg):
    try:
        import numpy  # noqa: F401
        import rrcf
    except ImportError:
        table.na("peer", "rrcf score-then-update (d1 s4)", "us/point",
                 "rrcf not installed: pip install -r bench/requirements.txt")
        return None
    group = "peer"
    shingle = 4
    warm = CAPACITY + 44
    n = cfg.n_peer
    reps = cfg.reps_peer
    stream = make_stream(warm + shingle + n * reps, 1, seed=1000 + 10 + shingle)
    points = [np.asarray(p, dtype=float) for p in shingles(stream, shingle)]
    trees = [rrcf.RCTree() for _ in range(NUM_TREES)]
    state = {"index": 0}

    def insert_and_codisp(point):
        # The usual streaming loop of the rrcf documentation: forget the
        # oldest point once a tree is full, insert, then collusive
        # displacement of the new point averaged over the trees.
        index = state["index"]
        total = 0.0
        for tree in trees:
            if len(tree.leaves) >= CAPACITY:
                tree.forget_point(index - CAPACITY)
            tree.insert_point(point, index=index)
            total += tree.codisp(index) / NUM_TREES
        state["index"] = index + 1
        return total

    for p in points[:warm]:
        insert_and_codisp(p)
    pos = warm
    samples = []
    for _ in range(reps):
        chunk = points[pos: pos + n]
        pos += n
        samples.append(per_call_us(insert_and_codisp, [(p,) for p in chunk]))
    peer = table.add(group, "rrcf insert+codisp per point (d1 s4)", samples, "us/point",
                     note=f"{warm} warm-up points, then {reps} x {n} timed points (shorter stream: the peer is slow)")
    if our_step_us:
        ratio = peer / our_step_us
        table.rows.append({"group": group, "name": "speed-up, arbolet score-then-update vs rrcf", "unit": "x",
                           "median": ratio, "min": None, "max": None, "reps": 1, "note": ""})
        print(f"  {group:<12} {'speed-up vs rrcf':<42} {fmt(ratio):>12} x", flush=True)
        return ratio
    return None


# ----------------------------------------------------------------- mstream


def bench_mstream(table, cfg):
    group = "mstream 10+10"
    rng = random.Random(42)
    n = cfg.n_mstream
    reps = cfg.reps
    records = [([rng.gauss(0.0, 1.0) for _ in range(10)], [rng.randrange(8) for _ in range(10)])
               for _ in range(n)]
    out = {}
    for label, every in (("timestamp +1 every record", 1), ("timestamp +1 every 100 records", 100)):
        m = arbolet.MStream(10, 10, seed=3)
        clock = {"i": 0}

        def one_rep(_):
            args = []
            for num, cat in records:
                args.append((num, cat, 1 + clock["i"] // every))
                clock["i"] += 1
            return 1e6 / per_call_us(m.update_and_score, args)

        one_rep(0)  # warm-up: the sketches have seen the stream once
        out[every] = table.add(group, f"update_and_score, {label}", repeat(reps, one_rep), "records/s")
        if every == 100:
            ts = 1 + clock["i"] // every
            table.add(group, "score (preview) alone",
                      repeat(reps, lambda i: 1e6 / per_call_us(m.score, [(a, b, ts) for a, b in records])),
                      "records/s")
    return out


# ----------------------------------------------------------------- persistence


def bench_persistence(table, cfg, have_persist):
    group = "persistence"
    stream = make_stream(10_000, 8, seed=99)
    f = arbolet.Forest(8, seed=5)
    for row in stream:
        f.update(row)
    rng = random.Random(8)
    m = arbolet.MStream(10, 10, seed=5)
    for i in range(10_000):
        m.update([rng.gauss(0.0, 1.0) for _ in range(10)], [rng.randrange(8) for _ in range(10)], 1 + i // 100)
    reps = cfg.reps_persist
    for label, obj, cls in (("forest D=8, 10k updates", f, arbolet.Forest),
                            ("mstream 10+10, 10k records", m, arbolet.MStream)):
        if not have_persist:
            for op in ("to_json", "from_json", "pickle.dumps", "pickle.loads"):
                table.na(group, f"{label}: {op}", "ms", "to_json/from_json not available in this build")
        else:
            text = obj.to_json()
            blob = pickle.dumps(obj)
            table.add(group, f"{label}: document size", [len(text.encode())], "bytes")
            table.add(group, f"{label}: pickle size", [len(blob)], "bytes")
            table.add(group, f"{label}: to_json", repeat(reps, lambda i: timed_ms(obj.to_json)), "ms")
            table.add(group, f"{label}: from_json", repeat(reps, lambda i: timed_ms(lambda: cls.from_json(text))), "ms")
            table.add(group, f"{label}: pickle.dumps", repeat(reps, lambda i: timed_ms(lambda: pickle.dumps(obj))), "ms")
            table.add(group, f"{label}: pickle.loads", repeat(reps, lambda i: timed_ms(lambda: pickle.loads(blob))), "ms")
        if hasattr(obj, "to_bytes"):
            data = obj.to_bytes()
            table.add(group, f"{label}: bytes size", [len(data)], "bytes")
            table.add(group, f"{label}: to_bytes", repeat(reps, lambda i: timed_ms(obj.to_bytes)), "ms")
            table.add(group, f"{label}: from_bytes", repeat(reps, lambda i: timed_ms(lambda: cls.from_bytes(data))), "ms")
        # deepcopy copies field by field and does not need the document.
        try:
            table.add(group, f"{label}: copy.deepcopy", repeat(reps, lambda i: timed_ms(lambda: copy.deepcopy(obj))), "ms")
        except BaseException as e:
            if not is_failure(e):
                raise
            table.na(group, f"{label}: copy.deepcopy", "ms", f"{type(e).__name__}: {e}")
    if hasattr(arbolet.Forest, "to_bytes"):
        wide = arbolet.Forest(16, num_trees=100, capacity=256, seed=5)
        for row in make_stream(10_000, 16, seed=98):
            wide.update(row)
        label = "forest 100x256 D=16, 10k updates"
        table.add(group, f"{label}: document size", [len(wide.to_json().encode())], "bytes")
        table.add(group, f"{label}: bytes size", [len(wide.to_bytes())], "bytes")
    return f


def timed_ms(fn):
    gc.disable()
    try:
        t0 = CLOCK()
        fn()
        return (CLOCK() - t0) * 1e3
    finally:
        gc.enable()


# ----------------------------------------------------------------- memory


def forest_state_bytes(f, input_dim, shingle, updates, have_persist):
    """Raw size of the forest's state (points, nodes, boxes, samplers) and how it was obtained."""
    D = input_dim * shingle
    if have_persist:
        doc = json.loads(f.to_json())
        live_slots = internal = 0
        for tree in doc["trees"]:
            for node in tree["arena"]["nodes"]:
                if node is not None:
                    live_slots += 1
                    internal += "Internal" in node
        rows = doc["point_store"]["size"]
        sampler_entries = sum(s["capacity"] for s in doc["samplers"])
        how = "live counts read from the state document"
    else:
        live_slots = NUM_TREES * (2 * CAPACITY - 1)
        internal = NUM_TREES * (CAPACITY - 1)
        rows = min(updates, NUM_TREES * CAPACITY)
        sampler_entries = NUM_TREES * CAPACITY
        how = "estimated: full trees, one stored row per update (no document available)"
    parts = {
        "points": rows * (D * 4 + 8 + 1),          # values, reference count, occupied flag
        "nodes": live_slots * NODE_RECORD_BYTES,
        "boxes": internal * box_row_bytes(D),     # every internal node's: the most kept (box_min_points 2)
        "samplers": sampler_entries * (8 + 8),     # weight and point index
    }
    return parts, how, {"live_slots": live_slots, "internal": internal, "rows": rows}


def bench_memory(table, cfg, have_persist):
    group = "memory"
    count = cfg.n_forests
    updates = cfg.mem_updates
    stream = make_stream(updates, 8, seed=77)
    gc.collect()
    before = rss_bytes()
    forests = []
    for k in range(count):
        f = arbolet.Forest(8, seed=100 + k)
        for row in stream:
            f.update(row)
        forests.append(f)
    gc.collect()
    after = rss_bytes()
    per = (after - before) / count
    parts, how, counts = forest_state_bytes(forests[0], 8, 1, updates, have_persist)
    raw = sum(parts.values())
    table.add(group, f"RSS growth per forest (D=8, {count} forests)", [per], "bytes",
              note=f"{updates} updates each")
    for k, v in parts.items():
        table.add(group, f"raw state: {k}", [v], "bytes", note=how)
    table.add(group, "raw state total", [raw], "bytes", note=how)
    ratio = per / raw
    table.add(group, "RSS / raw state", [ratio], "x")
    del forests
    return ratio, per, raw, counts


# Resident memory per forest, measured in a fresh child process (freed memory
# stays resident in this one): `count` forests built by `make` (an
# expression in `k`, the forest's number), each fed `updates` rows of
# `dim` values with update_many.
_RSS_CHILD = """
import gc, os, random, sys, arbolet
count, updates, dim, make = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(5)
rows = [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(updates)]
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * page
gc.collect()
before = rss()
forests = []
for k in range(count):
    f = eval(make)
    if updates:
        f.update_many(rows)
    forests.append(f)
gc.collect()
print((rss() - before) / count, len(forests[0].to_bytes()) if hasattr(forests[0], "to_bytes") else 0)
"""


def rss_per_forest(make, count, updates, dim):
    """(resident bytes per forest, bytes of its to_bytes state), in a child process."""
    done = subprocess.run([sys.executable, "-c", _RSS_CHILD, str(count), str(updates), str(dim), make],
                          capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    per, state = done.stdout.split()
    return float(per), int(state)


MEMORY_CASES = [
    # (name, constructor, dim, forests measured: quick, full)
    ("default d1 s4 (50x256)", "arbolet.Forest(1, shingle_size=4, seed=k)", 1, 10, 40),
    ("30x64 d1 s4", "arbolet.Forest(1, shingle_size=4, num_trees=30, capacity=64, seed=k)", 1, 50, 200),
    ("100x256 d16", "arbolet.Forest(16, num_trees=100, seed=k)", 16, 3, 6),
    ("default d1 s4, box_min_points=8", "arbolet.Forest(1, shingle_size=4, seed=k, box_min_points=8)", 1, 10, 40),
    ("100x256 d16, box_min_points=16", "arbolet.Forest(16, num_trees=100, seed=k, box_min_points=16)", 16, 3, 6),
    # The least memory a default forest takes: no box that can be rebuilt is kept.
    ("default d1 s4, fewest boxes", "arbolet.Forest(1, shingle_size=4, seed=k, box_min_points=2**62)", 1, 10, 40),
]


def bench_memory_per_key(table, cfg):
    """Fresh and steady-state resident memory of the forests a keyed
    deployment holds, and how many fit in a GiB."""
    group = "memory"
    quick = cfg.mem_updates < 3000
    fresh, _ = rss_per_forest("arbolet.Forest(1, seed=k)", 500 if quick else 2000, 0, 1)
    table.add(group, "fresh default forest, resident", [fresh / 1024], "KiB")
    res = {"fresh": fresh}
    for name, make, dim, n_quick, n_full in MEMORY_CASES:
        try:
            per, state = rss_per_forest(make, n_quick if quick else n_full, cfg.mem_updates, dim)
        except RuntimeError as exc:  # a build without the setting
            table.na(group, f"{name}, {cfg.mem_updates} updates: resident", "KiB", str(exc).strip().splitlines()[-1])
            continue
        table.add(group, f"{name}, {cfg.mem_updates} updates: resident", [per / 1024], "KiB")
        table.add(group, f"{name}: state (to_bytes)", [state / 1024], "KiB")
        table.add(group, f"{name}: resident / state", [per / state], "x")
        if dim == 1:
            table.add(group, f"{name}: keys per GiB", [2**30 / per], "keys")
        res[name] = per
        res[name + ": state"] = state
    return res


def bench_keyed(table, cfg):
    """Many default forests in one process fed round-robin, as a keyed
    deployment feeds them, against one forest fed alone the same rows: the
    cost of a working set far beyond the caches."""
    group = "keyed"
    keys = 1_000 if cfg.mem_updates < 3000 else 10_000
    rounds = 20 if keys < 10_000 else 50
    stream = make_stream(rounds + keys, 1, seed=31)
    gc.collect()
    before = rss_bytes()
    forests = [arbolet.Forest(1, shingle_size=4, seed=k) for k in range(keys)]
    steps = [f.score_and_update for f in forests]
    gc.disable()
    try:
        t0 = CLOCK()
        for r in range(rounds):
            for k, step in enumerate(steps):
                step(stream[r + k])
        t1 = CLOCK()
    finally:
        gc.enable()
    gc.collect()
    per_key = (rss_bytes() - before) / keys
    round_robin = (t1 - t0) * 1e6 / (rounds * keys)
    del forests, steps
    alone = arbolet.Forest(1, shingle_size=4, seed=1)
    rows = [stream[r + k] for k in range(keys) for r in range(rounds)]
    # One forest the same number of times: mostly a full forest, where the
    # round-robin forests are young; so the ratio is a bound on the penalty.
    alone_us = per_call_us(alone.score_and_update, [(row,) for row in rows])
    table.add(group, f"{keys:,} default forests round-robin, {rounds} rounds", [round_robin], "us/update")
    table.add(group, "one forest fed alone, same rows", [alone_us], "us/update")
    table.add(group, "round-robin / alone", [round_robin / alone_us], "x")
    table.add(group, f"resident per key after {rounds} updates", [per_key / 1024], "KiB")
    return round_robin / alone_us


# ----------------------------------------------------------------- binding


def bench_binding(table, cfg):
    group = "binding"
    f = arbolet.Forest(4, num_trees=1, capacity=2, seed=1)
    for i in range(8):
        f.update([float(i), 1.0, 2.0, 3.0])
    point = [0.5, 1.5, 2.5, 3.5]
    n = cfg.n_binding
    res = {}
    res["list"] = table.add(group, "score, 1 tree, capacity 2, list of 4",
                            repeat(cfg.reps, lambda i: tight_us(f.score, point, n)), "us/call")
    if np is not None:
        for dt in ("float64", "float32"):
            arr = np.asarray(point, dtype=dt)
            res[dt] = table.add(group, f"score, 1 tree, capacity 2, numpy {dt}[4]",
                                repeat(cfg.reps, lambda i: tight_us(f.score, arr, n)), "us/call")
    table.add(group, "reference: num_trees() (no argument)",
              repeat(cfg.reps, lambda i: tight_us0(f.num_trees, n)), "us/call")
    table.add(group, "reference: empty Python loop iteration",
              repeat(cfg.reps, lambda i: tight_loop(n)), "us/iter")
    return res


def tight_us(fn, arg, n):
    gc.disable()
    try:
        t0 = CLOCK()
        for _ in range(n):
            fn(arg)
        return (CLOCK() - t0) * 1e6 / n
    finally:
        gc.enable()


def tight_us0(fn, n):
    gc.disable()
    try:
        t0 = CLOCK()
        for _ in range(n):
            fn()
        return (CLOCK() - t0) * 1e6 / n
    finally:
        gc.enable()


def tight_loop(n):
    t0 = CLOCK()
    for _ in range(n):
        pass
    return (CLOCK() - t0) * 1e6 / n


# ----------------------------------------------------------------- limit


def score_limit(table, forest, D, score_us, have_persist, reps, trees=NUM_TREES, group="score limit"):
    """Memory-and-arithmetic floor for one score at this D (see bench/README.md)."""
    if have_persist:
        doc = json.loads(forest.to_json())
        total_depth = 0.0
        total_mass = 0
        for tree in doc["trees"]:
            nodes = tree["arena"]["nodes"]
            root = tree["root"]
            if root >= len(nodes):
                continue
            stack = [(root, 0)]
            while stack:
                slot, depth = stack.pop()
                node = nodes[slot]
                if "Leaf" in node:
                    m = node["Leaf"]["mass"]
                    total_depth += m * depth
                    total_mass += m
                else:
                    stack.append((node["Internal"]["left"], depth + 1))
                    stack.append((node["Internal"]["right"], depth + 1))
        mean_depth = total_depth / max(total_mass, 1)
        how = "mass-weighted mean leaf depth from the document"
    else:
        # Mean leaf depth of a random binary tree of n leaves, 2(H_n - 1).
        mean_depth = 2.0 * (sum(1.0 / k for k in range(1, CAPACITY + 1)) - 1.0)
        how = "mean leaf depth assumed 2(H_256 - 1); no document available"
    internal_visits = trees * mean_depth
    node_bytes = NODE_RECORD_BYTES + box_row_bytes(D)       # record + min row + max row + range sum
    leaf_bytes = NODE_RECORD_BYTES + 4 * D                 # leaf record + its point row
    bytes_touched = internal_visits * node_bytes + trees * leaf_bytes
    bw = read_bandwidth(forest_working_set(D, trees), reps)
    mem_us = bytes_touched / bw * 1e6 if bw else None
    # Arithmetic per internal node on the fold: the box gap costs four
    # float operations per dimension (two compares, a subtraction, an add),
    # the separation probability and the fold about ten more, two of them
    # divisions. Counted at two scalar operations per cycle plus four cycles
    # per division (their throughput); each leaf adds a D-wide comparison
    # and two binary logarithms (~40 cycles).
    ghz = cpu_ghz()
    cycles = internal_visits * ((4 * D + 10) / 2.0 + 2 * 4) + trees * (D + 40)
    arith_us = cycles / (ghz * 1e3) if ghz else None
    # The two overlap on an out-of-order core: the floor is the larger.
    limit = max(mem_us or 0.0, arith_us or 0.0)
    table.add(group, "mean path length (internal nodes / tree)", [mean_depth], "nodes", note=how)
    table.add(group, "bytes touched per score", [bytes_touched], "bytes")
    table.add(group, "read bandwidth at the forest's working set", [bw / 1e9 if bw else None], "GB/s")
    table.add(group, "memory floor", [mem_us], "us")
    table.add(group, "arithmetic floor", [arith_us], "us", note=f"{ghz:.2f} GHz" if ghz else "")
    table.add(group, "limit = max(memory, arithmetic)", [limit], "us")
    table.add(group, "score / limit", [score_us / limit], "x")
    if mem_us:
        table.add(group, "score / memory floor alone", [score_us / mem_us], "x")
    return score_us / limit, limit


def forest_working_set(D, trees=NUM_TREES):
    slots = trees * (2 * CAPACITY + 4)
    return slots * (NODE_RECORD_BYTES + box_row_bytes(D))


def read_bandwidth(nbytes, reps):
    if np is None:
        return None
    a = np.ones(max(nbytes // 4, 1024), dtype=np.float32)
    a.sum()
    samples = []
    for _ in range(max(reps, 5)):
        t0 = CLOCK()
        for _ in range(20):
            a.sum()
        samples.append(20 * a.nbytes / (CLOCK() - t0))
    return statistics.median(samples)


def cpu_ghz():
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1]) / 1000.0
    except OSError:
        pass
    return None


# ----------------------------------------------------------------- main


class Config:
    def __init__(self, quick):
        self.reps = 3 if quick else 7
        # Past several 1/decay (2,560 updates) the samplers accept at their
        # steady rate; earlier they accept less often and updates look cheap.
        self.warm = 6000 if quick else 8000
        self.n_update = 300 if quick else 2000
        self.n_query = 300 if quick else 2000
        self.n_slow = 100 if quick else 500
        self.n_peer = 20 if quick else 100
        self.reps_peer = 3 if quick else 5
        self.n_mstream = 5_000 if quick else 50_000
        self.reps_persist = 3 if quick else 5
        self.n_forests = 20 if quick else 100
        self.mem_updates = 1000 if quick else 3000
        self.n_binding = 50_000 if quick else 500_000


def print_table(rows):
    print()
    print(f"{'group':<14}{'benchmark':<48}{'median':>14}  {'spread (min-max)':<24}unit")
    print("-" * 110)
    for r in rows:
        spread = ""
        if r["reps"] > 1 and r["min"] is not None:
            spread = f"{fmt(r['min'])} - {fmt(r['max'])}"
        print(f"{r['group']:<14}{r['name']:<48}{fmt(r['median']):>14}  {spread:<24}{r['unit']}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="short run with fewer repetitions")
    ap.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    ap.add_argument("--no-peer", action="store_true", help="skip the rrcf comparison")
    ap.add_argument("--cpu", type=int, default=None, help="CPU to pin to (default: the last allowed one)")
    ap.add_argument("--only", default=None,
                    help="comma list of sections: forest,throughput,peer,mstream,persistence,memory,keyed,binding")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="cpu: this thread's CPU time (default, robust on a shared machine); wall: elapsed time")
    args = ap.parse_args()
    global CLOCK
    CLOCK = time.thread_time if args.clock == "cpu" else time.perf_counter
    cfg = Config(args.quick)
    only = set(args.only.split(",")) if args.only else None

    def want(section):
        return only is None or section in only

    cpu = pin_one_cpu(args.cpu)
    have_persist = persistence_available()
    load_before = os.getloadavg()
    meta = {
        "arbolet_version": arbolet.__version__,
        "commit": git_commit(),
        "python": platform.python_version(),
        "cpu_model": cpu_model(),
        "pinned_cpu": cpu,
        "quick": args.quick,
        "clock": args.clock,
        "persistence": have_persist,
        "loadavg_before": load_before,
        "date": time.strftime("%Y-%m-%d %H:%M:%S"),
    }
    print(f"arbolet {meta['arbolet_version']} ({meta['commit']}), Python {meta['python']}, {meta['cpu_model']}, "
          f"pinned to CPU {cpu}, clock {args.clock}, load average {load_before[0]:.2f}")

    table = Table()
    targets = []
    forests = {}
    if want("forest") or want("peer"):
        configs = [(1, 4), (1, 8), (8, 4), (8, 8)] if want("forest") else [(1, 4)]
        for d, s in configs:
            forests[(d, s)] = bench_forest(table, d, s, cfg)
        main_cfg = forests[(1, 4)]
        targets.append(("score-then-update, 50x256, d1 s4", "<= 12 us", main_cfg["step"], main_cfg["step"] <= 12.0))
        ratio, limit = score_limit(table, main_cfg["forest"], 4, main_cfg["score"], have_persist, cfg.reps)
        targets.append(("score at D=4 vs memory+arithmetic limit", f"<= 3x of {limit:.2f} us", ratio, ratio <= 3.0))
    if want("throughput"):
        wide = bench_wide(table, cfg, have_persist)
        bench_wider(table, cfg)
        targets.append(("score-then-update, 100x256, d16 s1, 1 thread", "<= 35 us", wide["step"], wide["step"] <= 35.0))
        if wide.get("two_threads") is not None:
            targets.append(("score_and_update 100x256 d16, 2 threads / 1", "<= 0.6x", wide["two_threads"],
                            wide["two_threads"] <= 0.6))
        targets.append(("score at D=16 (100 trees) vs its limit", f"(limit {wide['limit']:.2f} us)",
                        wide["limit_ratio"], True))
        if (1, 4) in forests:
            step = forests[(1, 4)]["step"]
            targets.append(("score-then-update, 50x256, d1 s4", "<= 11 us", step, step <= 11.0))
        loop, many = bench_batches(table, cfg, forests.get((1, 4)))
        targets.append(("score_and_update_many / loop, d1 s4", "<= 1x", many / loop, many <= loop))
        two = two_python_threads(table, cfg)
        if two is not None:
            targets.append(("2 Python threads / 1, own default forests", ">= 1.8x", two, two >= 1.8))
        ms_many = bench_mstream_many(table, cfg)
        targets.append(("MStream 10+10 update_and_score_many, ts/100", ">= 1,200,000 rec/s", ms_many,
                        ms_many >= 1.2e6))
    if want("peer") and not args.no_peer:
        r = bench_peer(table, forests[(1, 4)]["step"], cfg)
        if r is not None:
            targets.append(("speed-up vs rrcf, d1 s4", ">= 500x", r, r >= 500.0))
    if want("mstream"):
        ms = bench_mstream(table, cfg)
        targets.append(("MStream 10+10, ts every 100 records", ">= 500,000 rec/s", ms[100], ms[100] >= 5e5))
        targets.append(("MStream 10+10, ts every record", ">= 250,000 rec/s", ms[1], ms[1] >= 2.5e5))
    if want("binding"):
        b = bench_binding(table, cfg)
        targets.append(("binding: score, 4-value list", "< 1 us", b["list"], b["list"] < 1.0))
    if want("persistence"):
        bench_persistence(table, cfg, have_persist)
    if want("memory"):
        ratio, per, raw, _ = bench_memory(table, cfg, have_persist)
        targets.append(("RSS per default forest / raw state", "<= 1.5x", ratio, ratio <= 1.5))
        mem = bench_memory_per_key(table, cfg)
        targets.append(("fresh default forest, resident", "<= 16 KiB", mem["fresh"] / 1024, mem["fresh"] <= 16 * 1024))
        s4 = mem[MEMORY_CASES[0][0]]
        targets.append(("default d1 s4 after updates, resident", "<= 600 KiB", s4 / 1024, s4 <= 600 * 1024))
        wide_mem = mem[MEMORY_CASES[2][0]]
        targets.append(("100x256 d16 after updates, resident", "<= 2.5 MiB", wide_mem / 2**20, wide_mem <= 2.5 * 2**20))
        fewest = MEMORY_CASES[-1][0]
        if fewest in mem:
            ratio = mem[fewest] / mem[fewest + ": state"]
            targets.append(("default d1 s4, fewest boxes: resident / state", "<= 2x", ratio, ratio <= 2.0))
    if want("keyed"):
        keyed_ratio = bench_keyed(table, cfg)
        targets.append(("keyed round-robin / one forest alone", "(report)", keyed_ratio, True))

    meta["loadavg_after"] = os.getloadavg()
    print_table(table.rows)
    print()
    print("Targets")
    for name, goal, value, ok in targets:
        print(f"  {'met ' if ok else 'MISS'}  {name:<44} {fmt(value):>12}   target {goal}")
    la = meta["loadavg_after"]
    print(f"\nload average before {load_before[0]:.2f}, after {la[0]:.2f} (machine has {os.cpu_count()} CPUs)")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"meta": meta, "results": table.rows,
                       "targets": [{"name": n, "target": g, "value": v, "met": ok} for n, g, v, ok in targets]},
                      fh, indent=2)
        print(f"wrote {args.json}")


if __name__ == "__main__":
    sys.exit(main())
