"""The compact binary state: exact round trips through it for streams of
every kind, damaged and hostile bytes refused without large allocations, and
pickling through it."""

import importlib.util
import json
import math
import os
import pathlib
import pickle
import random
import re
import resource
import struct
import subprocess
import sys

import pytest

import arbolet

Forest = arbolet.Forest
MStream = arbolet.MStream

_spec = importlib.util.spec_from_file_location(
    "fuzz_documents", pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "fuzz_documents.py")
fuzz = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(fuzz)


def stream(kind, n, dim, rng):
    for i in range(n):
        if kind == "gauss":
            yield [rng.gauss(0.0, 1.0) for _ in range(dim)]
        elif kind == "equal":
            yield [1.5] * dim
        elif kind == "zeros":  # 0.0 and -0.0, so boxes hold zeros of either sign
            yield [rng.choice([0.0, -0.0, 0.0, 1.0]) for _ in range(dim)]
        elif kind == "extreme":  # huge, tiny and subnormal values, infinite range sums
            yield [rng.choice([3.0e38, -3.0e38, 1e-40, -1e-45, 0.0, 7.0]) for _ in range(dim)]


FORESTS = {
    "gauss": ("gauss", dict(num_trees=4, capacity=32)),
    "equal": ("equal", dict(num_trees=3, capacity=16)),
    "zeros": ("zeros", dict(num_trees=5, capacity=24)),
    "extreme": ("extreme", dict(num_trees=4, capacity=16)),
    "decaying": ("gauss", dict(num_trees=3, capacity=16, time_decay=0.2)),
    "shingled": ("gauss", dict(num_trees=3, capacity=16, shingle_size=3)),
    "external": ("gauss", dict(num_trees=2, capacity=8, shingle_size=2, internal_shingling=False)),
}


def fed(name, n):
    kind, kwargs = FORESTS[name]
    f = Forest(2, seed=3, **kwargs)
    width = 2 * kwargs.get("shingle_size", 1) if not kwargs.get("internal_shingling", True) else 2
    rng = random.Random(name)
    for p in stream(kind, n, width, rng):
        f.update(p)
    return f, kind, width, rng


@pytest.mark.parametrize("name", sorted(FORESTS))
def test_forest_bytes_hold_the_whole_state(name):
    f, kind, width, rng = fed(name, 1500)
    data = f.to_bytes()
    g = Forest.from_bytes(data)
    assert g.to_json() == f.to_json()
    # JSON -> bytes -> JSON, and the bytes of equal states are equal.
    assert Forest.from_json(f.to_json()).to_bytes() == data
    for p in stream(kind, 300, width, rng):
        f.update(p)
        g.update(p)
    assert g.to_bytes() == f.to_bytes() and g.to_json() == f.to_json()


def test_zero_signs_that_a_rebuilt_box_would_lose_are_kept():
    f, *_ = fed("zeros", 600)
    doc = json.loads(f.to_json())
    flipped = 0
    for tree in doc["trees"]:
        for node in tree["arena"]["nodes"]:
            if node and "Internal" in node:
                box = node["Internal"]["bbox"]
                for side in ("min", "max"):
                    for k, v in enumerate(box[side]):
                        if v == 0.0:
                            box[side][k] = -v if str(v) == "0.0" else 0.0
                            flipped += 1
    assert flipped > 0
    text = json.dumps(doc, separators=(",", ":"))
    loaded = Forest.from_json(text)
    assert Forest.from_bytes(loaded.to_bytes()).to_json() == loaded.to_json()


@pytest.mark.parametrize("n, kwargs", [(0, {}), (300, dict(num_buckets=64)), (200, dict(alpha=0.3, num_rows=3))])
def test_mstream_bytes_hold_the_whole_state(n, kwargs):
    m = MStream(3, 2, seed=4, **kwargs)
    rng = random.Random(n)
    for t in range(n):
        m.update([rng.gauss(0, 1), rng.choice([0.0, 1.0]), t % 7], [rng.randrange(5), -t], 1 + t // 3)
    g = MStream.from_bytes(bytearray(m.to_bytes()))
    assert g.to_json() == m.to_json()
    for t in range(n, n + 50):
        rec = ([rng.gauss(0, 1), 1.0, 2.0], [t % 3, 1], 1 + t // 3)
        assert g.update_and_score_detailed(*rec) == m.update_and_score_detailed(*rec)
    assert g.to_bytes() == m.to_bytes()


def test_mstream_with_its_own_total_hashing_round_trips():
    m = MStream(2, 2, num_buckets=16, seed=1)
    m.update([1.0, 2.0], [3, 4], 1)
    doc = json.loads(m.to_json())
    doc["categorical_counts"][1]["total"]["hash_a"]["data"][0] = 5
    doc["record_counts"]["total"]["numeric_planes"]["data"][0] = 0.25
    loaded = MStream.from_json(json.dumps(doc))
    assert MStream.from_bytes(memoryview(loaded.to_bytes())).to_json() == loaded.to_json()


def test_files_and_the_header(tmp_path):
    f, *_ = fed("gauss", 200)
    path = tmp_path / "f.bin"
    f.save(path)
    assert Forest.load(str(path)).to_json() == f.to_json()
    data = f.to_bytes()
    assert data[:4] == b"ARBL" and data[4] == 1
    newer = data[:4] + b"\x07" + data[5:]
    with pytest.raises(RuntimeError, match=r"version 7 is newer than this version reads \(1\)"):
        Forest.from_bytes(newer)
    with pytest.raises(RuntimeError, match="holds a Forest, not an MStream"):
        MStream.from_bytes(data)
    (tmp_path / "f.json").write_text(f.to_json())
    with pytest.raises(RuntimeError, match="not a binary detector state"):
        Forest.load(tmp_path / "f.json")


def test_every_damaged_or_truncated_state_is_refused():
    f, *_ = fed("zeros", 60)
    data = f.to_bytes()
    rng = random.Random(1)
    for pos in range(len(data)):
        bit = 1 << rng.randrange(8)
        damaged = data[:pos] + bytes([data[pos] ^ bit]) + data[pos + 1:]
        with pytest.raises(RuntimeError):
            Forest.from_bytes(damaged)
    for cut in range(0, len(data), 7):
        with pytest.raises(RuntimeError):
            Forest.from_bytes(data[:cut])


def test_inflated_counts_are_refused_without_allocating():
    # Every payload position overwritten by a huge variable-length integer,
    # with the checksum made to match: only refusals, and memory stays flat.
    f, *_ = fed("gauss", 100)
    m = MStream(2, 1, num_buckets=8, seed=2)
    m.update([1.0, 2.0], [3], 5)
    huge = b"\xff" * 8 + b"\x3f"
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = arbolet.Thresholder(horizon=8, mean_window=3)
    for x in range(20):
        t.update(float(x % 7))
    for cls, data in ((Forest, f.to_bytes()), (MStream, m.to_bytes()), (arbolet.Thresholder, t.to_bytes())):
        for pos in range(fuzz.HEADER, len(data)):
            inflated = fuzz.reframe(data[:pos] + huge + data[pos + 1:])
            try:
                cls.from_bytes(inflated)
            except (RuntimeError, MemoryError):
                pass
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 200 * 1024


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves a vast address space")
def test_declared_capacity_costs_memory_only_as_points_arrive():
    # 200 bytes that declare a capacity of 2^24 samples per tree: the reader
    # (and the detector it makes) allocates for what the bytes hold, so the
    # load takes little address space, where tables allocated up front would
    # take 0.9 GB. (The memory check counts the full forest against an
    # address-space limit, so the load is measured rather than limited.)
    code = """
import resource, arbolet
f = arbolet.Forest(1, num_trees=2, capacity=2**24, seed=1)
for v in range(50):
    f.update([v % 7])
data = f.to_bytes()
assert len(data) < 4096
def vm():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
before = vm()
g = arbolet.Forest.from_bytes(data)
assert vm() - before < 512 * 2**20, vm() - before
g.update([3.0])
f.update([3.0])
assert g.to_bytes() == f.to_bytes()
"""
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


def test_a_small_state_declaring_a_vast_forest_is_refused_as_the_constructor_refuses_it():
    # A capacity whose full forest (162 bytes per sample of one tree of
    # one dimension) fits in memory, but not beside the JSON document that
    # to_json writes for any state of it (49 bytes per sample more):
    # refused by both.
    with pytest.raises(MemoryError) as info:
        Forest(1, num_trees=1, capacity=2**40)
    available = int(re.findall(r"\d+", str(info.value))[1])
    capacity = available // 186
    data = Forest(1, num_trees=1, capacity=4, seed=1).to_bytes()
    assert data[fuzz.HEADER:fuzz.HEADER + 4] == b"\x01\x01\x04\x01"
    varint = bytes((capacity >> (7 * i)) & 0x7F | (0x80 if capacity >> (7 * (i + 1)) else 0)
                   for i in range((capacity.bit_length() + 6) // 7))
    vast = fuzz.reframe(data[:fuzz.HEADER + 2] + varint + data[fuzz.HEADER + 3:])
    assert len(vast) < 200
    for make in (lambda: Forest.from_bytes(vast), lambda: Forest(1, num_trees=1, capacity=capacity)):
        with pytest.raises(MemoryError, match="^Forest needs up to"):
            make()


def _poisoned(data, value, bad, last=False):
    """The state with the first (or last) occurrence of the packed `value` replaced by `bad`."""
    at = data.rfind(value) if last else data.find(value)
    assert at >= fuzz.HEADER
    return fuzz.reframe(data[:at] + bad + data[at + len(value):])


def _shingled_forest():
    f = Forest(1, shingle_size=2, num_trees=2, capacity=8, seed=1)
    for v in (1.25, 2.5, 3.75, 5.5):
        f.update([v])
    return f


F32, F64 = struct.Struct("<f").pack, struct.Struct("<d").pack


@pytest.mark.parametrize("load", [
    lambda: Forest.from_bytes(_poisoned(_shingled_forest().to_bytes(), F32(5.5), F32(math.nan), last=True)),
    lambda: Forest.from_bytes(_poisoned(_shingled_forest().to_bytes(), F32(5.5), F32(math.inf), last=True)),
    lambda: Forest.from_bytes(_poisoned(_shingled_forest().to_bytes(), F32(1.25), F32(-math.inf))),
    lambda: Forest.from_json(_shingled_forest().to_json().replace('"shingle_buf":[3.75,5.5]',
                                                                  '"shingle_buf":[3.75,1e39]')),
    lambda: MStream.from_bytes(_poisoned(MStream(2, 1, seed=2).to_bytes(),
                                         F64(json.loads(MStream(2, 1, seed=2).to_json())["record_counts"]["current"]
                                             ["numeric_planes"]["data"][3]), F64(math.nan))),
])
def test_readers_refuse_values_that_updates_refuse(load):
    # Once accepted, a NaN point made the next save unreadable.
    with pytest.raises(RuntimeError, match="inconsistent state: .*not finite"):
        load()


class Tagged(Forest):
    pass


def test_pickle_goes_through_the_bytes_and_keeps_subclass_and_attributes():
    f = Tagged(2, num_trees=2, capacity=8, seed=1)
    for i in range(30):
        f.update([i % 5, i % 3])
    f.label = "east"
    blob = pickle.dumps(f)
    assert b"from_bytes" in blob and b'"config"' not in blob
    back = pickle.loads(blob)
    assert type(back) is Tagged and back.label == "east" and back.to_json() == f.to_json()
    plain = pickle.loads(pickle.dumps(Forest.from_json(f.to_json()), protocol=0))
    assert type(plain) is Forest and plain.to_json() == f.to_json()


def test_pickles_of_the_json_form_still_load():
    f = Forest(2, num_trees=2, capacity=8, seed=1)
    f.update([1.0, 2.0])
    m = MStream(1, 1, seed=1)
    m.update([1.0], [2], 3)

    class Old:
        def __init__(self, detector, args):
            self.detector, self.args = detector, args

        def __reduce__(self):
            return type(self.detector), self.args, self.detector.to_json()

    for detector, args in ((f, (2,)), (m, (1, 1))):
        back = pickle.loads(pickle.dumps(Old(detector, args)))
        assert back.to_json() == detector.to_json()


def test_binary_form_is_compact():
    f, *_ = fed("gauss", 1500)
    assert len(f.to_bytes()) * 8 < len(f.to_json())
    header = struct.unpack("<4sBBHQI", f.to_bytes()[:20])
    assert header[0] == b"ARBL" and header[4] == len(f.to_bytes()) - 20
