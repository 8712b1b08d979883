"""Spot a burst of unusual records in a stream of connection logs with MStream.

Every minute brings about ten connection records: two numeric features
(bytes sent, duration in seconds) and two categorical ones (source host,
destination port). In minutes 150 to 152 one host floods port 3389 with sixty
tiny connections a minute. MStream scores each record as it arrives; the
burst's records rise to the top, and the detailed score shows which parts of
a burst record are unusual: the same tiny connection from the same host to
the same port, repeated far more often than in the minutes before. The output is the same on every run.
"""

from __future__ import annotations

import random

import arbolet

BURST = range(150, 153)


def make_records(seed: int) -> list[tuple[int, list[float], list[int], bool]]:
    rng = random.Random(seed)
    records: list[tuple[int, list[float], list[int], bool]] = []
    for minute in range(1, 201):
        for _ in range(rng.randint(8, 12)):
            size = rng.lognormvariate(6.0, 0.5)
            duration = rng.expovariate(0.5)
            host = rng.randrange(50)
            port = rng.choice([80, 443, 443, 22, 53])
            records.append((minute, [size, duration], [host, port], False))
        if minute in BURST:
            records.extend((minute, [40.0, 0.01], [7, 3389], True) for _ in range(60))
    return records


def main() -> None:
    records = make_records(seed=5)
    # alpha is the share of the recent counts kept per time unit (here a
    # minute): 0.5 forgets quickly, so a burst stands out against the last
    # few minutes rather than against the whole day.
    detector = arbolet.MStream(numeric_dim=2, categorical_dim=2, alpha=0.5, seed=11)

    scored: list[tuple[float, int, bool]] = []
    per_minute: dict[int, float] = {}
    burst_seen = 0
    ordinary: arbolet.DetailedScore | None = None
    for minute, numeric, categorical, in_burst in records:
        burst_seen += in_burst
        if minute == BURST[0] and not in_burst:
            ordinary = detector.score_detailed(numeric, categorical, minute)
        if burst_seen == 10 and in_burst and ordinary is not None:
            # Preview (without ingesting) the tenth burst record of the first
            # burst minute next to the minute's last ordinary record: which
            # parts stand out? The burst's counts grow with every record, so
            # its first record is only just above the ordinary peaks.
            burst = detector.score_detailed(numeric, categorical, minute)
            print(f"previewed in minute {minute}:")
            print(f"  {'':<18} {'total':>8} {'record':>8}  {'numeric (bytes, secs)':<21}  categorical (host, port)")
            for name, parts in (("ordinary record", ordinary), ("10th burst record", burst)):
                numeric_parts = ", ".join(f"{x:6.1f}" for x in parts["numeric_features"])
                categorical_parts = ", ".join(f"{x:6.1f}" for x in parts["categorical_features"])
                print(f"  {name:<18} {parts['total']:8.1f} {parts['record']:8.1f}  {numeric_parts:<21}  "
                      f"{categorical_parts}")
        score = detector.update_and_score(numeric, categorical, minute)
        scored.append((score, minute, in_burst))
        per_minute[minute] = max(per_minute.get(minute, 0.0), score)

    print(f"ingested {detector.entries_seen()} records, last timestamp {detector.current_time()}")
    print("highest score per minute around the burst:")
    for minute in range(146, 157):
        marker = "  <- burst" if minute in BURST else ""
        print(f"  minute {minute}: {per_minute[minute]:10.1f}{marker}")

    burst_size = sum(1 for *_, in_burst in scored if in_burst)
    top = sorted(scored, reverse=True)[:burst_size]
    hits = sum(1 for *_, in_burst in top if in_burst)
    print(f"{hits} of the {burst_size} highest-scoring records belong to the burst")


if __name__ == "__main__":
    main()
