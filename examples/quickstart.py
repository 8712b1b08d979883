"""Find the anomalies in a noisy seasonal metric with a Random Cut Forest.

The stream is generated here: a daily-looking sine wave with noise, into which
three spikes, a level shift and a dropout (the sensor reads 0 for a while) are
injected. Each value is scored against the forest *before* the forest learns
it (one call, `score_and_update`), and a running threshold (mean + 5 standard
deviations of the recent normal scores) turns scores into alarms. Alarms
closer together than one shingle are one event; the dropout gives two, where
it begins and where it ends. The output is the same on every run.
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


class RunningThreshold:
    """Flags scores far above the recent typical score.

    Keeps an exponentially weighted mean and variance of the scores that were
    *not* flagged, so an anomaly does not raise the bar for the next one.
    """

    def __init__(self, sigmas: float = 5.0, weight: float = 0.01, warmup: int = 150) -> None:
        self.sigmas = sigmas
        self.weight = weight
        self.warmup = warmup
        self.count = 0
        self.mean = 0.0
        self.var = 0.0

    @property
    def level(self) -> float:
        return self.mean + self.sigmas * math.sqrt(self.var)

    def is_anomaly(self, score: float) -> bool:
        flagged = self.count >= self.warmup and score > self.level
        if not flagged:
            self.count += 1
            delta = score - self.mean
            self.mean += delta / self.count if self.count < 1 / self.weight else self.weight * delta
            self.var = (1.0 - self.weight) * (self.var + self.weight * delta * delta)
        return flagged


def main() -> None:
    values, injected = make_stream(seed=2024)
    forest = arbolet.Forest(1, shingle_size=SHINGLE, seed=42)
    threshold = RunningThreshold()

    events: list[tuple[int, float]] = []  # (first flagged position, peak score)
    last_flag = -(10**9)
    for t, value in enumerate(values):
        # Score, then learn, in one call: the score says how unusual the
        # window ending with this value is for the forest as it stood.
        score = forest.score_and_update([value])
        if forest.is_ready() and threshold.is_anomaly(score):
            if t - last_flag > SHINGLE:
                events.append((t, score))
            else:
                start, peak = events[-1]
                events[-1] = (start, max(peak, score))
            last_flag = t

    print(f"scored {len(values)} values; the alarms form {len(events)} events:")
    caught: set[int] = set()
    false_alarms = 0
    for start, peak in events:
        label = "false alarm"
        for i, item in enumerate(injected):
            # A value stays in the shingle for SHINGLE steps, so an event may
            # start up to that long after the injected change ends.
            if item.start <= start < item.end + SHINGLE:
                caught.add(i)
                label = item.name
                if item.end - item.start > SHINGLE:
                    # A long change is unusual where it begins and again
                    # where it ends (the values come back).
                    label += " begins" if start < item.start + SHINGLE else " ends"
        false_alarms += label == "false alarm"
        print(f"  t={start:5d}  peak score={peak:5.2f}  {label}")
    print(f"caught {len(caught)} of {len(injected)} injected anomalies; {false_alarms} false alarms")

if __name__ == "__main__":
    main()
