#!/usr/bin/env python3
"""Detection quality of the library's defaults, on data its settings were not chosen on.

    python bench/quality.py                      # every section below
    python bench/quality.py --only nab           # NAB tool runs: Monitor, Forest + Thresholder
    python bench/quality.py --only loco          # the Monitor's settings, each category held out
    python bench/quality.py --only metrics,events,cost

Sections:
- nab: the NAB subset tool (`evaluate.py`, NAB's data, labels and scorer) on `detect` (the Monitor at
  its defaults) and on Forest(1, shingle_size=S) with Thresholder.for_forest at S = 1, 4, 8; "grade"
  hands the grade to NAB, whose optimiser picks the cut-off; "decision" hands 1.0 where the grade is
  above 0, else 0: what a user gets.
- loco: the Monitor's settings chosen by leave-one-category-out over a grid around the defaults,
  scored with NAB's own sweeper (bench/nab_sweep.py): for each category, the setting best on the
  other five (mean of the three profiles), its in-sample figure and the held-out category's.
- metrics: `detect_metrics` on service metrics made here (bench/quality_streams.py), per kind of
  anomaly, at min_grade 0 (default), 0.2 and 0.4.
- events: `detect_events` (MStream with Thresholder.for_mstream) on a login log made here.
- cost: microseconds per step of Monitor.update and of the default forest's score_and_update.

The NAB tool needs numpy, pandas and simplejson; it is found at --nab, else $ARBOLET_NAB, else
../shared/quality/nab next to the checkout. `evaluate.py --detector bench/quality.py` scores
`detect`, exactly what a user of the defaults gets.
"""

from __future__ import annotations

import argparse
import itertools
import math
import os
import re
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from datetime import datetime, timezone
from pathlib import Path

import arbolet

HERE = Path(__file__).resolve()
sys.path.insert(0, str(HERE.parent))
from quality_streams import event_stream, judge, metrics_stream  # noqa: E402

SEED = 12345
SHINGLES = (1, 4, 8)
LAST_LINE = re.compile(r"NAB \w+: standard (\S+), low_fp (\S+), low_fn (\S+)")


# ---- the library's recommended defaults, as a user runs them ------------------------------

def seconds(timestamps) -> list[int]:
    """Timestamps as written in NAB's files, in seconds; a step back in time (a clock put back)
    keeps the time before, as a live feed would have to."""
    out, last = [], 0
    for text in timestamps:
        t = int(datetime.fromisoformat(str(text)).replace(tzinfo=timezone.utc).timestamp())
        last = max(last, t)
        out.append(last)
    return out


def detect(values, timestamps):
    """One univariate stream: the Monitor's grade per value."""
    return arbolet.Monitor(seed=SEED).update_many(values, seconds(timestamps))["grade"]


def detect_metrics(values, timestamps):
    """A multivariate stream (T x d floats, T integer timestamps in seconds)."""
    return arbolet.Monitor(input_dim=len(values[0]), seed=SEED).update_many(values, timestamps)["grade"]


def detect_events(records):
    """Records: ``numeric`` N x k floats, ``categorical`` N x c codes, ``timestamps`` N integers."""
    detector = arbolet.MStream(len(records["numeric"][0]), len(records["categorical"][0]), seed=SEED)
    thresholder = arbolet.Thresholder.for_mstream(detector)
    scores = detector.update_and_score_many(records["numeric"], records["categorical"], records["timestamps"])
    return thresholder.update_many(scores)


def _forest_detector(shingle: int, decision: bool):
    def run(values, timestamps):
        forest = arbolet.Forest(1, shingle_size=shingle, seed=SEED)
        thresholder = arbolet.Thresholder.for_forest(forest)
        grades = thresholder.update_many(forest.score_and_update_many([[float(v)] for v in values]))
        return [1.0 if g > 0.0 else 0.0 for g in grades] if decision else grades
    return run


def detect_decision(values, timestamps):
    return [1.0 if g > 0.0 else 0.0 for g in detect(values, timestamps)]


def _monitor_decision(shingle: int):
    def run(values, timestamps):
        grades = arbolet.Monitor(shingle_size=shingle, seed=SEED).update_many(values, seconds(timestamps))["grade"]
        return [1.0 if g > 0.0 else 0.0 for g in grades]
    return run


for _shingle in SHINGLES:
    globals()[f"forest_grade_{_shingle}"] = _forest_detector(_shingle, False)
    globals()[f"forest_decision_{_shingle}"] = _forest_detector(_shingle, True)
    globals()[f"monitor_decision_{_shingle}"] = _monitor_decision(_shingle)


# ---- NAB ------------------------------------------------------------------------------------

def nab_folder(given: str | None) -> Path:
    for candidate in (given, os.environ.get("ARBOLET_NAB"), HERE.parents[2] / "shared" / "quality" / "nab"):
        if candidate and (Path(candidate) / "evaluate.py").is_file():
            return Path(candidate)
    sys.exit("quality.py: no NAB tool found (give --nab DIR or set ARBOLET_NAB)")


def run_nab(nab: Path, function: str) -> tuple[float, float, float]:
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, str(nab / "evaluate.py"), "--detector", f"{HERE}:{function}"],
                          capture_output=True, text=True, env=env)
    found = LAST_LINE.search(done.stdout)
    if done.returncode != 0 or not found:
        sys.exit(f"quality.py: {function} failed\n{done.stdout}\n{done.stderr}")
    return tuple(float(x) for x in found.groups())  # type: ignore[return-value]


def row(cells) -> None:
    print("| " + " | ".join(c if isinstance(c, str) else f"{c:.1f}" for c in cells) + " |", flush=True)


def nab_section(nab: Path) -> None:
    print("NAB subset (39 files, 79 windows), NAB's scorer; grade: NAB picks the cut-off, decision: grade > 0")
    print("| detector | output | Standard | Reward-Low-FP | Reward-Low-FN |\n|---|---|---:|---:|---:|")
    row(["Monitor() defaults", "grade", *run_nab(nab, "detect")])
    row(["Monitor() defaults", "decision", *run_nab(nab, "detect_decision")])
    for s in SHINGLES:
        if s != 4:  # the default
            row([f"Monitor(shingle_size={s})", "decision", *run_nab(nab, f"monitor_decision_{s}")])
    for s in SHINGLES:
        for output in ("grade", "decision"):
            row([f"Forest(1, shingle_size={s}) + Thresholder.for_forest", output, *run_nab(nab, f"forest_{output}_{s}")])


# ---- leave one category out ----------------------------------------------------------------

GRID = {"quantile": (0.995, 0.999), "peak_window": (500, 1000), "range_margin": (0.02, 0.05),
        "suppression": (20, 50), "season_margin": (0.1, 0.2, 1e9)}


def _monitor_grades(job):
    settings, name, values, stamps = job
    return name, arbolet.Monitor(seed=SEED, **settings).update_many(values, stamps)["grade"]


def loco_section(nab: Path) -> None:
    from nab_sweep import Corpus
    corpus = Corpus(nab)
    stamps = {f: seconds(corpus.files[f]["stamps"]) for f in corpus.names}
    table = []
    with ProcessPoolExecutor(2) as pool:
        for combo in itertools.product(*GRID.values()):
            settings = dict(zip(GRID, combo))
            jobs = [(settings, f, corpus.files[f]["values"], stamps[f]) for f in corpus.names]
            decisions = {f: [1.0 if g > 0 else 0.0 for g in grades] for f, grades in pool.map(_monitor_grades, jobs)}
            table.append((settings, decisions))
            print(".", end="", flush=True, file=sys.stderr)
    mean = lambda xs: sum(xs) / len(xs)  # noqa: E731
    print("\nThe Monitor's settings by leave-one-category-out (decision alone; chosen by the mean of the three "
          f"profiles over {len(table)} settings; 1e9 turns the seasonal test off)")
    print("| held out | chosen on the other five | in sample S / LFP / LFN | held out S / LFP / LFN |")
    print("|---|---|---|---|")
    for held in corpus.categories:
        rest = corpus.of([c for c in corpus.categories if c != held])
        settings, decisions = max(table, key=lambda t: mean(corpus.scores(t[1], rest)))
        inside = corpus.scores(decisions, rest)
        if held == "artificialNoAnomaly":  # no window to find: count its alarms
            alarms = sum(sum(decisions[f]) for f in corpus.of([held]))
            outside = f"{alarms:.0f} alarms (no anomaly to find)"
        else:
            outside = " / ".join(f"{x:.1f}" for x in corpus.scores(decisions, corpus.of([held])))
        print(f"| {held} | {settings} | " + " / ".join(f"{x:.1f}" for x in inside) + f" | {outside} |")
    settings, decisions = max(table, key=lambda t: mean(corpus.scores(t[1], corpus.names)))
    print("Chosen on all six:", settings, " / ".join(f"{x:.1f}" for x in corpus.scores(decisions, corpus.names)))


# ---- streams made here -----------------------------------------------------------------------

def metrics_section(seeds=range(1, 6)) -> None:
    print("Service metrics (4 per step, 14 days of minutes, 7 anomalies of 7 kinds per stream, benign deploy steps), "
          f"{len(seeds)} streams; found: an alarm from the start to 30 steps after the end")
    print("| min_grade | events found | alarm episodes true | false alarms per 1,000 steps | missed kinds |")
    print("|---:|---:|---:|---:|---|")
    streams = [metrics_stream(seed) for seed in seeds]
    for min_grade in (0.0, 0.2, 0.4):
        found = total = episodes = true = 0
        false = 0.0
        missed: dict[str, int] = {}
        for rows, stamps, events in streams:
            monitor = arbolet.Monitor(input_dim=len(rows[0]), seed=SEED, min_grade=min_grade)
            grades = monitor.update_many(rows, stamps)["grade"]
            alarms = [i for i, g in enumerate(grades) if g > 0.0]
            r = judge(alarms, events, len(rows), slack=30, gap=30)
            found, total, episodes, true = found + r["found"], total + r["events"], episodes + r["episodes"], true + r["true"]
            false += r["false_per_1000"] / len(streams)
            for e in events:
                if not any(e.start <= t <= e.end + 30 for t in alarms):
                    missed[e.kind] = missed.get(e.kind, 0) + 1
        share = 100.0 * true / episodes if episodes else 100.0
        print(f"| {min_grade} | {found}/{total} | {true}/{episodes} ({share:.0f} %) | {false:.2f} | "
              + (", ".join(f"{k} {n}" for k, n in sorted(missed.items())) or "none") + " |", flush=True)


def events_section(seeds=range(1, 11)) -> None:
    """Thresholder.for_mstream's settings were chosen on the logs of seeds 11 to 20; these are others."""
    print("Login log (6,000 minutes, about 8 records a minute, 8 events: floods, new categories, surges, rare "
          f"values), {len(seeds)} logs not used to choose the settings, MStream(2, 3) with Thresholder.for_mstream")
    print("| log | events found | alarm episodes true | false alarms per 1,000 minutes | missed |\n|---:|---:|---:|---:|---|")
    found = total = 0
    false = 0.0
    for seed in seeds:
        records, events = event_stream(seed)
        grades = detect_events(records)
        alarm_minutes = sorted({records["timestamps"][i] for i, g in enumerate(grades) if g > 0.0})
        r = judge(alarm_minutes, events, records["timestamps"][-1] + 1, slack=5, gap=10)
        missed = [e.kind for e in events if not any(e.start <= t <= e.end + 5 for t in alarm_minutes)]
        found, total, false = found + r["found"], total + r["events"], false + r["false_per_1000"] / len(seeds)
        print(f"| {seed} | {r['found']}/{r['events']} | {r['true']}/{r['episodes']} | {r['false_per_1000']:.2f} | "
              f"{', '.join(missed) or 'none'} |", flush=True)
    print(f"| all | {found}/{total} | | {false:.2f} (mean) | |", flush=True)


def cost_section(steps: int = 20000) -> None:
    import random
    rng = random.Random(1)
    values = [rng.gauss(0.0, 1.0) for _ in range(steps)]
    forest, monitor = arbolet.Forest(1, seed=SEED), arbolet.Monitor(seed=SEED)
    start = time.perf_counter()
    for v in values:
        forest.score_and_update([v])
    per_forest = (time.perf_counter() - start) / steps * 1e6
    start = time.perf_counter()
    for v in values:
        monitor.update(v)
    per_monitor = (time.perf_counter() - start) / steps * 1e6
    print(f"Cost per step over {steps} steps: Forest(1).score_and_update {per_forest:.1f} us, "
          f"Monitor().update {per_monitor:.1f} us ({per_monitor / per_forest:.2f}x)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--nab", help="the NAB subset tool folder (holding evaluate.py)")
    ap.add_argument("--only", default="nab,loco,metrics,events,cost",
                    help="comma-separated sections: nab, loco, metrics, events, cost")
    args = ap.parse_args()
    sections = set(args.only.split(","))
    if "nab" in sections:
        nab_section(nab_folder(args.nab))
    if "loco" in sections:
        loco_section(nab_folder(args.nab))
    if "metrics" in sections:
        metrics_section()
    if "events" in sections:
        events_section()
    if "cost" in sections:
        cost_section()


if __name__ == "__main__":
    main()
