import copy
import json
import math
import pickle
import random
from pathlib import Path

import pytest

import arbolet


def noisy(n, seed=3, level=10.0, spread=1.0):
    rng = random.Random(seed)
    return [level + rng.gauss(0.0, spread) for _ in range(n)]


def alarms(monitor, values):
    return [i for i, v in enumerate(values) if monitor.update(v)["alarm"]]


def test_events_alarm_once_and_quiet_streams_never():
    # Gaussian noise has rare extremes of its own: weak grades, which min_grade passes over.
    spike = noisy(3000)
    spike[2000] += 15.0
    weak = [i for i in alarms(arbolet.Monitor(seed=1), spike) if i != 2000]
    assert 2000 in alarms(arbolet.Monitor(seed=1), spike) and all(abs(i - 2000) > 50 for i in weak)
    assert alarms(arbolet.Monitor(seed=1, min_grade=0.5), spike) == [2000]

    shift = noisy(3000)
    shift[2000:] = [v + 8.0 for v in shift[2000:]]
    assert alarms(arbolet.Monitor(seed=1, min_grade=0.5), shift) == [2000]

    assert alarms(arbolet.Monitor(seed=1), [5.0] * 3000) == []
    wave = arbolet.Monitor(seed=1)
    assert not any(wave.update(math.sin(2 * math.pi * i / 288), timestamp=300 * i)["alarm"] for i in range(3000))
    assert wave.season_steps == 288


def test_a_value_alarms_by_its_range_only_beyond_a_usual_step():
    # Noise that reaches a new extreme by less than its usual step (as after a small benign shift
    # of its level) is no anomaly; for unit Gaussian noise the usual step is 2 / sqrt(pi).
    values = noisy(1000)
    monitor = arbolet.Monitor(seed=1)
    for v in values:
        verdict = monitor.update(v)
    step = 2 / math.sqrt(math.pi)
    assert verdict["upper"][0] - max(values[:-1]) == pytest.approx(step, rel=0.1)
    assert min(values[:-1]) - verdict["lower"][0] == pytest.approx(step, rel=0.1)


def test_a_stuck_coordinate_alarms_once_but_ordinary_runs_do_not():
    rows = [[a, b] for a, b in zip(noisy(3000, seed=4), noisy(3000, seed=5))]
    for row in rows[2000:2100]:
        row[1] = rows[1999][1]
    monitor = arbolet.Monitor(input_dim=2, seed=1, min_grade=0.5)
    assert [i for i, row in enumerate(rows) if monitor.update(row)["alarm"]] == [2009]
    counts = [float(int(v) % 3 == 0) * (i % 40 < 25) for i, v in enumerate(noisy(3000, spread=3.0))]
    assert alarms(arbolet.Monitor(seed=1, min_grade=0.5), counts) == []


def test_coordinates_that_stop_moving_together_alarm_once_but_unrelated_ones_do_not():
    rng = random.Random(4)
    load = [10 + 5 * math.sin(2 * math.pi * i / 500) + rng.gauss(0.0, 1.0) for i in range(4000)]
    tracking = [[x, 2 * x + rng.gauss(0.0, 0.5)] for x in load]
    broken = copy.deepcopy(tracking)
    for row in broken[3000:3120]:
        row[1] = 30.0 + rng.gauss(0.0, 0.5)  # within its range, but no longer twice the first
    for rows, caught in ((tracking, []), (broken, [3000]), ([[rng.gauss(10, 1), rng.gauss(20, 3)] for _ in range(4000)], [])):
        monitor = arbolet.Monitor(input_dim=2, seed=1, min_grade=0.5)
        assert [i for i, row in enumerate(rows) if monitor.update(row)["alarm"]] == caught


def test_the_seasonal_test_sees_a_value_wrong_for_its_time_of_day():
    values = [10 * math.sin(2 * math.pi * i / 288) for i in range(3000)]
    values[2600] = -values[2600]  # within the usual range, but not at this time of day
    monitor = arbolet.Monitor(seed=1, min_grade=0.1)
    assert [i for i, v in enumerate(values) if monitor.update(v, timestamp=300 * i)["alarm"]] == [2600]


@pytest.mark.parametrize("direction, caught", [("up", [1500]), ("down", [2500]), ("both", [1500, 2500])])
def test_one_sided_alarms(direction, caught):
    values = noisy(3000)
    values[1500] += 15.0
    values[2500] -= 15.0
    assert alarms(arbolet.Monitor(direction=direction, seed=1, min_grade=0.5), values) == caught


def test_verdict_and_batch_agree_with_single_steps():
    values = noisy(800)
    values[600] = 40.0
    one = arbolet.Monitor(seed=7)
    verdicts = [one.update(v) for v in values]
    batch = arbolet.Monitor(seed=7).update_many(values)
    assert list(batch["grade"]) == [v["grade"] for v in verdicts]
    assert list(batch["score"]) == [v["score"] for v in verdicts]
    hit = verdicts[600]
    assert hit["alarm"] and 0.0 < hit["grade"] <= 1.0 and hit["upper"][0] < 40.0 < math.inf
    assert verdicts[0]["lower"] == [-math.inf] and one.is_ready()


def test_states_round_trip_and_continue_identically():
    monitor = arbolet.Monitor(input_dim=2, shingle_size=2, num_trees=5, capacity=16, range_window=50, seed=2)
    rng = random.Random(1)
    for t in range(300):
        monitor.update([rng.random(), rng.random()], timestamp=t)
    copies = [arbolet.Monitor.from_json(monitor.to_json()), arbolet.Monitor.from_bytes(monitor.to_bytes()),
              pickle.loads(pickle.dumps(monitor)), copy.deepcopy(monitor)]
    expected = monitor.update([3.0, 0.5], timestamp=400)
    for other in copies:
        assert other.update([3.0, 0.5], timestamp=400) == expected
        assert other.to_bytes() == monitor.to_bytes()


def test_states_without_timestamps_round_trip():
    # No timestamps: the season stays unknown and its history empty, which loading must accept.
    monitor = arbolet.Monitor(seed=2)
    for value in noisy(20):
        monitor.update(value)
    copies = [arbolet.Monitor.from_json(monitor.to_json()), arbolet.Monitor.from_bytes(monitor.to_bytes())]
    expected = monitor.update(11.0)
    assert [other.update(11.0) for other in copies] == [expected, expected]


def test_refusals_leave_the_state_unchanged():
    monitor = arbolet.Monitor(num_trees=5, capacity=16, seed=2)
    monitor.update(1.0, timestamp=10)
    before = monitor.to_bytes()
    with pytest.raises(ValueError, match="time must not go back"):
        monitor.update(2.0, timestamp=9)
    with pytest.raises(ValueError):
        monitor.update(float("nan"))
    with pytest.raises(ValueError, match="direction"):
        arbolet.Monitor(direction="sideways")
    assert monitor.to_bytes() == before


def test_loaders_refuse_parts_that_do_not_fit():
    monitor = arbolet.Monitor(num_trees=5, capacity=16, range_window=20, seed=2)
    for v in noisy(60):
        monitor.update(v)
    doc = json.loads(monitor.to_json())
    for change in (lambda d: d.update(steps=59), lambda d: d["ranges"][0]["highs"].reverse(),
                   lambda d: d["settings"].update(capacity=32), lambda d: d["forests"].pop(),
                   lambda d: d["jitters"].__setitem__(0, -1.0), lambda d: d["jitters"].pop(),
                   lambda d: d["score_ranges"].pop()):
        bad = copy.deepcopy(doc)
        change(bad)
        with pytest.raises(RuntimeError, match="inconsistent state"):
            arbolet.Monitor.from_json(json.dumps(bad))
    # A window with highs but no lows once passed and was read out of bounds.
    doc = json.loads((Path(__file__).parent / "saved_states" / "monitor-0.4.0.json").read_text())
    for change in (lambda d: d["season_ranges"][0].update(lows=[]), lambda d: d["relations"]["partners"].__setitem__(0, 2),
                   lambda d: d["relations"]["covariance"].__setitem__(1, 1e9),
                   lambda d: d["relations"]["residuals"][1]["highs"].pop()):
        bad = copy.deepcopy(doc)
        change(bad)
        with pytest.raises(RuntimeError, match="inconsistent state"):
            arbolet.Monitor.from_json(json.dumps(bad))
    data = bytearray(monitor.to_bytes())
    data[30] ^= 1
    with pytest.raises(RuntimeError, match="checksum"):
        arbolet.Monitor.from_bytes(bytes(data))


def test_states_saved_by_0_4_0_load_and_write_back_unchanged():
    saved = Path(__file__).parent / "saved_states"
    from_json = arbolet.Monitor.load_json(saved / "monitor-0.4.0.json")
    from_bytes = arbolet.Monitor.load(saved / "monitor-0.4.0.bin")
    assert from_json.to_json() == (saved / "monitor-0.4.0.json").read_text()
    assert from_bytes.to_bytes() == from_json.to_bytes() == (saved / "monitor-0.4.0.bin").read_bytes()
    verdict = from_bytes.update([0.5, 5.0], timestamp=3600 * 60)
    assert (verdict["score"], verdict["upper"]) == (1.0370496079063163, [1.7959992879392188, 8.511599629076212])
