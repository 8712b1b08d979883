"""Checkpoint a detector, restore it, and carry on with identical results.

A detector's whole state (every tree, sample, generator and counter) goes
into compact, checksummed bytes; checkpoint its thresholder with it. A
detector restored from them continues exactly where the saved one stood: here
the original and the restored forest score the rest of the stream, and every
score and grade agrees bit for bit. The same holds for copies and pickles, and
for MStream. (``save_json``/``load_json`` write the same state as a readable
JSON document, about ten times larger.)
"""

from __future__ import annotations

import copy
import math
import pickle
import random
import tempfile
from pathlib import Path

import arbolet


def stream(seed: int, length: int) -> list[list[float]]:
    rng = random.Random(seed)
    return [[math.sin(t / 15.0) + rng.gauss(0.0, 0.1), math.cos(t / 15.0) + rng.gauss(0.0, 0.1)] for t in range(length)]


def score_then_update(forest: arbolet.Forest, points: list[list[float]]) -> list[float]:
    return [forest.score_and_update(point) for point in points]


def main() -> None:
    points = stream(seed=1, length=1200)
    first, rest = points[:800], points[800:]

    forest = arbolet.Forest(2, shingle_size=2, num_trees=40, capacity=128, seed=7)
    thresholder = arbolet.Thresholder.for_forest(forest)
    thresholder.update_many(score_then_update(forest, first))

    with tempfile.TemporaryDirectory() as tmp:
        forest.save(Path(tmp) / "forest.bin")  # checkpoint the detector and its thresholder together
        thresholder.save(Path(tmp) / "thresholder.bin")
        size_kib = (Path(tmp) / "forest.bin").stat().st_size / 1024
        restored = arbolet.Forest.load(Path(tmp) / "forest.bin")  # e.g. after a restart
        restored_thresholder = arbolet.Thresholder.load(Path(tmp) / "thresholder.bin")
    print(f"checkpoint after {forest.entries_seen()} observations: {size_kib:.0f} KiB")
    print(f"restored: {restored!r}")

    twin = copy.deepcopy(forest)  # an in-memory copy, no JSON involved
    unpickled = pickle.loads(pickle.dumps(forest))

    expected = score_then_update(forest, rest)
    for name, other in (("load", restored), ("deepcopy", twin), ("pickle", unpickled)):
        same = score_then_update(other, rest) == expected
        print(f"{name:>9}: {len(rest)} further scores identical to the original: {same}")
        assert same
    assert restored.to_bytes() == forest.to_bytes()
    assert list(restored_thresholder.update_many(expected)) == list(thresholder.update_many(expected))

    # MStream works the same way; here through bytes in memory.
    detector = arbolet.MStream(1, 1, seed=3)
    for t in range(1, 200):
        detector.update([float(t % 7)], [t % 3], t)
    resumed = arbolet.MStream.from_bytes(detector.to_bytes())
    a = detector.update_and_score([3.0], [9], 200)
    b = resumed.update_and_score([3.0], [9], 200)
    print(f"MStream from_bytes: next score {a:.6f} vs {b:.6f}, identical: {a == b}")
    assert a == b


if __name__ == "__main__":
    main()
