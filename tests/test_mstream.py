"""MStream: pinned hashing and scores, preview against ingest, the record
checks and their order, refused records leaving no trace, table sizes, and a
plain-Python model of the whole detector checked bit for bit."""

import copy
import json
import math
import os
import random
import struct
import subprocess
import sys

import pytest

import arbolet
from arbolet import MStream

MASK = 2**64 - 1
EPS = 2.0**-52
VALUE_CONSTANT = 0xBE5466CF34E90C6C
COEFF_CONSTANT = 0x452821E638D01377
MULTIPLIER = 0x5851F42D4C957F2D


def doc(m):
    return json.loads(m.to_json())


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def fold(a, b):
    p = a * b
    return (p & MASK) ^ (p >> 64)


def rotl(x, n):
    n %= 64
    return ((x << n) | (x >> (64 - n))) & MASK if n else x


class Model:
    """The detector written out in plain Python floats, seeded with the planes
    and coefficients of a real detector's document."""

    def __init__(self, d):
        c = d["config"]
        self.nd, self.cd, self.rows, self.buckets, self.alpha = (
            c["numeric_dim"], c["categorical_dim"], c["num_rows"], c["num_buckets"], c["alpha"])
        rec = d["record_counts"]["current"]
        self.planes_per_row = rec["numeric_planes"]["dim"][1]
        self.planes = rec["numeric_planes"]["data"]
        self.coeffs = rec["categorical_coeffs"]["data"]
        self.hash = [(s["current"]["hash_a"]["data"], s["current"]["hash_b"]["data"]) for s in d["categorical_counts"]]
        R, B = self.rows, self.buckets
        self.rec = [[0.0] * (R * B), [0.0] * (R * B)]
        self.num = [[[0.0] * B, [0.0] * B] for _ in range(self.nd)]
        self.cat = [[[0.0] * (R * B), [0.0] * (R * B)] for _ in range(self.cd)]
        self.lo, self.hi = [math.inf] * self.nd, [-math.inf] * self.nd
        self.time, self.tick, self.seen = None, 0, 0

    def dot(self, plane, v):
        n = len(v)
        if n < 8:
            s = 0.0
            for p, x in zip(plane, v):
                s += p * x
            return s
        part = [0.0] * 8
        full = n - n % 8
        for k in range(full):
            part[k % 8] += plane[k] * v[k]
        s = 0.0
        for k in range(4):
            s += part[k] + part[k + 4]
        for k in range(full, n):
            s += plane[k] * v[k]
        return s

    def record_bucket(self, r, v, codes):
        q = 0
        for j, c in enumerate(codes):
            o = fold((c & MASK) ^ r ^ VALUE_CONSTANT, MULTIPLIER)
            t = fold(o, self.coeffs[r * self.cd + j] ^ COEFF_CONSTANT)
            q = (q + rotl(t, o)) % self.buckets
        g = 0
        if self.nd:
            for i in range(self.planes_per_row):
                start = (r * self.planes_per_row + i) * self.nd
                if self.dot(self.planes[start:start + self.nd], v) > 0:
                    g |= 1 << i
        return (q + g) % self.buckets

    def cat_bucket(self, j, r, c):
        a, b = self.hash[j][0][r], self.hash[j][1][r]
        d = fold(b ^ (c & MASK) ^ VALUE_CONSTANT, MULTIPLIER)
        return rotl(fold(d, a ^ COEFF_CONSTANT), d) % self.buckets

    def num_bucket(self, z):
        return min(max(math.floor(z * self.buckets), 0), self.buckets - 1)

    @staticmethod
    def sketch_score(a, s, T):
        mu = s / T
        if mu <= EPS:
            return 0.0
        d = a - mu
        return (d * d) / mu + (d * d) / (max(T - 1.0, 1.0) * mu)

    def ingest(self, numeric, codes, t):
        v = [f32(x) for x in numeric]
        elapsed = 0 if self.time is None else t - self.time
        self.tick = 1 if self.time is None else self.tick + elapsed
        self.time = t
        if elapsed:
            f = self.alpha ** float(elapsed)
            for table in [self.rec[0]] + [n[0] for n in self.num] + [c[0] for c in self.cat]:
                for k in range(len(table)):
                    table[k] *= f
        T = float(max(self.tick, 1))
        R, B = self.rows, self.buckets
        nscores = []
        for i, x in enumerate(v):
            y = math.asinh(x)
            if self.seen == 0:
                self.lo[i] = self.hi[i] = y
                z = 0.0
            else:
                self.lo[i] = y if y < self.lo[i] else self.lo[i]
                self.hi[i] = y if y > self.hi[i] else self.hi[i]
                rng = self.hi[i] - self.lo[i]
                z = 0.0 if rng <= EPS else (y - self.lo[i]) / rng
            b = self.num_bucket(z)
            cur, tot = self.num[i]
            cur[b] += 1.0
            tot[b] += 1.0
            nscores.append(self.sketch_score(cur[b], tot[b], T))

        def add_rows(pair, bucket_of):
            a = s = math.inf
            for r in range(R):
                k = r * B + bucket_of(r)
                pair[0][k] += 1.0
                pair[1][k] += 1.0
                a, s = min(a, pair[0][k]), min(s, pair[1][k])
            return self.sketch_score(a, s, T)

        record = add_rows(self.rec, lambda r: self.record_bucket(r, v, codes))
        cscores = [add_rows(self.cat[j], lambda r, j=j, c=c: self.cat_bucket(j, r, c)) for j, c in enumerate(codes)]
        self.seen += 1
        total = (record + sum_in_order(nscores)) + sum_in_order(cscores)
        return {"total": total, "record": record, "numeric_features": nscores, "categorical_features": cscores}


def sum_in_order(values):
    s = 0.0
    for x in values:
        s += x
    return s


def same_bits(a, b):
    return struct.pack("d", a) == struct.pack("d", b)


# --- pinned hashing --------------------------------------------------------

def record_buckets_of(m, numeric, codes):
    """Ingests one record into a fresh detector and reads back where it landed."""
    m.update(numeric, codes, 1)
    d = doc(m)
    B = d["config"]["num_buckets"]
    counts = d["record_counts"]["total"]["count"]["data"]
    rows = [counts[r * B:(r + 1) * B] for r in range(d["config"]["num_rows"])]
    record = [row.index(1.0) for row in rows]
    per_feature = []
    for pair in d["categorical_counts"]:
        data = pair["total"]["count"]["data"]
        per_feature.append([data[r * B:(r + 1) * B].index(1.0) for r in range(d["config"]["num_rows"])])
    return record, per_feature


def test_planes_and_sign_bits_for_seed_1():
    d = doc(MStream(2, 0, num_rows=1, num_buckets=4, seed=1))
    planes = d["record_counts"]["current"]["numeric_planes"]
    assert planes["dim"] == [1, 2, 2]
    assert planes["data"] == [0.8439986136221761, 0.7155607127305931, -1.9158714436187585, 0.45249647038446317]
    assert d["record_counts"]["total"]["numeric_planes"] == planes
    for numeric, bucket in [((1, 0), 1), ((0, 1), 3), ((-1, -1), 2), ((0, 0), 0)]:
        m = MStream(2, 0, num_rows=1, num_buckets=4, seed=1)
        assert record_buckets_of(m, list(numeric), []) == ([bucket], [])


@pytest.mark.parametrize("code, categorical, record", [(7, 1, 2), (0, 3, 0), (-1, 2, 1)])
def test_coefficients_and_buckets_for_seed_0(code, categorical, record):
    m = MStream(0, 1, num_rows=1, num_buckets=4, seed=0)
    d = doc(m)
    assert d["record_counts"]["current"]["categorical_coeffs"]["data"] == [3]
    assert d["categorical_counts"][0]["current"]["hash_a"]["data"] == [2]
    assert d["categorical_counts"][0]["current"]["hash_b"]["data"] == [0]
    assert record_buckets_of(m, [], [code]) == ([record], [[categorical]])


def test_coefficients_and_buckets_for_seed_42():
    m = MStream(0, 2, num_rows=2, num_buckets=1024, seed=42)
    d = doc(m)
    assert d["record_counts"]["current"]["categorical_coeffs"] == {"v": 1, "dim": [2, 2], "data": [566, 913, 763, 440]}
    hashes = [(p["current"]["hash_a"]["data"], p["current"]["hash_b"]["data"]) for p in d["categorical_counts"]]
    assert hashes == [([426, 743], [342, 838]), ([754, 2], [322, 525])]
    assert record_buckets_of(m, [], [3, -5]) == ([420, 456], [[65, 1002], [516, 71]])


def test_plane_count_and_table_shapes():
    for buckets, planes in [(2, 1), (1000, 10), (1024, 10), (1025, 11)]:
        d = doc(MStream(3, 2, num_rows=2, num_buckets=buckets, seed=5))
        assert d["record_counts"]["current"]["numeric_planes"]["dim"] == [2, planes, 3]
    d = doc(MStream(0, 2, num_rows=3, num_buckets=2, seed=5))
    assert d["record_counts"]["current"]["numeric_planes"] == {"v": 1, "dim": [3, 1, 0], "data": []}
    assert all(p["current"]["hash_a"]["data"] == [1, 1, 1] for p in d["categorical_counts"])
    assert d["record_counts"]["current"]["categorical_coeffs"]["data"][0::2] == [1, 1, 1]


# --- scores ----------------------------------------------------------------

def test_pinned_scores_of_a_repeated_record():
    m = MStream(1, 1, seed=9)
    first = m.update_and_score_detailed([2.5], [4], 1)
    assert first == {"total": 0.0, "record": 0.0, "numeric_features": [0.0], "categorical_features": [0.0]}
    second = m.update_and_score_detailed([2.5], [4], 2)
    assert second == {"total": 3.8400000000000007, "record": 1.2800000000000002,
                      "numeric_features": [1.2800000000000002], "categorical_features": [1.2800000000000002]}
    third = m.update_and_score_detailed([2.5], [4], 3)
    assert third["record"] == third["numeric_features"][0] == third["categorical_features"][0] == 3.110400000000002


def test_records_sharing_the_first_timestamp_score_zero():
    m = MStream(3, 2, num_buckets=16, seed=2)
    rng = random.Random(2)
    for _ in range(50):
        record = ([rng.uniform(-5, 5) for _ in range(3)], [rng.randrange(-3, 3) for _ in range(2)])
        assert m.score(*record, 7) == 0.0
        assert m.update_and_score_detailed(*record, 7) == {
            "total": 0.0, "record": 0.0, "numeric_features": [0.0] * 3, "categorical_features": [0.0] * 2}
    assert m.current_time() == 7 and m.entries_seen() == 50


@pytest.mark.parametrize(
    "nd, cd, rows, buckets, alpha, seed",
    [(1, 1, 2, 1024, 0.8, 1), (0, 3, 3, 1000, 0.5, 2), (9, 0, 1, 7, 0.9, 3), (17, 2, 2, 1025, 0.3, 4),
     (8, 1, 2, 2, 0.99, 5), (12, 4, 1, 64, 0.6, 6)],
)
def test_matches_the_plain_model_bit_for_bit(nd, cd, rows, buckets, alpha, seed):
    m = MStream(nd, cd, num_rows=rows, num_buckets=buckets, alpha=alpha, seed=seed)
    model = Model(doc(m))
    rng = random.Random(seed)
    edge = int(1015 * math.log(2) / -math.log(alpha))
    t = 1
    for i in range(150):
        numeric = [rng.choice([0.0, -0.0, rng.gauss(0, 1), rng.gauss(0, 1) * 1e30, 3.0]) for _ in range(nd)]
        codes = [rng.choice([0, 1, -1, 5, -5, 2**63 - 1, -(2**63), rng.randrange(-9, 9)]) for _ in range(cd)]
        # Mostly small steps, with a few gaps that take counts to the edge of
        # the subnormal range (small steps then walk them through it) or
        # straight down to zero.
        t += rng.choice([0, 0, 1, 1, 1, 2, 40, edge, edge, 4 * edge])
        preview = m.score_detailed(numeric, codes, t)
        got = m.update_and_score_detailed(numeric, codes, t)
        want = model.ingest(numeric, codes, t)
        assert got == preview
        for key in ("total", "record"):
            assert same_bits(got[key], want[key]), (i, key)
        assert all(map(same_bits, got["numeric_features"], want["numeric_features"]))
        assert all(map(same_bits, got["categorical_features"], want["categorical_features"]))
    d = doc(m)
    assert d["record_counts"]["current"]["count"]["data"] == model.rec[0]
    assert [p["current"]["count"]["data"] for p in d["numeric_counts"]] == [n[0] for n in model.num]
    assert [p["current"]["count"]["data"] for p in d["categorical_counts"]] == [c[0] for c in model.cat]
    assert d["numeric_normalizer"]["min_numeric"] == model.lo and d["numeric_normalizer"]["max_numeric"] == model.hi


def test_preview_changes_nothing_and_repeats():
    m = MStream(2, 2, num_buckets=32, seed=3)
    before = m.to_json()
    assert m.score([1.0, 2.0], [1, 2], 5) == m.score([1.0, 2.0], [1, 2], 5)
    assert m.to_json() == before and m.current_time() is None and not m.is_ready()
    for t in range(1, 30):
        m.update([t % 4, -t], [t % 3, 1], t)
    before = m.to_json()
    for t in (29, 30, 10**6):
        assert m.score_detailed([0.5, 100.0], [2, 7], t)["total"] == m.score([0.5, 100.0], [2, 7], t)
    assert m.to_json() == before


def test_new_extremes_and_constant_features_pick_edge_buckets():
    m = MStream(2, 0, num_rows=1, num_buckets=8, seed=1)
    m.update([1.0, 4.0], [], 1)
    m.update([2.0, 4.0], [], 1)  # feature 0: a new maximum; feature 1: range 0
    d = doc(m)
    assert d["numeric_counts"][0]["total"]["count"]["data"] == [1.0] + [0.0] * 6 + [1.0]
    assert d["numeric_counts"][1]["total"]["count"]["data"] == [2.0] + [0.0] * 7
    assert d["numeric_normalizer"] == {"min_numeric": [math.asinh(1.0), math.asinh(4.0)],
                                       "max_numeric": [math.asinh(2.0), math.asinh(4.0)]}


# --- record checks ---------------------------------------------------------

@pytest.mark.parametrize(
    "numeric, codes, t, error, message",
    [
        ([1.0, 2.0, 3.0], [1, 2, 3], 0, ValueError, "dimension mismatch: expected 2, got 3"),
        ([1.0], [1], 1, ValueError, "dimension mismatch: expected 2, got 1"),
        ([1.0, 2.0], [1], 0, ValueError, "dimension mismatch: expected 2, got 1"),
        ([1.0, math.nan], [1, 2], 0, ValueError, "timestamp must be > 0"),
        ([1.0, math.nan], [1, 2], 3, ValueError, "timestamps must be non-decreasing: previous=5, got=3"),
        ([1.0, math.inf], [1, 2], 5, ValueError, "numeric values must be finite in single precision (magnitude at most 3.4028235e38)"),
        ([1e39, 0.0], [1, 2], 6, ValueError, "numeric values must be finite in single precision (magnitude at most 3.4028235e38)"),
        ([1e300, 0.0], [1, 2], 6, ValueError, "numeric values must be finite in single precision (magnitude at most 3.4028235e38)"),
    ],
)
@pytest.mark.parametrize("method", ["update", "score", "update_and_score", "score_detailed", "update_and_score_detailed"])
def test_record_checks_in_order_leave_no_trace(method, numeric, codes, t, error, message):
    m = MStream(2, 2, num_buckets=16, seed=4)
    m.update([1.0, 2.0], [1, 2], 5)
    before = m.to_json()
    with pytest.raises(error) as info:
        getattr(m, method)(numeric, codes, t)
    assert str(info.value) == message
    assert m.to_json() == before


def test_a_refused_record_leaves_the_detector_as_it_was():
    m, twin = MStream(3, 1, num_buckets=64, seed=8), MStream(3, 1, num_buckets=64, seed=8)
    for det in (m, twin):
        det.update([1.0, 2.0, 3.0], [1], 1)
        det.update([2.0, 1.0, 0.0], [2], 2)
    # A new extreme before the bad value, at a later time: neither the clock,
    # the decay nor the bounds may move.
    with pytest.raises(ValueError, match="numeric values must be finite"):
        m.update_and_score([1e6, -1e6, math.nan], [3], 50)
    assert m.to_json() == twin.to_json()
    assert m.current_time() == 2 and m.entries_seen() == 2
    assert m.update_and_score_detailed([1.5, 1.5, 1.5], [1], 3) == twin.update_and_score_detailed([1.5, 1.5, 1.5], [1], 3)


@pytest.mark.parametrize("code", [2**63, -(2**63) - 1])
@pytest.mark.parametrize("method", ["update", "score_detailed", "update_and_score"])
def test_codes_beyond_signed_64_bits_are_refused(method, code):
    m = MStream(0, 2, seed=1)
    before = m.to_json()
    with pytest.raises(OverflowError):
        getattr(m, method)([], [1, code], 1)
    assert m.to_json() == before and m.current_time() is None


def test_negative_codes_are_their_own_values():
    m = MStream(0, 1, num_rows=1, num_buckets=2**16, seed=6)
    m.update([], [-(2**63)], 1)
    m.update([], [-5], 1)
    m.update([], [5], 1)
    counts = doc(m)["categorical_counts"][0]["total"]["count"]["data"]
    assert sorted(c for c in counts if c) == [1.0, 1.0, 1.0]


# --- sizes and loaded states -----------------------------------------------

@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((2**62, 0), dict(num_rows=1, num_buckets=2), "num_rows * plane count * numeric_dim is too large"),
        ((0, 2**61), dict(num_rows=1), "num_rows * categorical_dim is too large"),
        ((1, 0), dict(num_rows=2**40, num_buckets=2**40), "num_rows * num_buckets is too large"),
        ((0, 1), dict(num_rows=1, num_buckets=2**63), "num_rows * num_buckets is too large"),
    ],
)
def test_tables_beyond_signed_64_bits_are_refused(args, kwargs, message):
    with pytest.raises(ValueError, match=message.replace("*", r"\*")):
        MStream(*args, **kwargs)


@pytest.mark.parametrize("args, kwargs", [((2**40, 0), {}), ((0, 2**30), {}), ((1, 0), dict(num_buckets=2**50))])
def test_tables_larger_than_memory_raise_memory_error(args, kwargs):
    with pytest.raises(MemoryError):
        MStream(*args, seed=1, **kwargs)


def test_validation_comes_before_sizes():
    with pytest.raises(ValueError, match="alpha must be in range"):
        MStream(2**62, 0, num_buckets=2**63, alpha=1.0)


def reshaped(m, edit):
    d = doc(m)
    edit(d)
    return MStream.from_json(json.dumps(d))


@pytest.mark.parametrize(
    "edit",
    [
        lambda d: d["config"].update(num_rows=3),
        lambda d: d["config"].update(num_buckets=1),
        lambda d: d["record_counts"]["total"]["numeric_planes"].update(dim=[2, 5, 4], data=[0.5] * 40),
        lambda d: d["record_counts"]["current"]["categorical_coeffs"].update(dim=[2, 1], data=[1, 1]),
        lambda d: d["numeric_counts"].pop(),
        lambda d: d["categorical_counts"][1]["total"]["hash_b"].update(dim=[1], data=[3]),
        lambda d: d["categorical_counts"][0]["current"]["count"].update(dim=[2, 4], data=[0.0] * 8),
        lambda d: d["numeric_normalizer"]["max_numeric"].append(1.0),
    ],
)
def test_inconsistent_loaded_states_are_refused(edit):
    m = MStream(2, 2, num_buckets=8, seed=3)
    m.update([1.0, 2.0], [1, 2], 1)
    with pytest.raises(RuntimeError, match=r'^Io\("inconsistent state: '):
        reshaped(m, edit)
    state = m.__getstate__()
    d = doc(m)
    edit(d)
    with pytest.raises(RuntimeError, match="inconsistent state"):
        m.__setstate__(json.dumps(d))
    assert m.__getstate__() == state


def test_record_counter_saturates_instead_of_wrapping():
    # Past 2^53 records a total count stops growing; a state that says it has
    # seen that many records but whose counts sum to less is refused.
    m = MStream(2, 1, num_buckets=4, seed=5)
    m.update([1.0, 2.0], [3], 1)
    d = doc(m)
    d["entries_seen"] = 2**64 - 3
    with pytest.raises(RuntimeError, match="record counts cannot follow"):
        MStream.from_json(json.dumps(d))
    for sketch in [d["record_counts"]] + d["numeric_counts"] + d["categorical_counts"]:
        total = sketch["total"]["count"]
        total["data"] = [2.0**53 if c else 0.0 for c in total["data"]]
    m = MStream.from_json(json.dumps(d))
    for t in range(2, 8):
        m.update([t, 1.0], [t], t)
    assert m.entries_seen() == 2**64 - 1
    assert MStream.from_bytes(m.to_bytes()).to_json() == MStream.from_json(m.to_json()).to_json() == m.to_json()


DECAY_WORKOUT = """
import hashlib, json, math, random, arbolet
rng = random.Random(7)
out = []
for alpha, gaps in ((0.3, (1,)), (0.8, (1, 1, 2, 0, 1)), (0.999, (1,)), (1 - 2**-53, (1,))):
    d = json.loads(arbolet.MStream(2, 1, num_buckets=45, alpha=alpha, seed=4).to_json())
    for t in [d["record_counts"]["current"]] + [p["current"] for p in d["numeric_counts"] + d["categorical_counts"]]:
        t["count"]["data"] = [rng.choice([0.0, -0.0, 1.0, 5e-324 * rng.randrange(1, 9), -1e-320,
                                          5e-324 * rng.randrange(1, 2**52), math.ldexp(rng.random(), -1000)])
                              for _ in t["count"]["data"]]
    m, t = arbolet.MStream.from_json(json.dumps(d)), 1
    for i in range(1500):
        t += gaps[i % len(gaps)]
        record = ([rng.choice([0.0, 1.0, 2.0]), 5.0], [rng.randrange(3)], t)
        out += [m.score(*record), m.update_and_score(*record)]
        if i % 100 == 0:
            out.append(hashlib.sha256(m.to_bytes()).hexdigest())
    out.append(m.to_json())
print(hashlib.sha256(repr(out).encode()).hexdigest())
"""


def test_decay_loops_give_the_same_bits():
    # ARBOLET_PORTABLE_KERNELS: 0 lets the hardware multiply subnormal counts
    # where that is exact and fast, 2 keeps the packed loops away from them,
    # 1 runs the plain loops. Counts start around the subnormal range and
    # decays are owed for many records at a time.
    runs = [subprocess.run([sys.executable, "-c", DECAY_WORKOUT], capture_output=True, text=True, check=True,
                           env={**os.environ, "ARBOLET_PORTABLE_KERNELS": flag}).stdout for flag in ("0", "1", "2")]
    assert runs[0] == runs[1] == runs[2] and len(runs[0]) == 65


def test_loaded_state_continues_like_the_original():
    m = MStream(3, 2, num_buckets=100, seed=12)
    for t in range(1, 40):
        m.update([t, -t / 3, t % 5], [t % 4, -t], t // 2 + 1)
    clone = MStream.from_json(m.to_json())
    for t in range(20, 30):
        assert m.update_and_score_detailed([t, 1.0, 2.0], [1, -1], t) == \
            clone.update_and_score_detailed([t, 1.0, 2.0], [1, -1], t)


def awkward_counts(n, rng):
    """Counts around the subnormal range, where the decay rounds by itself."""
    return [rng.choice([0.0, 5e-324 * rng.randrange(1, 2**52), 5e-324 * rng.randrange(1, 9),
                        math.ldexp(rng.random(), -1020), math.ldexp(rng.random(), -1000), 1.0]) for _ in range(n)]


def rounding_twice_counts(n, rng):
    """Subnormal counts whose product with 1 - 2**-53, rounded to doubles first,
    lands exactly between two subnormals (the exact product does not)."""
    return [5e-324 * (3 * 2**50 + 2 * rng.randrange(2**40) + 1) for _ in range(n)]


@pytest.mark.parametrize("alpha, steps, fill", [
    (1 - 2**-53, [1], rounding_twice_counts),
    (0.8, [1], None), (0.8, [1, 1, 1, 2, 0, 1, 3], None), (0.3, [1, 0], None), (0.99, [5], None),
    (0.5, [1, 1, 2], awkward_counts), (0.75, [1], awkward_counts), (0.999, [1, 3], awkward_counts)])
def test_loaded_and_copied_counts_decay_like_the_model(alpha, steps, fill):
    # Counts that a decay leaves unchanged (zeros of both signs, counts stuck
    # at the bottom of the subnormal range) next to ones it changes, written
    # into a document: the loaded detector, and a copy taken mid-stream, must
    # multiply exactly what the model multiplies.
    m = MStream(3, 2, num_rows=2, num_buckets=13 if fill is None else 64, alpha=alpha, seed=21)
    m.update([0.0, 1.0, 2.0], [1, 2], 1)
    d = doc(m)
    pattern = [0.0, 5e-324, 1e-323, 0.0, -0.0, -5e-324, 1.0, 3e-308, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 2.5e-320]
    tables = [d["record_counts"]["current"]] + [p["current"] for p in d["numeric_counts"]] + \
        [p["current"] for p in d["categorical_counts"]]
    fill_rng = random.Random(alpha)
    for n, table in enumerate(tables):
        size = len(table["count"]["data"])
        table["count"]["data"] = fill(size, fill_rng) if fill else [pattern[(n + k) % len(pattern)] for k in range(size)]
    loaded = MStream.from_json(json.dumps(d))
    model = Model(d)
    model.time, model.tick, model.seen = 1, 1, 1
    model.lo, model.hi = d["numeric_normalizer"]["min_numeric"], d["numeric_normalizer"]["max_numeric"]
    model.rec[0] = list(tables[0]["count"]["data"])
    model.rec[1] = list(d["record_counts"]["total"]["count"]["data"])
    for i, pair in enumerate(d["numeric_counts"]):
        model.num[i] = [list(pair["current"]["count"]["data"]), list(pair["total"]["count"]["data"])]
    for j, pair in enumerate(d["categorical_counts"]):
        model.cat[j] = [list(pair["current"]["count"]["data"]), list(pair["total"]["count"]["data"])]
    rng = random.Random(5)
    t, clone = 1, None
    for i in range(120):
        t += steps[i % len(steps)]
        numeric, codes = [rng.choice([0.0, 1.0, 2.0, 7.5]) for _ in range(3)], [rng.randrange(3), 5]
        want = model.ingest(numeric, codes, t)
        got = loaded.update_and_score_detailed(numeric, codes, t)
        assert same_bits(got["total"], want["total"]), i
        if clone is not None:
            assert clone.update_and_score_detailed(numeric, codes, t) == got
        if i == 40:
            clone = copy.copy(loaded)
    final = doc(loaded)
    assert clone.to_json() == loaded.to_json()
    got_tables = [final["record_counts"]["current"]] + [p["current"] for p in final["numeric_counts"]] + \
        [p["current"] for p in final["categorical_counts"]]
    want_tables = [model.rec[0]] + [n[0] for n in model.num] + [c[0] for c in model.cat]
    for got, want in zip(got_tables, want_tables):
        assert all(map(same_bits, got["count"]["data"], want))
