"""MkDocs hook: the benchmarks page's tables, made from ``bench/run.py --json bench/results.json``.

The page keeps its text; the marker line ``<!-- bench results -->`` becomes the run's description, its
targets and one table per section. Without a results file the page says how to make one.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

MARKER = "<!-- bench results -->"
RESULTS = Path(__file__).resolve().parent.parent / "bench" / "results.json"


def on_page_markdown(markdown: str, page: Any, config: Any, files: Any) -> str:
    if MARKER not in markdown:
        return markdown
    if not RESULTS.exists():
        note = ("*No results file in this checkout: `python bench/run.py --json bench/results.json` makes one, "
                "and the next build of this site shows it here.*")
        return markdown.replace(MARKER, note)
    return markdown.replace(MARKER, render(json.loads(RESULTS.read_text(encoding="utf-8"))))


def number(value: float | None) -> str:
    if value is None:
        return "n/a"
    return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:.3g}"


def render(results: dict[str, Any]) -> str:
    meta = results["meta"]
    lines = [f"Run of arbolet {meta['arbolet_version']} (commit `{meta['commit']}`) on {meta['date']}: "
             f"Python {meta['python']}, {meta['cpu_model']}, {meta['clock']} clock, load average "
             f"{meta['loadavg_before'][0]:.2f} before the run{', quick run' if meta['quick'] else ''}.", ""]
    if results.get("targets"):
        lines += ["## Targets", "", "| | target | measured | |", "|---|---|---:|---|"]
        lines += [f"| {t['name']} | {t['target']} | {number(t['value'])} | {'met' if t['met'] else 'missed'} |"
                  for t in results["targets"]]
        lines.append("")
    groups: dict[str, list[dict[str, Any]]] = {}
    for row in results["results"]:
        groups.setdefault(row["group"], []).append(row)
    for group, rows in groups.items():
        lines += [f"## {group}", "", "| | median | min – max | unit |", "|---|---:|---:|---|"]
        for row in rows:
            spread = "" if row["min"] is None else f"{number(row['min'])} – {number(row['max'])}"
            lines.append(f"| {row['name']} | {number(row['median'])} | {spread} | {row['unit']} |")
        lines.append("")
    return "\n".join(lines)
