"""Thresholder: a plain-Python model pins the grades bit for bit; flat series,
spikes, level shifts and suppression behave; NaN and bad states are refused
without a trace; the state survives JSON, copy and pickle."""

import copy
import json
import math
import pickle
import random

import pytest

import arbolet
from arbolet import Forest, Thresholder

CLIP = 3.0
RELATIVE_SPREAD = 0.1


class Model:
    def __init__(self, horizon=1000, warm_up=100, sigmas=3.0, min_spread=0.0, min_score=0.0, suppression=4,
                 peak_window=64):
        self.h, self.warm, self.sig, self.min_spread, self.floor = horizon, warm_up, sigmas, min_spread, min_score
        self.sup, self.pw = suppression, peak_window
        self.n, self.loc, self.dev, self.since, self.recent, self.in_event = 0, 0.0, 0.0, None, [], False

    def update(self, x):
        spread = max(self.dev, self.min_spread, RELATIVE_SPREAD * abs(self.loc))
        cut = max(self.floor, self.loc + self.sig * spread)
        grade = 0.0
        self.in_event = self.in_event and x > cut
        free = not self.in_event and (self.since is None or self.since >= self.sup)
        if self.n >= max(self.warm, 1) and x > cut and all(x > r for r in self.recent) and free:
            grade = 1.0 if cut == 0.0 else max((x - cut) / (x - cut + abs(cut)), 5e-324)
            self.since = 0
            self.in_event = True
        elif self.since is not None:
            self.since += 1
        if self.n == 0:
            self.loc = x
        else:
            w = 1.0 / (self.n + 1) if self.n < self.h else 1.0 / self.h
            taken = min(x, self.loc + CLIP * spread) if self.n >= self.warm else x
            distance = abs(x - self.loc)
            self.loc += w * (taken - self.loc)
            self.dev += w * (distance - self.dev)
        if self.pw:
            self.recent = (self.recent + [x])[-self.pw:]
        self.n += 1
        return grade


def noisy_scores(n, seed=7, spikes=()):
    rng = random.Random(seed)
    out = [0.8 + 0.3 * rng.random() for _ in range(n)]
    for at, value in spikes:
        out[at] = value
    return out


@pytest.mark.parametrize("settings", [{}, {"horizon": 50, "warm_up": 10, "sigmas": 2.0, "suppression": 0},
                                      {"min_spread": 0.25, "min_score": 1.5, "peak_window": 0, "suppression": 9}])
def test_grades_match_the_model_bit_for_bit(settings):
    scores = noisy_scores(3000, spikes=[(400, 5.0), (402, 6.0), (1500, 3.0), (2200, 9.0), (2210, 2.5)])
    scores[2500:2700] = [x + 2.0 for x in scores[2500:2700]]
    t, m = Thresholder(**settings), Model(**settings)
    got = [t.update(x) for x in scores]
    assert got == [m.update(x) for x in scores]
    assert sum(g > 0 for g in got) >= 3 and all(0.0 <= g <= 1.0 for g in got)
    assert t.threshold == max(m.floor, m.loc + m.sig * max(m.dev, m.min_spread, RELATIVE_SPREAD * abs(m.loc)))
    assert t.steps_since_alarm == m.since


def test_forest_scores_through_for_forest():
    forest = Forest(1, shingle_size=4, num_trees=20, capacity=64, seed=3)
    t = Thresholder.for_forest(forest)
    assert "suppression=4" in repr(t) and f"min_score={math.log2(65) / 4!r}" in repr(t)
    assert (t.suppression, t.min_score, t.horizon, t.warm_up, t.sigmas, t.min_spread, t.peak_window) == (
        4, math.log2(65) / 4, 1000, 100, 3.0, 0.0, 64)
    assert Thresholder.for_forest(forest, min_score=1, horizon=None).min_score == 1.0
    m = Model(min_score=math.log2(65) / 4, suppression=4)
    rng = random.Random(1)
    values = [math.sin(i / 5) + 0.05 * rng.random() for i in range(600)]
    values[450] = 8.0
    grades = [t.update(forest.score_and_update([v])) for v in values]
    forest2 = Forest(1, shingle_size=4, num_trees=20, capacity=64, seed=3)
    assert grades == [m.update(forest2.score_and_update([v])) for v in values]
    assert grades[450] > 0 and sum(g > 0 for g in grades[440:470]) == 1
    with pytest.raises(TypeError, match="Forest"):
        Thresholder.for_forest(arbolet.MStream(1, 1))


@pytest.mark.parametrize("level", [0.0, 1.0, 1000.0])
def test_flat_series_never_alarm(level):
    rng = random.Random(2)
    for t in (Thresholder(), Thresholder(warm_up=0, peak_window=0, suppression=0)):
        assert all(t.update(level) == 0.0 for _ in range(500)) or level == 0.0
        # noise of a part in a thousand on a level is not an anomaly either
        assert all(t.update(level + level * 1e-3 * rng.random()) == 0.0 for _ in range(2000))


def test_flat_zero_series_alarms_only_above_min_spread():
    t = Thresholder(min_spread=0.1, warm_up=10)
    assert [t.update(0.0) for _ in range(50)] == [0.0] * 50
    assert t.update(0.2) == 0.0 and t.update(0.5) > 0.0


def test_single_spike_alarms_once():
    scores = noisy_scores(1000, spikes=[(600, 6.0)])
    t = Thresholder()
    assert not t.is_ready()
    grades = [t.update(x) for x in scores]
    assert t.is_ready()
    assert [i for i, g in enumerate(grades) if g > 0] == [600]
    assert 0.5 < grades[600] < 1.0
    assert t.steps_since_alarm == 399


def test_level_shift_alarms_then_settles():
    scores = noisy_scores(3000)
    scores[1000:] = [x + 3.0 for x in scores[1000:]]
    t = Thresholder()
    grades = [t.update(x) for x in scores]
    alarms = [i for i, g in enumerate(grades) if g > 0]
    # a few new peaks while the spread widens, then silence on the new level
    assert alarms[0] == 1000 and len(alarms) <= 8 and alarms[-1] < 1400
    # still watching: a spike above the new level alarms
    assert 4.0 < t.threshold < 8.0 and t.update(10.0) > 0


def test_suppression_window():
    def alarms(gap, suppression):
        t = Thresholder(suppression=suppression, peak_window=0)
        scores = noisy_scores(600, spikes=[(300, 6.0), (300 + gap, 6.0)])
        return [i - 300 for i, x in enumerate(scores) if t.update(x) > 0]
    assert alarms(4, 4) == [0]
    assert alarms(5, 4) == [0, 5]
    # adjacent high scores are one event, whatever the window
    assert alarms(1, 0) == [0]
    # within peak_window a repeat must beat the earlier score
    t = Thresholder(suppression=0)
    grades = [t.update(x) for x in noisy_scores(600, spikes=[(300, 6.0), (320, 5.0), (330, 7.0)])]
    assert [i for i, g in enumerate(grades) if g > 0] == [300, 330]


def test_refusals_leave_no_trace():
    t = Thresholder(warm_up=5)
    for x in noisy_scores(30):
        t.update(x)
    before = t.to_json()
    for bad in (math.nan, math.inf, -math.inf, 1.1e300):
        with pytest.raises(ValueError, match="score must be a finite number"):
            t.update(bad)
    with pytest.raises(TypeError):
        t.update("1.0")
    assert t.to_json() == before
    for settings, text in [({"horizon": 0}, "horizon"), ({"sigmas": -1.0}, "sigmas"), ({"sigmas": math.nan}, "sigmas"),
                           ({"min_spread": math.inf}, "min_spread"), ({"min_score": math.nan}, "min_score"),
                           ({"peak_window": 2**24 + 1}, "peak_window")]:
        with pytest.raises(ValueError, match=text):
            Thresholder(**settings)


def test_state_round_trips(tmp_path):
    scores = noisy_scores(400, spikes=[(150, 5.0), (390, 7.0)])
    t = Thresholder(peak_window=16)
    for x in scores[:200]:
        t.update(x)
    doc = json.loads(t.to_json())
    assert list(doc) == ["config", "steps", "location", "deviation", "since_alarm", "in_event", "recent"]
    assert doc["recent"] == scores[184:200] and doc["since_alarm"] == 49
    copies = [Thresholder.from_json(t.to_json()), copy.copy(t), copy.deepcopy(t), pickle.loads(pickle.dumps(t))]
    t.save_json(tmp_path / "t.json")
    copies.append(Thresholder.load_json(tmp_path / "t.json"))
    expected = [t.update(x) for x in scores[200:]]
    for c in copies:
        assert [c.update(x) for x in scores[200:]] == expected
        assert c.to_json() == t.to_json()
    assert json.loads(Thresholder().to_json())["since_alarm"] is None


@pytest.mark.parametrize("edit, text", [
    (lambda d: d["recent"].pop(), "recent holds 15 scores, expected 16"),
    (lambda d: d.update(since_alarm=200), "since_alarm"),
    (lambda d: d.update(deviation=-1.0), "deviation"),
    (lambda d: d["config"].update(horizon=0), "horizon"),
    (lambda d: d.pop("location"), "location"),
])
def test_inconsistent_documents_are_refused(edit, text):
    t = Thresholder(peak_window=16)
    for x in noisy_scores(200, spikes=[(150, 5.0)]):
        t.update(x)
    doc = json.loads(t.to_json())
    edit(doc)
    with pytest.raises(RuntimeError, match=text):
        Thresholder.from_json(json.dumps(doc))


def test_mutated_documents_load_safely_or_are_refused():
    t = Thresholder(peak_window=8, warm_up=3)
    for x in noisy_scores(40, spikes=[(20, 5.0)]):
        t.update(x)
    doc = json.loads(t.to_json())
    rng = random.Random(11)
    values = [0, 1, 7, 8, 9, 2**24 + 1, 2**64 - 1, -1, 1e300, -1e300, 1e308, 0.5, None, True, [], "x"]
    for _ in range(400):
        d = copy.deepcopy(doc)
        place, key = rng.choice([(d, k) for k in d if k != "config"] + [(d["config"], k) for k in d["config"]])
        place[key] = rng.choice(values)
        try:
            loaded = Thresholder.from_json(json.dumps(d))
        except (RuntimeError, ValueError):
            continue
        for x in (0.0, 1e300, -1e300, 5.0):
            assert 0.0 <= loaded.update(x) <= 1.0
        assert Thresholder.from_json(loaded.to_json()).to_json() == loaded.to_json()
