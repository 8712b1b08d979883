"""arbolet.keyed.KeyedDetectors: many keyed streams in plain Python, checkpointed and continued exactly."""

from __future__ import annotations

import random

import pytest

from arbolet.keyed import KeyedDetectors, StateError


def records(n: int, step: int, per_step: int = 1, seed: int = 1) -> list[tuple[object, int, list[float], list[int]]]:
    """n records per key, per_step of them at each timestamp; key 7's from the 500th to the 539th are odd."""
    rng = random.Random(seed)
    return [(key, step * (t // per_step + 1), [rng.gauss(10, 1) + (15 if key == 7 and 500 <= t < 540 else 0)],
             [rng.randrange(3)]) for t in range(n) for key in ("a", 7)]


@pytest.mark.parametrize("kind, settings", [("monitor", {"num_trees": 10, "capacity": 32, "direction": "up"}),
                                            ("mstream", {"num_buckets": 64})])
def test_a_run_saved_and_loaded_or_moved_key_by_key_continues_exactly(tmp_path, kind, settings):
    # hours: a monitor's first day is quiet; MStream judges many records a minute
    rows = records(700, 3600, 1) if kind == "monitor" else records(700, 60, 10)
    whole = KeyedDetectors(kind, 3, **settings)
    expected = [whole.step(key, values, codes, t) for key, t, values, codes in rows]
    assert any(outcome.alarm for outcome in expected)

    first = KeyedDetectors(kind, 3, **settings)
    got = [first.step(key, values, codes, t) for key, t, values, codes in rows[:800]]
    first.save(str(tmp_path / "state.zip"))
    loaded = KeyedDetectors.load(str(tmp_path / "state.zip"))
    moved = KeyedDetectors(kind, 3, **settings)  # each key's state carried as bytes, as Spark's state store does
    for key in first.detectors:
        moved.restore_key(key, first.key_state(key))
    for runner in (loaded, moved):
        assert got + [runner.step(key, values, codes, t) for key, t, values, codes in rows[800:]] == expected


def test_refusals(tmp_path):
    with pytest.raises(ValueError, match="kind must be one of"):
        KeyedDetectors("tree")
    with pytest.raises(ValueError, match="seed must be in"):
        KeyedDetectors(seed=-1)
    runner = KeyedDetectors(seed=1)
    runner.step(b"bytes key", [1.0])
    with pytest.raises(TypeError, match="only str, int and None keys can be saved"):
        runner.save(str(tmp_path / "state.zip"))
    (tmp_path / "broken.zip").write_bytes(b"PK\x03\x04 not really")
    with pytest.raises(StateError, match="broken state file"):
        KeyedDetectors.load(str(tmp_path / "broken.zip"))
