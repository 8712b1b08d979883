"""Draw the quickstart's stream, its anomaly scores, the thresholder's cut-off and its alarms.

Needs matplotlib (``pip install ".[plot]"``). Writes a PNG, by default
``anomalies.png`` in the current directory:

    python examples/plot_anomalies.py [output.png]

The picture in the README is made this way (``docs/anomalies.png``).
"""

from __future__ import annotations

import sys

import matplotlib

matplotlib.use("Agg")  # files only; no display needed

import matplotlib.pyplot as plt

import arbolet
from quickstart import SHINGLE, make_stream


def main(output: str) -> None:
    values, injected = make_stream(seed=2024)
    forest = arbolet.Forest(1, shingle_size=SHINGLE, seed=42)
    thresholder = arbolet.Thresholder.for_forest(forest)

    scores: list[float] = []
    levels: list[float] = []
    flagged: list[int] = []
    for t, value in enumerate(values):
        # The cut-off this step is judged against, before the step is learnt.
        levels.append(thresholder.threshold if thresholder.is_ready() else float("nan"))
        score = forest.score_and_update([value])
        if thresholder.update(score) > 0.0:
            flagged.append(t)
        scores.append(score)

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 5.5), sharex=True, height_ratios=(3, 2))
    top.plot(values, color="#4a6fa5", linewidth=0.7, label="observed value")
    top.scatter(flagged, [values[t] for t in flagged], color="#d1495b", s=14, zorder=3, label="alarm")
    for item in injected:
        top.axvspan(item.start - 0.5, item.end + 0.5, color="#edae49", alpha=0.35, linewidth=0)
    top.set_ylabel("value")
    top.set_title("Random Cut Forest on a seasonal stream (shaded: injected spikes, level shift, dropout)")
    top.legend(loc="upper left", fontsize=8)

    bottom.plot(scores, color="#333333", linewidth=0.7, label="anomaly score")
    bottom.plot(levels, color="#d1495b", linewidth=0.9, linestyle="--", label="thresholder cut-off")
    bottom.scatter(flagged, [scores[t] for t in flagged], color="#d1495b", s=10, zorder=3)
    bottom.set_ylabel("score")
    bottom.set_xlabel("position in stream")
    bottom.legend(loc="upper left", fontsize=8)

    fig.tight_layout()
    fig.savefig(output, dpi=110, metadata={"Software": None})
    print(f"wrote {output}: {len(values)} values, {len(flagged)} alarms")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "anomalies.png")
