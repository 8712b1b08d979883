"""Find the anomalies in a noisy seasonal metric with a Random Cut Forest.

The stream is generated here: a daily-looking sine wave with noise, into which
three spikes, a level shift and a dropout (the sensor reads 0 for a while) are
injected. Each value is scored against the forest *before* the forest learns
it (one call, `score_and_update`), and an `arbolet.Thresholder` turns the raw
scores into alarms with a grade in (0, 1]: one alarm per event, where it
begins. The output is the same on every run.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

import arbolet

SHINGLE = 4  # consecutive values that form one point: the forest sees shapes, not levels
LENGTH = 2500
PERIOD = 48


@dataclass
class Injected:
    name: str
    start: int
    end: int  # exclusive


def make_stream(seed: int) -> tuple[list[float], list[Injected]]:
    rng = random.Random(seed)
    values = [10.0 + 3.0 * math.sin(2.0 * math.pi * t / PERIOD) + rng.gauss(0.0, 0.25) for t in range(LENGTH)]
    injected: list[Injected] = []
    for t in (600, 1100, 2200):
        values[t] += 6.0
        injected.append(Injected("spike", t, t + 1))
    for t in range(1500, LENGTH):
        values[t] += 4.0
    injected.append(Injected("level shift", 1500, 1501))
    for t in range(1900, 1915):
        values[t] = 0.0
    injected.append(Injected("dropout", 1900, 1915))
    return values, injected


def main() -> None:
    values, injected = make_stream(seed=2024)
    forest = arbolet.Forest(1, shingle_size=SHINGLE, seed=42)
    # Suppresses repeats within one shingle and ignores raw scores below
    # log2(capacity + 1) / 4, so one event gives one alarm.
    thresholder = arbolet.Thresholder.for_forest(forest)

    events: list[tuple[int, float]] = []  # (alarm position, grade)
    for t, value in enumerate(values):
        # Score, then learn, in one call: the score says how unusual the
        # window ending with this value is for the forest as it stood; the
        # thresholder turns it into a grade, 0.0 unless the step alarms.
        grade = thresholder.update(forest.score_and_update([value]))
        if grade > 0.0:
            events.append((t, grade))

    print(f"scored {len(values)} values; {len(events)} alarms:")
    caught: set[int] = set()
    false_alarms = 0
    for start, grade in events:
        label = "false alarm"
        for i, item in enumerate(injected):
            # A value stays in the shingle for SHINGLE steps, so an alarm may
            # come up to that long after the injected change ends.
            if item.start <= start < item.end + SHINGLE:
                caught.add(i)
                label = item.name
                if item.end - item.start > SHINGLE:
                    # A long change is unusual where it begins and again
                    # where it ends (the values come back).
                    label += " begins" if start < item.start + SHINGLE else " ends"
        false_alarms += label == "false alarm"
        print(f"  t={start:5d}  grade={grade:4.2f}  {label}")
    print(f"caught {len(caught)} of {len(injected)} injected anomalies; {false_alarms} false alarms")

if __name__ == "__main__":
    main()
