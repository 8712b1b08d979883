"""Run one detector per stream key across worker processes.

Detectors pickle, so a process pool can carry them: the main process keeps one
forest per sensor, sends each forest with its next batch of readings to a
worker, and gets the updated forest back with the batch's scores. Because a
detector is fully determined by its seed and its inputs, the result does not
depend on which worker ran which batch: it equals a run in one process.
"""

from __future__ import annotations

import math
import random
from concurrent.futures import ProcessPoolExecutor

import arbolet

SENSORS = ["north", "south", "east", "west"]
BATCHES = 4
BATCH_SIZE = 300


def readings(sensor: str, batch: int) -> list[float]:
    rng = random.Random(f"{sensor}/{batch}")
    offset = SENSORS.index(sensor) * 5.0
    start = batch * BATCH_SIZE
    values = [offset + math.sin((start + i) / 10.0) + rng.gauss(0.0, 0.05) for i in range(BATCH_SIZE)]
    if sensor == "east" and batch == 2:
        values[123] += 3.0  # one glitch to find
    return values


def process_batch(forest: arbolet.Forest, values: list[float]) -> tuple[arbolet.Forest, list[float]]:
    """Runs in a worker: score each value against the forest, then learn it."""
    scores = []
    for value in values:
        score = forest.score_and_update([value])
        scores.append(score if forest.is_ready() else 0.0)
    return forest, scores


def main() -> None:
    # One seed per key keeps every run reproducible.
    forests = {key: arbolet.Forest(1, shingle_size=4, num_trees=30, capacity=128, seed=i) for i, key in enumerate(SENSORS)}
    reference = {key: arbolet.Forest(1, shingle_size=4, num_trees=30, capacity=128, seed=i) for i, key in enumerate(SENSORS)}
    scores: dict[str, list[float]] = {key: [] for key in SENSORS}

    with ProcessPoolExecutor(max_workers=2) as pool:
        for batch in range(BATCHES):
            # Each forest goes to a worker by pickle and comes back the same way.
            jobs = {key: pool.submit(process_batch, forests[key], readings(key, batch)) for key in SENSORS}
            for key, job in jobs.items():
                forests[key], batch_scores = job.result()
                scores[key].extend(batch_scores)

    for key in SENSORS:
        peak = max(range(len(scores[key])), key=scores[key].__getitem__)
        print(f"{key:>5}: {forests[key].entries_seen()} readings, highest score {scores[key][peak]:.2f} at reading {peak}")

    # The same work in this process gives the same scores and the same state.
    for key in SENSORS:
        local: list[float] = []
        for batch in range(BATCHES):
            local.extend(process_batch(reference[key], readings(key, batch))[1])
        assert local == scores[key]
        assert reference[key].to_json() == forests[key].to_json()
    print("identical to a single-process run: True")


if __name__ == "__main__":
    main()
