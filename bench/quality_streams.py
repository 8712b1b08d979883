"""Labelled streams made here for the detection-quality bench: metrics of a service (for the
Monitor) and an event log (for MStream), each with injected anomalies of several kinds and benign
changes that are not anomalies. Deterministic for a seed; no NumPy needed."""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

DAY = 1440  # one-minute steps


@dataclass
class Event:
    kind: str
    start: int  # first step (or timestamp) of the anomaly
    end: int  # last one


def metrics_stream(seed: int, steps: int = 14 * DAY) -> tuple[list[list[float]], list[int], list[Event]]:
    """Four metrics of one host at one-minute steps: requests (a daily cycle, Poisson counts),
    latency (heavy-tailed, rising with load), errors (counts, a share of requests) and CPU (tracking
    requests). A small benign deploy step every two days. Seven labelled anomalies, one of each kind,
    in random order after the first two days. Returns the rows, the timestamps (seconds) and the
    events."""
    rng = random.Random(seed)
    kinds = ["spike", "level shift", "variance burst", "stuck sensor", "seasonality break",
             "correlation break", "slow ramp"]
    rng.shuffle(kinds)
    span = (steps - 2 * DAY) // len(kinds)
    events = []
    for k, kind in enumerate(kinds):
        start = 2 * DAY + k * span + rng.randrange(span // 4, span // 2)
        length = {"spike": 1, "level shift": 240, "variance burst": 60, "stuck sensor": 120,
                  "seasonality break": 360, "correlation break": 120, "slow ramp": 300}[kind]
        events.append(Event(kind, start, start + length - 1))
    phase = rng.uniform(0, 2 * math.pi)
    base = rng.uniform(200, 600)
    deploy_latency, deploy_cpu = 0.0, 0.0
    rows: list[list[float]] = []
    stuck_cpu = None
    for t in range(steps):
        if t > 0 and t % (2 * DAY) == 600:  # a benign deploy: small steps up or down
            deploy_latency += rng.choice((-1, 1)) * rng.uniform(1.0, 2.5)
            deploy_cpu += rng.choice((-1, 1)) * rng.uniform(0.5, 1.5)
        active = {e.kind: e for e in events if e.start <= t <= e.end}
        cycle = 1.0 + 0.5 * math.sin(2 * math.pi * t / DAY + phase)
        if "seasonality break" in active:
            cycle = 1.0 + 0.5 * math.sin(2 * math.pi * (t + DAY // 2) / DAY + phase)
        rate = base * cycle
        requests = _poisson(rng, rate)
        latency = 40.0 + 0.02 * requests + deploy_latency + rng.lognormvariate(1.5, 0.6)
        if "variance burst" in active:
            latency += rng.lognormvariate(3.2, 0.9)
        if "spike" in active:
            latency *= 6.0
        error_rate = 0.002
        if "slow ramp" in active:
            e = active["slow ramp"]
            error_rate *= 1.0 + 14.0 * (t - e.start) / (e.end - e.start)
        errors = _poisson(rng, error_rate * requests)
        cpu = 10.0 + 0.06 * requests + deploy_cpu + rng.gauss(0.0, 1.5)
        if "level shift" in active:
            cpu += 20.0
        if "correlation break" in active:
            cpu = 10.0 + 0.06 * base * 1.5 + deploy_cpu + rng.gauss(0.0, 1.5)
        if "stuck sensor" in active:
            stuck_cpu = cpu if stuck_cpu is None else stuck_cpu
            cpu = stuck_cpu
        else:
            stuck_cpu = None
        rows.append([float(requests), latency, float(errors), cpu])
    stamps = [1_700_000_000 + 60 * t for t in range(steps)]
    return rows, stamps, events


def _poisson(rng: random.Random, mean: float) -> int:
    if mean > 30:  # normal approximation, rounded, for speed
        return max(0, round(rng.gauss(mean, math.sqrt(mean))))
    limit, k, p = math.exp(-mean), 0, 1.0
    while True:
        p *= rng.random()
        if p <= limit:
            return k
        k += 1


def event_stream(seed: int, minutes: int = 6000) -> tuple[dict[str, list], list[Event]]:
    """Login records at one-minute timestamps (minute m of the log at timestamp m + 1): numeric (bytes, duration), categorical (source,
    country, method). About 8 records a minute with a daily cycle. Labelled events of 10 to 20
    minutes: a flood from one source, a new country, a surge of every kind of record, and a burst of
    an unusual transfer size. Returns the records (numeric, categorical, timestamps) and the events."""
    rng = random.Random(seed)
    kinds = ["flood", "new category", "rate surge", "rare value"] * 2
    rng.shuffle(kinds)
    span = (minutes - 1000) // len(kinds)
    events = []
    for k, kind in enumerate(kinds):
        start = 1000 + k * span + rng.randrange(span // 4, span // 2)
        length = rng.randrange(10, 21)
        events.append(Event(kind, start + 1, start + length))
    numeric, categorical, stamps = [], [], []
    for minute in range(minutes):
        active = {e.kind for e in events if e.start <= minute + 1 <= e.end}
        rate = 8.0 * (1.0 + 0.4 * math.sin(2 * math.pi * minute / DAY))
        if "rate surge" in active:
            rate *= 5.0
        for _ in range(_poisson(rng, rate)):
            size, duration = rng.lognormvariate(8.0, 0.5), rng.expovariate(1 / 30)
            source, country, method = rng.randrange(200), rng.choice((0, 0, 0, 1, 1, 2, 3)), rng.randrange(3)
            if "new category" in active and rng.random() < 0.5:
                country = 17
            if "rare value" in active and rng.random() < 0.5:
                size = rng.lognormvariate(13.0, 0.2)
            numeric.append([size, duration])
            categorical.append([source, country, method])
            stamps.append(minute + 1)
        if "flood" in active:
            for _ in range(40):
                numeric.append([rng.lognormvariate(8.0, 0.5), rng.expovariate(1 / 30)])
                categorical.append([57, 0, 1])
                stamps.append(minute + 1)
    return {"numeric": numeric, "categorical": categorical, "timestamps": stamps}, events


def judge(alarm_times: list[int], events: list[Event], total: int, slack: int, gap: int) -> dict[str, float]:
    """Events found (an alarm from an event's start to `slack` after its end), alarm episodes (alarms
    less than `gap` apart form one) that are true (overlap an event's span plus slack), and false
    episodes per 1,000 steps (or minutes) of `total`."""
    found = sum(any(e.start <= t <= e.end + slack for t in alarm_times) for e in events)
    episodes: list[list[int]] = []
    for t in sorted(alarm_times):
        if episodes and t - episodes[-1][-1] < gap:
            episodes[-1].append(t)
        else:
            episodes.append([t])
    true = sum(any(e.start <= t <= e.end + slack for e in events for t in ep) for ep in episodes)
    false = len(episodes) - true
    return {"events": len(events), "found": found, "episodes": len(episodes), "true": true,
            "false_per_1000": 1000.0 * false / total}
