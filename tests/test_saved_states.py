"""States saved by 0.4.0 load in every later build, write back byte for byte and continue exactly."""

from pathlib import Path

import pytest

import arbolet

SAVED = Path(__file__).parent / "saved_states"

# The next step of each saved detector, as 0.4.0 computed it.
CONTINUATIONS = [
    ("forest", arbolet.Forest, lambda f: f.score_and_update([0.5, 2.0]), 1.1178790804806273),
    ("mstream", arbolet.MStream, lambda m: m.update_and_score([30.0, 0.1], [7], 120), 332.0903045749821),
    ("thresholder", arbolet.Thresholder, lambda t: (t.update(5.0), t.threshold), (0.0, 1.390374393760075)),
]


@pytest.mark.parametrize(("name", "kind", "step", "expected"), CONTINUATIONS, ids=[c[0] for c in CONTINUATIONS])
def test_saved_state_loads_writes_back_and_continues(name, kind, step, expected):
    text, data = (SAVED / f"{name}-0.4.0.json").read_text(), (SAVED / f"{name}-0.4.0.bin").read_bytes()
    from_json, from_bytes = kind.from_json(text), kind.from_bytes(data)
    assert from_json.to_json() == from_bytes.to_json() == text
    assert from_json.to_bytes() == from_bytes.to_bytes() == data
    assert step(from_json) == step(from_bytes) == expected
