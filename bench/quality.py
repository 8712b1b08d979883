#!/usr/bin/env python3
"""Detection quality: the Forest with a Thresholder at its defaults, measured with the
NAB subset tool (data, labels and scorer of the Numenta Anomaly Benchmark), and MStream with
a Thresholder on a labelled record stream made here.

    python bench/quality.py                      # Forest at shingle 1, 4, 8 and MStream
    python bench/quality.py --shingles 1 --baseline
    python bench/quality.py --nab PATH/quality/nab --only mstream
    python bench/quality.py --only forest --seeds 1 2 3 4 5 7 12345

For every shingle size two NAB runs: "grade" hands the thresholder's grade to NAB, whose
optimiser picks the best cut-off on it per profile; "alarm" hands 1.0 where the grade is above
0, else 0, so it measures the thresholder's own decision. `--baseline` adds the plain mapping
min(raw / log2(capacity + 1), 1) for comparison. `--seeds` repeats the forest runs for other
forest seeds and adds their mean: the subset has 39 windows, so one seed's figures move by a
window's worth (about 2.4) when the forest's draws change. The NAB tool needs numpy, pandas and
simplejson and takes about 15 s of scoring per run; it is found at --nab, else $ARBOLET_NAB,
else ../shared/quality/nab next to the checkout.
"""

from __future__ import annotations

import argparse
import math
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import arbolet

HERE = Path(__file__).resolve()
NUM_TREES, CAPACITY, SEED = 50, 256, 12345
# The NAB tool imports this file afresh in its own process: another forest seed reaches it from
# the environment.
FOREST_SEED = int(os.environ.get("ARBOLET_QUALITY_SEED", str(SEED)))
SHINGLES = (1, 4, 8)
LAST_LINE = re.compile(r"NAB \w+: standard (\S+), low_fp (\S+), low_fn (\S+)")


# ---- detectors for the NAB tool (called once per file, fresh state each time) ----------

def _forest_detector(shingle: int, output: str):
    def detect(values, timestamps):
        forest = arbolet.Forest(1, shingle_size=shingle, num_trees=NUM_TREES, capacity=CAPACITY,
                                seed=FOREST_SEED)
        if output == "raw":
            ceiling = math.log2(CAPACITY + 1)
            scores = []
            for v in values:
                ready = forest.is_ready()
                raw = forest.score_and_update([float(v)])
                scores.append(min(raw / ceiling, 1.0) if ready else 0.0)
            return scores
        thresholder = arbolet.Thresholder.for_forest(forest)
        grades = [thresholder.update(forest.score_and_update([float(v)])) for v in values]
        return grades if output == "grade" else [1.0 if g > 0.0 else 0.0 for g in grades]
    return detect


for _shingle in SHINGLES:
    for _output in ("grade", "alarm", "raw"):
        globals()[f"detect_{_output}_{_shingle}"] = _forest_detector(_shingle, _output)


def nab_folder(given: str | None) -> Path:
    for candidate in (given, os.environ.get("ARBOLET_NAB"), HERE.parents[2] / "shared" / "quality" / "nab"):
        if candidate and (Path(candidate) / "evaluate.py").is_file():
            return Path(candidate)
    sys.exit("quality.py: no NAB tool found (give --nab DIR or set ARBOLET_NAB)")


def run_nab(nab: Path, function: str, seed: int = SEED) -> tuple[float, float, float]:
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", ARBOLET_QUALITY_SEED=str(seed))
    done = subprocess.run([sys.executable, str(nab / "evaluate.py"), "--detector", f"{HERE}:{function}"],
                          capture_output=True, text=True, env=env)
    found = LAST_LINE.search(done.stdout)
    if done.returncode != 0 or not found:
        sys.exit(f"quality.py: {function} failed\n{done.stdout}\n{done.stderr}")
    return tuple(float(x) for x in found.groups())  # type: ignore[return-value]


def forest_section(nab: Path, shingles: list[int], baseline: bool, seeds: list[int]) -> None:
    shown = ", ".join(map(str, seeds))
    print(f"Forest(1, shingle_size=S, num_trees={NUM_TREES}, capacity={CAPACITY}, seed={shown}), "
          "score_and_update; NAB subset, 19 files")
    print("| shingle | output | Standard | Reward-Low-FP | Reward-Low-FN |")
    print("|---:|---|---:|---:|---:|")
    outputs = (["raw"] if baseline else []) + ["grade", "alarm"]
    names = {"raw": "raw / log2(257)", "grade": "Thresholder grade", "alarm": "Thresholder alarm (0/1)"}

    def row(shingle: int, label: str, figures) -> None:
        print(f"| {shingle} | {label} | " + " | ".join(f"{x:.2f}" for x in figures) + " |", flush=True)

    for shingle in shingles:
        for output in outputs:
            runs = []
            for seed in seeds:
                runs.append(run_nab(nab, f"detect_{output}_{shingle}", seed))
                if len(seeds) > 1:
                    row(shingle, f"{names[output]}, seed {seed}", runs[-1])
            mean = [sum(r[i] for r in runs) / len(runs) for i in range(3)]
            row(shingle, names[output] + (f", mean of {len(seeds)} seeds" if len(seeds) > 1 else ""), mean)


# ---- MStream: a labelled record stream -----------------------------------------------

def record_stream(seed: int = 5):
    """Records of (bytes, latency) and (source, category) at timestamps 1 to 3000, 8 a tick.
    Labelled events of 15 ticks each: bursts of a category that is otherwise rare, and
    floods of one source. Returns the records and the (first, last) timestamps of each event."""
    rng = random.Random(seed)
    events = [(501 + 400 * k, 515 + 400 * k, "burst" if k % 2 == 0 else "flood") for k in range(6)]
    records = []
    for tick in range(3000):
        kind = next((e[2] for e in events if e[0] <= tick + 1 <= e[1]), None)
        for _ in range(8):
            source, category = rng.randrange(50), rng.choice((0, 0, 0, 1, 1, 2))
            if rng.random() < 0.002:
                category = 9  # the rare category, now and then
            if kind == "burst" and rng.random() < 0.5:
                category = 9
            records.append(([rng.gauss(500, 50), rng.expovariate(1 / 20)], [source, category], tick + 1))
        if kind == "flood":
            records.extend(([rng.gauss(500, 50), rng.expovariate(1 / 20)], [7, 0], tick + 1) for _ in range(24))
    return records, [(a, b) for a, b, _ in events]


def mstream_section() -> None:
    records, events = record_stream()
    print(f"MStream(2, 2) on {len(records)} records with {len(events)} labelled events "
          "(3 bursts of a rare category, 3 floods of one source)")
    print("| thresholder fed with | events found | ticks from start to first alarm | alarms | false alarms |")
    print("|---|---:|---|---:|---:|")
    variants = (("score, Thresholder()", lambda s: s, {}),
                ("score, Thresholder(horizon=5000)", lambda s: s, {"horizon": 5000}),
                ("log1p(score), Thresholder()", math.log1p, {}),
                ("log1p(score), Thresholder(horizon=5000)", math.log1p, {"horizon": 5000}))
    for name, transform, settings in variants:
        detector = arbolet.MStream(2, 2, seed=SEED)
        thresholder = arbolet.Thresholder(**settings)
        alarms = [tick for numeric, categorical, tick in records
                  if thresholder.update(transform(detector.update_and_score(numeric, categorical, tick))) > 0.0]
        delays = [next((t - first for t in alarms if first <= t <= last), None) for first, last in events]
        # an alarm up to 5 ticks after an event still belongs to it
        false = sum(1 for t in alarms if not any(a <= t <= b + 5 for a, b in events))
        found = sum(d is not None for d in delays)
        shown = ", ".join("-" if d is None else str(d) for d in delays)
        print(f"| {name} | {found}/{len(events)} | {shown} | {len(alarms)} | {false} |")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--nab", help="the NAB subset tool folder (holding evaluate.py)")
    ap.add_argument("--shingles", type=int, nargs="+", default=list(SHINGLES), choices=SHINGLES)
    ap.add_argument("--baseline", action="store_true", help="also the plain raw / log2(capacity + 1) mapping")
    ap.add_argument("--seeds", type=int, nargs="+", default=[SEED], help="forest seeds (default 12345)")
    ap.add_argument("--only", choices=("forest", "mstream"))
    args = ap.parse_args()
    if args.only != "mstream":
        forest_section(nab_folder(args.nab), args.shingles, args.baseline, args.seeds)
    if args.only != "forest":
        mstream_section()


if __name__ == "__main__":
    main()
