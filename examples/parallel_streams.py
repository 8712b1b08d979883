"""Run one detector per stream key across worker processes.

Detectors pickle, so a process pool can carry them: the main process keeps one
forest and its thresholder per sensor, sends both with the next batch of
readings to a worker, and gets them back updated with the batch's grades. Because a
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


Detector = tuple[arbolet.Forest, arbolet.Thresholder]


def new_detector(seed: int) -> Detector:
    forest = arbolet.Forest(1, shingle_size=4, num_trees=30, capacity=256, seed=seed)
    return forest, arbolet.Thresholder.for_forest(forest)


def process_batch(detector: Detector, values: list[float]) -> tuple[Detector, list[float]]:
    """Runs in a worker: each value's grade (above 0 for an alarm), then the forest learns it."""
    forest, thresholder = detector
    grades = [thresholder.update(forest.score_and_update([value])) for value in values]
    return detector, grades


def main() -> None:
    # One seed per key keeps every run reproducible.
    detectors = {key: new_detector(seed) for seed, key in enumerate(SENSORS)}
    reference = {key: new_detector(seed) for seed, key in enumerate(SENSORS)}
    grades: dict[str, list[float]] = {key: [] for key in SENSORS}

    with ProcessPoolExecutor(max_workers=2) as pool:
        for batch in range(BATCHES):
            # Each forest and thresholder goes to a worker by pickle and comes back the same way.
            jobs = {key: pool.submit(process_batch, detectors[key], readings(key, batch)) for key in SENSORS}
            for key, job in jobs.items():
                detectors[key], batch_grades = job.result()
                grades[key].extend(batch_grades)

    for key in SENSORS:
        alarms = [i for i, grade in enumerate(grades[key]) if grade > 0]
        found = f"alarms at readings {alarms}" if alarms else "no alarm"
        print(f"{key:>5}: {detectors[key][0].entries_seen()} readings, {found}")

    # The same work in this process gives the same grades and the same states.
    for key in SENSORS:
        local: list[float] = []
        for batch in range(BATCHES):
            local.extend(process_batch(reference[key], readings(key, batch))[1])
        assert local == grades[key]
        (forest, thresholder), (here, here_thresholder) = detectors[key], reference[key]
        assert forest.to_bytes() == here.to_bytes() and thresholder.to_bytes() == here_thresholder.to_bytes()
    print("identical to a single-process run: True")


if __name__ == "__main__":
    main()
