"""Draw the quickstart's stream, its anomaly scores and the thresholder's alarms.

Needs matplotlib (``pip install ".[plot]"``). Writes a PNG, by default
``anomalies.png`` in the current directory, from any directory:

    python examples/plot_anomalies.py [output.png]

The picture in the README is made this way (``docs/anomalies.png``). The top
panel shows the whole stream, the middle one the scores against the
thresholder's cut-off, and the bottom row each injected anomaly up close: a
value stays in the forest's window for ``SHINGLE`` steps, so the positions just
after a spike score high too (the lighter shading); the thresholder raises one
alarm for them, where the anomaly begins.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass, field
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only; no display needed

import matplotlib.pyplot as plt
from matplotlib.axes import Axes

import arbolet

# The stream comes from the quickstart next to this file,
# wherever the script is started from.
sys.path.insert(0, str(Path(__file__).resolve().parent))
from quickstart import SHINGLE, Injected, make_stream  # noqa: E402

VALUE, SCORE, FLAGGED, INJECTED, IN_WINDOW, LEVEL = "#4a6fa5", "#333333", "#d1495b", "#edae49", "#f6d9a6", "#d1495b"
ZOOM = 24  # positions shown on each side of an injected anomaly


@dataclass
class Run:
    """What the detector made of the stream, position by position."""

    values: list[float]
    injected: list[Injected]
    scores: list[float] = field(default_factory=list)
    levels: list[float] = field(default_factory=list)  # the cut-off in force (NaN while warming up)
    flagged: list[int] = field(default_factory=list)


def run_detector() -> Run:
    values, injected = make_stream(seed=2024)
    forest = arbolet.Forest(1, shingle_size=SHINGLE, seed=42)
    thresholder = arbolet.Thresholder.for_forest(forest)
    run = Run(values, injected)
    for t, value in enumerate(values):
        # The cut-off this step is judged against, before the step is learnt.
        level = thresholder.threshold if thresholder.is_ready() else float("nan")
        score = forest.score_and_update([value])
        if thresholder.update(score) > 0.0:
            run.flagged.append(t)
        run.scores.append(score if forest.is_ready() else float("nan"))
        run.levels.append(level)
    return run


def shade_injected(ax: Axes, item: Injected) -> None:
    """The injected change, and the steps after it while the window still holds it."""
    ax.axvspan(item.start - 0.5, item.end - 0.5, color=INJECTED, alpha=0.6, linewidth=0)
    ax.axvspan(item.end - 0.5, item.end + SHINGLE - 1.5, color=IN_WINDOW, alpha=0.6, linewidth=0)


def draw_stream(ax: Axes, run: Run) -> None:
    ax.plot(run.values, color=VALUE, linewidth=0.6, label="observed value")
    ax.scatter(run.flagged, [run.values[t] for t in run.flagged], color=FLAGGED, s=12, zorder=3, label="alarm")
    top = max(run.values)
    for item in run.injected:
        # Single positions are too narrow to see at this scale: a label
        # with an arrow marks each injected anomaly.
        ax.annotate(item.name, xy=(item.start, top), xytext=(item.start, top + 3.5), ha="center", fontsize=8,
                    arrowprops={"arrowstyle": "-|>", "color": INJECTED, "linewidth": 1.5})
    ax.set_ylim(top=top + 6)
    ax.set_ylabel("value")
    ax.legend(loc="upper left", fontsize=8)


def draw_scores(ax: Axes, run: Run) -> None:
    ax.plot(run.scores, color=SCORE, linewidth=0.6, label="anomaly score")
    ax.plot(run.levels, color=LEVEL, linewidth=0.9, linestyle="--", label="thresholder cut-off")
    ax.scatter(run.flagged, [run.scores[t] for t in run.flagged], color=FLAGGED, s=10, zorder=3)
    ax.set_ylabel("score")
    ax.set_xlabel("position in stream")
    ax.legend(loc="upper left", fontsize=8)


def draw_zoom(ax: Axes, run: Run, item: Injected) -> None:
    lo, hi = max(item.start - ZOOM, 0), min(item.end + SHINGLE + ZOOM, len(run.values))
    shade_injected(ax, item)
    ax.plot(range(lo, hi), run.values[lo:hi], color=VALUE, linewidth=0.9, marker=".", markersize=3)
    near = [t for t in run.flagged if lo <= t < hi]
    ax.scatter(near, [run.values[t] for t in near], color=FLAGGED, s=16, zorder=3)
    ax.set_xlim(lo, hi - 1)
    ax.set_title(f"{item.name} at {item.start}", fontsize=9)
    ax.tick_params(labelsize=7)


def main(output: str) -> None:
    run = run_detector()
    fig = plt.figure(figsize=(11, 7.5))
    grid = fig.add_gridspec(3, len(run.injected), height_ratios=(3, 2, 2.2))
    stream = fig.add_subplot(grid[0, :])
    scores = fig.add_subplot(grid[1, :], sharex=stream)
    draw_stream(stream, run)
    draw_scores(scores, run)
    stream.set_title("Random Cut Forest on a seasonal stream: injected anomalies and the alarms raised")
    stream.tick_params(labelbottom=False)
    for column, item in enumerate(sorted(run.injected, key=lambda item: item.start)):
        draw_zoom(fig.add_subplot(grid[2, column]), run, item)
    fig.text(0.5, 0.005, "Close-ups: dark shading is the injected change, light shading the "
             f"{SHINGLE - 1} steps after it while the forest's {SHINGLE}-step window still holds it; "
             "one alarm (red) per anomaly.", ha="center", fontsize=8)
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(output, dpi=110, metadata={"Software": None})
    print(f"wrote {output}: {len(run.values)} values, {len(run.flagged)} alarms")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Draw the quickstart's stream, its anomaly scores and the "
                                     "thresholder's alarms into a PNG file.")
    parser.add_argument("output", nargs="?", default="anomalies.png", help="the PNG to write (default: anomalies.png)")
    main(parser.parse_args().output)
