"""Forest queries: score walks, attribution, near neighbours, imputation and
extrapolation. Exact values come from small hand-built trees loaded through
from_json; behaviour on trained forests is checked by property."""

import json
import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import arbolet
from conftest import run_engine_check
from reference_rng import next_u64, peek, seeded, uniform

NONE = 2**64 - 1
QUERIES = ["score", "displacement_score", "density"]


def f32(x):
    return float(np.float32(x))


def build_doc(points, trees, shingle_size=1, internal_shingling=True, shingle_buf=None):
    """A forest document whose trees are given as nested tuples:
    ("L", row, mass) or ("I", cut_dim, cut_val, left, right). Boxes and
    masses are derived from the children as the tree code keeps them."""
    dims = len(points[0])
    capacity = 8

    def tree_doc(spec):
        nodes = []

        def emit(node):
            if node[0] == "L":
                nodes.append({"Leaf": {"point_idx": node[1], "mass": node[2]}})
                p = np.array(points[node[1]], dtype=np.float32)
                return len(nodes) - 1, p, p, node[2]
            _, cut_dim, cut_val, left, right = node
            ls, lmin, lmax, lmass = emit(left)
            rs, rmin, rmax, rmass = emit(right)
            bmin, bmax = np.minimum(lmin, rmin), np.maximum(lmax, rmax)
            range_sum = sum(float(np.float32(hi - lo)) for lo, hi in zip(bmin, bmax))
            nodes.append({"Internal": {"left": ls, "right": rs, "cut_dim": cut_dim, "cut_val": cut_val,
                                       "mass": lmass + rmass,
                                       "bbox": {"min": [float(v) for v in bmin], "max": [float(v) for v in bmax],
                                                "range_sum": range_sum}}})
            return len(nodes) - 1, bmin, bmax, lmass + rmass

        if spec is None:
            return {"root": NONE, "tree_mass": 0, "arena": {"nodes": [], "free": []},
                    "rng": {"s": [1, 2, 3, 4]}, "dims": dims}
        root, _, _, mass = emit(spec)
        return {"root": root, "tree_mass": mass, "arena": {"nodes": nodes, "free": []},
                "rng": {"s": [1, 2, 3, 4]}, "dims": dims}

    rows = len(points)
    # Each tree's sampler holds its leaves' rows, one entry per unit of mass,
    # and the point store counts those entries, as updates leave them.
    tree_docs = [tree_doc(t) for t in trees]
    held = [[n["Leaf"]["point_idx"] for n in t["arena"]["nodes"] if n and "Leaf" in n
             for _ in range(n["Leaf"]["mass"])] for t in tree_docs]
    capacity = max([capacity] + [len(h) for h in held])
    refs = [sum(h.count(r) for h in held) for r in range(rows)]
    return {
        "config": {"input_dim": dims // shingle_size, "shingle_size": shingle_size, "capacity": capacity,
                   "num_trees": len(trees), "time_decay": 0.0, "output_after": 0,
                   "internal_shingling": internal_shingling, "initial_accept_fraction": 0.125},
        "trees": tree_docs,
        "samplers": [{"capacity": capacity, "weights": [0.0] * capacity,
                      "point_indices": h + [NONE] * (capacity - len(h)),
                      "size": len(h), "pending_weight": 0.0, "pending_point": NONE} for h in held],
        "point_store": {"dim": dims, "input_dim": dims // shingle_size, "shingle_size": shingle_size,
                        "internal_shingling": internal_shingling,
                        "store": {"v": 1, "dim": [rows, dims], "data": [v for p in points for v in p]},
                        "occupied": [r > 0 for r in refs], "ref_count": refs, "next_free": rows,
                        "free_list": [i for i, r in enumerate(refs) if r == 0],
                        "size": sum(r > 0 for r in refs), "capacity": rows, "shingle_buf": shingle_buf or [0.0] * dims,
                        "entries_seen": rows},
        "entries_seen": rows,
        "rng": {"s": [5, 6, 7, 8]},
    }


def load(*args, **kwargs):
    return arbolet.Forest.from_json(json.dumps(build_doc(*args, **kwargs)))


# Two points split on dimension 0 at 0.5, plus an empty tree that still
# counts in every average.
PAIR = [[0.0, 0.0], [1.0, 1.0]]
SPLIT = ("I", 0, 0.5, ("L", 0, 1), ("L", 1, 1))
L3 = math.log2(3)


@pytest.fixture
def pair():
    return load(PAIR, [SPLIT, None])


def cluster_forest(dims=2, n=400, seed=3, **kwargs):
    rng = np.random.default_rng(seed)
    forest = arbolet.Forest(dims, seed=seed, **kwargs)
    for row in rng.normal(0.0, 1.0, size=(n, dims)):
        forest.update(row)
    return forest, rng


def test_empty_forest_results():
    forest = arbolet.Forest(3, seed=1)
    for name in QUERIES:
        assert getattr(forest, name)([1, 2, 3]) == 0.0
    assert forest.attribution([1, 2, 3]) == [{"below": 0.0, "above": 0.0}] * 3
    assert list(forest.attribution([1, 2, 3])[0]) == ["below", "above"]
    assert forest.near_neighbors([1, 2, 3]) == []
    with pytest.raises(RuntimeError, match="^NotReady$"):
        forest.impute([1, 2, 3], [0])


@pytest.mark.parametrize("mass", [1, 4])
def test_single_leaf_trees(mass):
    forest = arbolet.Forest(2, num_trees=3, capacity=8, seed=5)
    for _ in range(mass):
        forest.update([1.0, 2.0])
    assert forest.score([1, 2]) == pytest.approx(0.5, rel=1e-15)
    assert forest.score([5, 5]) == pytest.approx(math.log2(mass + 1), rel=1e-15)
    assert forest.displacement_score([1, 2]) == pytest.approx(0.5 / (mass + 1) ** 2, rel=1e-15)
    assert forest.displacement_score([5, 5]) == pytest.approx(mass / (mass + 1), rel=1e-15)
    assert forest.density([1, 2]) == mass
    assert forest.density([5, 5]) == 0.0
    [hit] = forest.near_neighbors([5, 5])
    assert list(hit) == ["score", "point", "distance"]
    assert hit == {"score": pytest.approx(math.log2(mass + 1), rel=1e-15), "point": [1.0, 2.0], "distance": 7.0}


def test_path_values_on_hand_built_tree(pair):
    # (3, 0) goes right to (1, 1) at depth 1; the root's gap is 2 over a
    # range of 2, so p = 0.5 there.
    assert pair.score([3, 0]) == pytest.approx(0.75 * L3 / 2, rel=1e-15)
    assert pair.displacement_score([3, 0]) == pytest.approx((0.5 * 1 + 0.5 * 2) / 3 / 2, rel=1e-15)
    assert pair.density([3, 0]) == 0.5
    assert pair.attribution([3, 0]) == [{"below": pytest.approx(0.5 * L3 / 2, rel=1e-15), "above": 0.0},
                                        {"below": 0.0, "above": 0.0}]
    # Outside on both dimensions: gaps 2 (above the box) and 1 (below it)
    # share p = 3 / (2 + 3) in proportion, whatever the cut's dimension.
    assert pair.attribution([3, -1]) == [{"below": pytest.approx(0.4 * L3 / 2, rel=1e-15), "above": 0.0},
                                         {"below": 0.0, "above": pytest.approx(0.2 * L3 / 2, rel=1e-15)}]
    # A stored point: p = 0 on its path, so only the leaf term remains and
    # the attribution is zero.
    assert pair.score([1, 1]) == pytest.approx(0.75 * L3 / 2 / 2, rel=1e-15)
    assert pair.displacement_score([1, 1]) == pytest.approx(0.75 / 2 / 3 / 2, rel=1e-15)
    assert pair.density([1, 1]) == 0.5
    assert pair.attribution([1, 1]) == [{"below": 0.0, "above": 0.0}] * 2


@pytest.mark.parametrize("x, expected", [
    (0.5, [0.0, 0.0]),                        # equal to the cut: left
    (f32(np.nextafter(np.float32(0.5), np.float32(1))), [1.0, 1.0]),
    (float("nan"), [1.0, 1.0]),               # NaN compares false: right
])
def test_routing_at_the_cut(pair, x, expected):
    # percentile 100 stops below the root, so only the preferred leaf comes back
    [hit] = pair.near_neighbors([x, 0.0], percentile=100)
    assert hit["point"] == expected


def test_nan_never_matches_and_adds_no_gap(pair):
    # (NaN, 1): inside the box on dimension 1, goes right, does not match (1, 1)
    assert pair.score([float("nan"), 1]) == pytest.approx(0.5 * L3 / 2, rel=1e-15)
    assert pair.density([float("nan"), 1]) == 0.0


@pytest.mark.parametrize("query", [[float("inf"), 0.0], [float("-inf"), 0.0]])
def test_infinite_gap_gives_nan_scores_and_no_attribution(query):
    forest = load(PAIR, [SPLIT])
    for name in QUERIES:
        assert math.isnan(getattr(forest, name)(query))
    assert forest.attribution(query) == [{"below": 0.0, "above": 0.0}] * 2


@pytest.mark.parametrize("points, query", [
    (PAIR, [3e38, 3e38]),  # the gap's sum passes the largest float
    ([[-3.4028234e38, 1e38], [1.0, 0.0], [0.0, 2.0]], [3.4028234e38, 1e38]),  # so does a box's span
])
def test_finite_queries_beyond_the_float_range_of_a_sum_score_finite(points, query):
    forest = arbolet.Forest(2, seed=1)
    for point in points:
        forest.update(point)
    for name in QUERIES:
        assert math.isfinite(getattr(forest, name)(query)), name
    shares = [value for pair in forest.attribution(query) for value in pair.values()]
    assert all(math.isfinite(value) for value in shares) and sum(shares) > 0.0
    assert math.isfinite(forest.score_and_update(query))


def test_far_outlier_limits():
    forest, _ = cluster_forest(num_trees=20, capacity=64)
    far = [1e6, -1e6]
    assert forest.score(far) == pytest.approx(math.log2(65), rel=1e-4)
    assert forest.displacement_score(far) == pytest.approx(64 / 65, rel=1e-4)
    assert forest.density(far) == pytest.approx(64, rel=1e-4)
    total = sum(p["below"] + p["above"] for p in forest.attribution(far))
    assert total == pytest.approx(forest.score(far), rel=1e-3)


def test_detection_sanity():
    forest, rng = cluster_forest(num_trees=30, capacity=128, n=600)
    inliers = [forest.score(p) for p in rng.normal(0.0, 1.0, size=(50, 2))]
    outlier = forest.score([8.0, -8.0])
    assert outlier > 2 * np.mean(inliers)
    assert outlier > max(inliers)
    # the separation terms carry the outlier's score; an inlier's are small
    def separation_total(point):
        return sum(p["below"] + p["above"] for p in forest.attribution(point))
    assert separation_total([8.0, -8.0]) > 0.9 * outlier
    assert separation_total([0.0, 0.0]) < 0.5 * separation_total([8.0, -8.0])


@pytest.mark.parametrize("dims", [3, 8, 16])
def test_attribution_points_at_the_outlying_dimension(dims):
    forest, rng = cluster_forest(dims=dims, n=1000, seed=dims)
    model = Model(forest)
    for j in sorted({0, dims // 2, dims - 1}):
        for value, side in ((8.0, "below"), (-8.0, "above")):
            q = [0.0] * dims
            q[j] = value
            halves = forest.attribution(q)
            total = sum(p["below"] + p["above"] for p in halves)
            assert halves[j][side] > 0.9 * total
    # The halves carry the score except for the leaf terms.
    for q in rng.normal(0.0, 2.0, size=(5, dims)).astype(np.float32).tolist() + [[8.0] * dims]:
        total = sum(p["below"] + p["above"] for p in forest.attribution(q))
        expected = forest.score(q) - model.score_leaf_terms(np.array(q, dtype=np.float32))
        assert total == pytest.approx(expected, rel=1e-6)


def test_attribution_names_a_spike_in_the_newest_observation():
    forest = arbolet.Forest(1, shingle_size=4, seed=11)
    rng = np.random.default_rng(11)
    for t in range(1000):
        forest.update([math.sin(t / 5.0) + rng.normal(0.0, 0.1)])
    shares = [p["below"] + p["above"] for p in forest.attribution([6.0])]
    assert max(shares) == shares[3] > 0.5 * sum(shares)


def test_query_vector_rule():
    forest = arbolet.Forest(2, shingle_size=3, seed=2)
    for i in range(10):
        forest.update([i, -i])
    buf = [7.0, -7.0, 8.0, -8.0]
    assert forest.score([1, 2]) == forest.score(buf + [1, 2])
    assert len(forest.attribution([1, 2])) == 6
    assert all(len(n["point"]) == 6 for n in forest.near_neighbors([100, 100]))
    with pytest.raises(ValueError, match="^dimension mismatch: expected 6, got 4$"):
        forest.score([1, 2, 3, 4])
    external = arbolet.Forest(2, shingle_size=3, internal_shingling=False, seed=2)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 6, got 2$"):
        external.near_neighbors([1, 2])


def test_near_neighbors_merge_select_and_order():
    forest, _ = cluster_forest(num_trees=10, capacity=32, n=200)
    far = [50.0, 50.0]
    everything = forest.near_neighbors(far, top_k=10**9)
    distances = [n["distance"] for n in everything]
    assert distances == sorted(distances)
    assert len({tuple(n["point"]) for n in everything}) == len(everything)
    # A far query visits every leaf of every tree, at depth 1 or more.
    assert len(everything) > 32
    assert all(0 < n["score"] <= math.log2(33) / 2 for n in everything)
    assert forest.near_neighbors(far, top_k=5) == everything[:5]
    assert forest.near_neighbors(far, top_k=0) == []


def test_duplicate_rows_are_separate_entries():
    forest = load([[1.0, 1.0], [1.0, 1.0], [4.0, 0.0]],
                  [("I", 0, 2.0, ("L", 0, 1), ("L", 2, 1)), ("I", 0, 2.0, ("L", 1, 1), ("L", 2, 1))])
    hits = forest.near_neighbors([9.0, 9.0], percentile=0)
    assert sorted(h["distance"] for h in hits) == [14.0, 16.0, 16.0]
    # row 2 is found by both trees at depth 1
    assert hits[0] == {"score": pytest.approx(L3 / 2, rel=1e-15), "point": [4.0, 0.0], "distance": 14.0}


@pytest.mark.parametrize("call, exc, message", [
    (lambda f: f.impute([1, 2, 3], []), ValueError, "missing list is empty"),
    (lambda f: f.impute([1, 2, 3], [9]), ValueError, "dimension mismatch: expected 2, got 3"),
    (lambda f: f.impute([1, 2], [0, 2, 5]), RuntimeError, "IndexOutOfBounds(2)"),
])
def test_impute_check_order(call, exc, message):
    forest = arbolet.Forest(2, seed=1)  # empty: NotReady would come last
    with pytest.raises(exc) as info:
        call(forest)
    assert str(info.value) == message


@pytest.mark.parametrize("centrality", [1.0, 5.0, 0.0])
def test_impute_on_hand_built_tree(centrality):
    # Dimension 0 is missing: the cut on it opens both leaves. The nearest on
    # dimension 1 is (1, 1); centrality 0 takes the last leaf, here the same.
    forest = load(PAIR, [SPLIT])
    assert forest.impute([123.0, 0.9], [0, 0], centrality) == [1.0, f32(0.9)]
    # Dimension 1 missing: the cut on dimension 0 routes (0.2, ?) left.
    assert forest.impute([0.2, 55.0], [1], centrality) == [f32(0.2), 0.0]


def test_impute_centrality_zero_takes_the_last_leaf():
    forest = load(PAIR, [SPLIT])
    assert forest.impute([0.0, 0.0], [0], 1.0) == [0.0, 0.0]
    assert forest.impute([0.0, 0.0], [0], 0.0) == [1.0, 0.0]


@pytest.mark.parametrize("values, expected", [
    ([3.0], 3.0),
    ([3.0, 10.0], 6.5),
    ([10.0, -1.0, 3.0], 3.0),
    ([0.1, 0.2], f32((np.float32(0.1) + np.float32(0.2)) * np.float32(0.5))),
])
def test_median_rule(values, expected):
    points = [[v, 0.0] for v in values]
    forest = load(points, [("L", i, 1) for i in range(len(values))])
    assert forest.impute([0.0, 0.0], [0])[0] == expected


def test_impute_is_repeatable_and_ignores_missing_values():
    forest, rng = cluster_forest(dims=3, num_trees=15, capacity=32)
    for centrality in (1.0, 0.3):
        a = forest.impute([0.1, 99.0, -0.2], [1], centrality)
        assert a == forest.impute([0.1, -5.0, -0.2], [1, 1], centrality)
        assert a[0] == f32(0.1) and a[2] == f32(-0.2)


def test_extrapolate_checks():
    with pytest.raises(ValueError, match="^extrapolation requires internal_shingling = true$"):
        arbolet.Forest(1, internal_shingling=False, seed=1).extrapolate(0)
    with pytest.raises(ValueError, match="^extrapolation requires shingle_size > 1$"):
        arbolet.Forest(1, seed=1).extrapolate(0)
    empty = arbolet.Forest(2, shingle_size=3, seed=1)
    assert empty.extrapolate(0) == []
    with pytest.raises(RuntimeError, match="^NotReady$"):
        empty.extrapolate(1)
    with pytest.raises(ValueError) as info:
        empty.extrapolate(4)
    assert str(info.value) == "extrapolation requires look_ahead <= shingle_size (got 4, shingle_size=3)"


def test_extrapolate_forecasts_a_seasonal_signal():
    forest = arbolet.Forest(1, shingle_size=8, seed=9)
    wave = [math.sin(2 * math.pi * t / 16) for t in range(2008)]
    for x in wave[:2000]:
        forest.update([x])
    forecast = forest.extrapolate(8)
    assert forecast == pytest.approx(wave[2000:], abs=0.05)
    # Each step is one imputation of the newest block of the window moved
    # on by one observation.
    window = json.loads(forest.to_json())["point_store"]["shingle_buf"]
    for k in range(1, 9):
        window = forest.impute(window[1:] + [123.0], [7])
        assert forest.extrapolate(k)[-1] == window[7]
    assert forest.extrapolate(3) == forecast[:3]


def test_ctrl_c_stops_a_long_extrapolation_and_leaves_the_forest_unchanged():
    # The whole call takes seconds; the handler's exception ends it within
    # a poll interval, and a query has nothing to undo.
    forest = arbolet.Forest(1, shingle_size=8000, num_trees=30, capacity=32, seed=1)
    for i in range(8100):
        forest.update([float(i % 7)])
    before = forest.extrapolate(3)

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            forest.extrapolate(8000)
        assert time.monotonic() - start < 2.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert forest.extrapolate(3) == before and forest.entries_seen() == 8100


def test_extrapolate_shifts_before_the_first_step():
    forest = load([[1.0, 2.0, 3.0, 4.0]], [("L", 0, 1)], shingle_size=2, shingle_buf=[1.0, 2.0, 3.0, 4.0])
    assert forest.extrapolate(2) == [3.0, 4.0, 3.0, 4.0]


def test_queries_are_read_only():
    forest = arbolet.Forest(2, shingle_size=3, num_trees=10, capacity=32, seed=4)
    for t in range(100):
        forest.update([math.sin(t), math.cos(t)])
    before = forest.to_json()
    point = [0.5, 0.5]
    full = point * 3
    for name in QUERIES + ["attribution", "near_neighbors"]:
        getattr(forest, name)(point)
    forest.impute(full, [0, 3], 0.2)
    forest.extrapolate(3)
    assert forest.to_json() == before


@pytest.mark.parametrize("damage", ["cycle", "vacant", "cut_dim", "row"])
def test_inconsistent_documents_never_reach_a_crash(damage):
    # Either the loader refuses the document, or every query stops with a
    # PanicException; the walks themselves are checked on hand-damaged
    # states in tests/cpp/forest_query_check.cpp.
    doc = build_doc(PAIR, [SPLIT])
    nodes = doc["trees"][0]["arena"]["nodes"]
    root = nodes[2]["Internal"]
    if damage == "cycle":
        root["left"] = root["right"] = 2
    elif damage == "vacant":
        nodes[0] = nodes[1] = None
    elif damage == "cut_dim":
        root["cut_dim"] = 2
    else:
        nodes[0]["Leaf"]["point_idx"] = nodes[1]["Leaf"]["point_idx"] = 10**12
    try:
        forest = arbolet.Forest.from_json(json.dumps(doc))
    except RuntimeError as refused:
        assert str(refused).startswith("Io(")
        return
    for call in (lambda: forest.score([9.0, 9.0]), lambda: forest.near_neighbors([9.0, 9.0]),
                 lambda: forest.impute([9.0, 9.0], [0])):
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value).__name__ == "PanicException"


def test_walks_compiled_from_cpp():
    """Exact values on hand-built trees and the guards against damaged
    states (cycles, vacant or out-of-range slots, short box rows, deep
    chains), checked against the engine directly."""
    run_engine_check("forest_query_check")


# An independent model of the walks, read from the forest's document, to pin
# the order of every floating-point operation.

class Model:
    def __init__(self, forest):
        doc = json.loads(forest.to_json())
        store = doc["point_store"]["store"]
        self.rows = np.array(store["data"], dtype=np.float32).reshape(store["dim"])
        self.trees = doc["trees"]
        self.rng = doc["rng"]["s"]

    def node(self, tree, slot):
        [(kind, fields)] = tree["arena"]["nodes"][slot].items()
        return kind, fields

    def gaps(self, n, q):
        """Signed per-dimension gaps (negative: the query lies below the box)
        and their single-precision sum."""
        gaps, total = [], np.float32(0)
        for d, x in enumerate(q):
            lo, hi = np.float32(n["bbox"]["min"][d]), np.float32(n["bbox"]["max"][d])
            g = -(lo - x) if x < lo else (x - hi) if x > hi else np.float32(0)
            gaps.append(g)
            total = np.float32(total + abs(g))
        return gaps, total

    def p(self, n, q):
        gap = self.gaps(n, q)[1]
        if gap == 0:
            return 0.0
        if n["bbox"]["range_sum"] == 0:
            return 1.0
        return float(gap) / (n["bbox"]["range_sum"] + float(gap))

    def child(self, n, q):
        return n["left"] if q[n["cut_dim"]] <= np.float32(n["cut_val"]) else n["right"]

    def path(self, tree, slot, depth, q, kind):
        k, n = self.node(tree, slot)
        m, big = float(n["mass"]), float(tree["tree_mass"])
        if k == "Leaf":
            match = bool(np.all(self.rows[n["point_idx"]] == q))
            if kind == "density":
                return m if match else 0.0
            if kind == "score":
                return (1.0 - m / (2.0 * big)) * (1.0 / (depth + math.log2(m + 1.0))) if match else 1.0 / (depth + 1.0)
            return (1.0 - m / (2.0 * big)) * (1.0 / (m + 1.0)) if match else m
        c = self.path(tree, self.child(n, q), depth + 1, q, kind)
        p = self.p(n, q)
        if p == 0:
            return c
        return (1.0 - p) * c + p * (1.0 / (depth + 1.0) if kind == "score" else m)

    def combined(self, q, kind):
        total = 0.0
        for t in self.trees:
            if t["root"] == NONE or t["tree_mass"] == 0:
                continue
            v, big = self.path(t, t["root"], 0, q, kind), float(t["tree_mass"])
            total += {"score": v * math.log2(big + 1.0), "displacement_score": v / (big + 1.0), "density": v}[kind]
        return total / len(self.trees)

    def attribution(self, q):
        total = [[0.0, 0.0] for _ in q]
        for t in self.trees:
            pairs = [[0.0, 0.0] for _ in q]
            if t["root"] != NONE and t["tree_mass"]:
                lift, remaining, depth, slot = math.log2(t["tree_mass"] + 1.0), 1.0, 0, t["root"]
                while (nd := self.node(t, slot))[0] == "Internal":
                    n = nd[1]
                    slot = self.child(n, q)
                    p = self.p(n, q)
                    if p > 0:
                        gaps, gap = self.gaps(n, q)
                        rs = n["bbox"]["range_sum"]
                        den = float(gap) if rs == 0 else rs + float(gap)
                        for i, g in enumerate(gaps):
                            if g != 0 and math.isfinite(den):
                                add = lift * ((1.0 / (depth + 1.0)) * (remaining * (float(abs(g)) / den)))
                                pairs[i][1 if g < 0 else 0] += add
                        remaining *= 1.0 - p
                    depth += 1
            for a, b in zip(total, pairs):
                a[0] += b[0]
                a[1] += b[1]
        scale = 1.0 / len(self.trees)
        return [{"below": b * scale, "above": a * scale} for b, a in total]

    def score_leaf_terms(self, q):
        """The part of ``score`` that no attribution carries: each tree's
        leaf term, weighted by the chance left after the separations."""
        total = 0.0
        for t in self.trees:
            if t["root"] == NONE or not t["tree_mass"]:
                continue
            big, remaining, depth, slot = float(t["tree_mass"]), 1.0, 0, t["root"]
            while (nd := self.node(t, slot))[0] == "Internal":
                p = self.p(nd[1], q)
                remaining *= 1.0 - p if p > 0 else 1.0
                slot, depth = self.child(nd[1], q), depth + 1
            leaf = nd[1]
            m = float(leaf["mass"])
            if np.all(self.rows[leaf["point_idx"]] == q):
                term = (1.0 - m / (2.0 * big)) / (depth + math.log2(m + 1.0))
            else:
                term = 1.0 / (depth + 1.0)
            total += math.log2(big + 1.0) * remaining * term
        return total / len(self.trees)

    def neighbors(self, q, top_k, percentile):
        merged = {}

        def visit(t, slot, depth):
            k, n = self.node(t, slot)
            if k == "Leaf":
                x = self.rows[n["point_idx"]]
                dist = sum(float(abs(np.float32(a - b))) for a, b in zip(q, x))
                entry = merged.setdefault(n["point_idx"], [0.0, 1.7976931348623157e308])
                entry[0] += math.log2(t["tree_mass"] + 1.0) / (depth + 1.0)
                entry[1] = min(entry[1], dist)
                return
            p = self.p(n, q)
            if depth > 0 and not p > percentile / 100.0:
                return
            preferred = self.child(n, q)
            visit(t, preferred, depth + 1)
            if p > 0.5:
                visit(t, n["right"] if preferred == n["left"] else n["left"], depth + 1)

        for t in self.trees:
            if t["root"] != NONE and t["tree_mass"]:
                visit(t, t["root"], 0)
        entries = sorted(merged.items(), key=lambda e: (e[1][1], e[0]))[:top_k]
        return [{"score": s / len(self.trees), "point": [float(v) for v in self.rows[r]], "distance": d}
                for r, (s, d) in entries]

    def impute(self, q, missing, centrality):
        query_rng, nominated = seeded(peek(self.rng)), []
        for t in self.trees:
            rng = seeded(next_u64(query_rng))
            if t["root"] == NONE or not t["tree_mass"]:
                continue
            best, stack = None, [t["root"]]
            while stack:
                k, n = self.node(t, stack.pop())
                if k == "Internal":
                    stack += [n["right"], n["left"]] if n["cut_dim"] in missing else [self.child(n, q)]
                    continue
                x = self.rows[n["point_idx"]]
                dist = sum(float(abs(np.float32(q[i] - x[i]))) for i in range(len(q)) if i not in missing)
                if best is None:
                    best = (n["point_idx"], dist)
                elif centrality >= 1:
                    best = (n["point_idx"], dist) if dist < best[1] else best
                else:
                    u = uniform(rng)
                    best = (n["point_idx"], dist) if dist < best[1] or u < 1 - centrality else best
            nominated.append(best[0])
        out = [float(v) for v in q]
        for j in missing:
            values = sorted(self.rows[r][j] for r in nominated)
            h = len(values) // 2
            out[j] = float(values[h] if len(values) % 2 else (max(values[:h]) + values[h]) * np.float32(0.5))
        return out


KERNEL_WORKOUT = """
import hashlib, math, random, arbolet
rng = random.Random(3)
for dims in (16, 64):
    forest = arbolet.Forest(dims, num_trees=6, capacity=32, seed=dims)
    seen = []
    for i in range(300):
        if seen and i % 5 == 0:
            p = rng.choice(seen)  # a copy of an earlier point
        else:
            p = [rng.choice((0.0, -0.0, 3e38, -3e38)) if rng.random() < 0.1 else rng.gauss(0, 1) for _ in range(dims)]
        seen.append(p)
        forest.update(p)
    out = [forest.to_json()]
    for q in seen[-4:] + [[-0.0] * dims, [math.inf] + [0.5] * (dims - 1), [math.nan, -math.inf] + [9.0] * (dims - 2)]:
        out += [forest.score(q), forest.displacement_score(q), forest.density(q), forest.attribution(q),
                forest.near_neighbors(q, 5, 10), forest.impute(q, [0, dims - 1], 1.0), forest.impute(q, [1], 0.3)]
    print(dims, hashlib.sha256(repr(out).encode()).hexdigest())
"""


def test_packed_and_plain_kernels_give_the_same_bits():
    # ARBOLET_PORTABLE_KERNELS=1 keeps the process on the plain loops.
    runs = [subprocess.run([sys.executable, "-c", KERNEL_WORKOUT], capture_output=True, text=True, check=True,
                           env={**os.environ, "ARBOLET_PORTABLE_KERNELS": flag}).stdout for flag in ("0", "1")]
    assert runs[0] == runs[1] and len(runs[0].split()) == 4


def test_deep_trees_match_the_model():
    # Points that double: a cut nearly always falls in the widest gap, so the
    # trees grow about as deep as they hold points, deeper than the walks'
    # first working storage; 11 trees, each sampling its own points, are
    # walked as groups of 5 and 6.
    forest = arbolet.Forest(2, num_trees=11, capacity=64, seed=4)
    for i in range(120):
        forest.update([2.0 ** i, float(i % 3)])
    model = Model(forest)

    def depth(tree, slot):
        kind, n = model.node(tree, slot)
        return 0 if kind == "Leaf" else 1 + max(depth(tree, n["left"]), depth(tree, n["right"]))

    assert max(depth(t, t["root"]) for t in model.trees) > 40
    for q in [[2.0 ** i, 1.0] for i in (0, 7, 40, 79, 119)] + [[3.0, 5.0], [1e30, 0.0], [-1.0, 2.0]]:
        q32 = np.array(q, dtype=np.float32)
        for kind in QUERIES:
            assert getattr(forest, kind)(q) == model.combined(q32, kind)


@pytest.mark.parametrize("dims, trees", [(3, 7), (5, 8), (17, 4)])  # 17: packed kernels and their tail
def test_walks_match_the_model_bit_for_bit(dims, trees):
    forest, rng = cluster_forest(dims=dims, num_trees=trees, capacity=24, n=150, seed=dims)
    model = Model(forest)
    stored = model.rows[:5].tolist()
    queries = rng.normal(0.0, 1.5, size=(12, dims)).astype(np.float32).tolist() + stored + [[4.0] * dims]
    for q in queries:
        q32 = np.array(q, dtype=np.float32)
        for kind in QUERIES:
            assert getattr(forest, kind)(q) == model.combined(q32, kind)
        assert forest.attribution(q) == model.attribution(q32)
        assert forest.near_neighbors(q, 6, 30) == model.neighbors(q32, 6, 30)
        for missing, centrality in (([0], 1.0), ([1, dims - 1], 0.4)):
            assert forest.impute(q, missing, centrality) == model.impute(q32, missing, centrality)


def test_impute_of_one_observation_fills_it_within_the_current_window():
    forest = arbolet.Forest(3, shingle_size=4, seed=2)
    assert forest.window == [0.0] * 12
    for t in range(400):
        forest.update([math.sin(t / 5), math.cos(t / 5), t % 3])
    window = forest.window
    assert len(window) == 12 and window[-3:] == [np.float32(v) for v in (math.sin(399 / 5), math.cos(399 / 5), 0.0)]
    observation = [0.1, float("nan"), 2.0]
    filled = forest.impute(observation, missing=[1])
    # The same as imputing the full window whose newest observation is replaced, as score() reads one.
    full = window[:9] + observation
    assert filled == forest.impute(full, missing=[10])[9:]
    assert filled[0] == np.float32(0.1) and filled[2] == 2.0 and -1.0 <= filled[1] <= 1.0
    with pytest.raises(RuntimeError, match=r"IndexOutOfBounds\(3\)"):  # an index into the observation
        forest.impute(observation, missing=[3])
    assert arbolet.Forest(2, shingle_size=3, internal_shingling=False).window == []

