"""Score a synthetic metric stream with a Random Cut Forest and report the anomalies."""
import math
import random

import arbolet


def main() -> None:
    rng = random.Random(7)
    forest = arbolet.Forest(1, shingle_size=4, seed=42)
    spikes = {600, 1300, 1700}
    scores = []
    for t in range(2000):
        value = math.sin(t / 20.0) + rng.gauss(0.0, 0.05)
        if t in spikes:
            value += 4.0
        if t >= 1500:
            value += 2.0  # level shift
        scores.append((forest.score([value]) if forest.is_ready() else 0.0, t))
        forest.update([value])
    top = sorted(scores, reverse=True)[:5]
    for score, t in sorted(top, key=lambda s: s[1]):
        print(f"t={t:5d}  score={score:.3f}")


if __name__ == "__main__":
    main()
