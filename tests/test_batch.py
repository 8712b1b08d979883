"""Batch calls: bit-identical to a loop over the single calls, every row
checked before anything changes, and Ctrl-C honoured between rows."""

import array
import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import arbolet


def stream(n, width, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, width))
    x[n // 2 : n // 2 + 20] = x[n // 2]  # a run of equal points
    x[-5:] += 30.0  # and a few outliers
    return x


def layouts(x):
    """The same rows as C and Fortran float64, float32, a strided view and a list of lists."""
    wide = np.zeros((x.shape[0], 2 * x.shape[1]))
    wide[:, ::2] = x
    return [x, np.asfortranarray(x), x.astype(np.float32), wide[:, ::2], x.tolist()]


@pytest.mark.parametrize(
    "config, width",
    [(dict(input_dim=1, shingle_size=4), 1), (dict(input_dim=3, shingle_size=2, internal_shingling=False), 6)],
)
def test_forest_batches_equal_loops(config, width):
    x = stream(400, width)
    expected = arbolet.Forest(num_trees=12, capacity=32, seed=5, **config)
    scores = [expected.score_and_update(row) for row in x.tolist()]
    for points in layouts(x):
        f = arbolet.Forest(num_trees=12, capacity=32, seed=5, **config)
        assert f.score_and_update_many(points).tolist() == scores
        assert f.to_json() == expected.to_json()
        g = arbolet.Forest(num_trees=12, capacity=32, seed=5, **config)
        g.update_many(points)
        assert g.to_json() == expected.to_json()
    probe = x[:50]
    assert f.score_many(probe).tolist() == [f.score(p) for p in probe.tolist()]
    assert f.displacement_score_many(probe).tolist() == [f.displacement_score(p) for p in probe.tolist()]
    assert f.density_many(probe).tolist() == [f.density(p) for p in probe.tolist()]
    empty = f.score_many(np.empty((0, width)))
    assert isinstance(empty, np.ndarray) and empty.dtype == np.float64 and empty.shape == (0,)


def test_forest_bad_row_changes_nothing_and_names_the_row():
    f = arbolet.Forest(2, num_trees=5, capacity=16, seed=3)
    f.update_many(stream(40, 2))
    before = f.to_json()
    good = stream(6, 2).tolist()
    cases = [
        (ValueError, "row 3: point values must be finite", good[:3] + [[1.0, float("nan")]] + good[3:]),
        (ValueError, "row 4: dimension mismatch: expected 2, got 3", good[:4] + [[1.0, 2.0, 3.0]]),
        (TypeError, "row 2: argument 'point': Can't extract `str` to `Vec`", good[:2] + ["ab"]),
        (TypeError, "row 1: argument 'point': must be real number, not str", good[:1] + [[1.0, "x"]]),
    ]
    for method in (f.update_many, f.score_and_update_many):
        for kind, message, points in cases:
            with pytest.raises(kind) as info:
                method(points)
            assert str(info.value) == message
            assert f.to_json() == before
    with pytest.raises(ValueError, match="^row 1: dimension mismatch: expected 2, got 4$"):
        f.score_many([[0.0, 0.0], [0.0] * 4])
    with pytest.raises(TypeError, match="^argument 'points': 'int' object is not an instance of 'Sequence'$"):
        f.update_many(5)


def test_empty_rows_are_refused_before_memory_per_row():
    # 2^27 rows of width 0 once took a table of 1 GB before row 0 was refused.
    code = textwrap.dedent(f"""
        import resource, sys
        sys.path[:0] = {sys.path!r}
        import numpy as np, arbolet
        f = arbolet.Forest(3, seed=1)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            f.score_many(np.empty((2**27, 0)))
        except ValueError as error:
            print(error)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    message, grown_kib = done.stdout.splitlines()
    assert message == "row 0: dimension mismatch: expected 3, got 0" and int(grown_kib) < 100_000, done.stderr


def test_mstream_batches_equal_loops_and_check_every_record():
    rng = np.random.default_rng(1)
    n = 300
    numeric = rng.normal(size=(n, 3))
    categorical = rng.integers(0, 5, size=(n, 2))
    timestamps = [1 + i // 7 for i in range(n)]
    expected = arbolet.MStream(3, 2, num_buckets=64, seed=2)
    scores = [expected.update_and_score(a, b, t) for a, b, t in zip(numeric.tolist(), categorical.tolist(), timestamps)]
    m = arbolet.MStream(3, 2, num_buckets=64, seed=2)
    assert m.update_and_score_many(numeric, categorical.astype(np.int32), timestamps).tolist() == scores
    assert m.to_json() == expected.to_json()
    u = arbolet.MStream(3, 2, num_buckets=64, seed=2)
    u.update_many(numeric.tolist(), categorical.tolist(), np.array(timestamps))
    assert u.to_json() == expected.to_json()
    later = [timestamps[-1] + 1] * 5
    assert m.score_many(numeric[:5], categorical[:5], later).tolist() == [
        m.score(a, b, t) for a, b, t in zip(numeric[:5].tolist(), categorical[:5].tolist(), later)
    ]

    before = m.to_json()
    t = timestamps[-1]
    bad = [
        (ValueError, "row 2: timestamps must be non-decreasing: previous=%d, got=%d" % (t + 2, t + 1),
         numeric[:4], categorical[:4], [t, t + 2, t + 1, t + 3]),
        (ValueError, "row 1: numeric values must be finite",
         [[0.0] * 3, [0.0, float("inf"), 0.0]], categorical[:2], [t, t]),
        (ValueError, "row 1: dimension mismatch: expected 2, got 1", numeric[:2], [[1, 2], [1]], [t, t]),
        (OverflowError, "row 0: ", numeric[:1], [[1, 2**70]], [t]),
        (ValueError, "numeric, categorical and timestamps must have the same number of rows",
         numeric[:3], categorical[:3], [t, t]),
    ]
    for kind, message, a, b, ts in bad:
        with pytest.raises(kind) as info:
            m.update_and_score_many(a, b, ts)
        assert str(info.value).startswith(message)
        assert m.to_json() == before

    # A dimension of 0: an empty second axis.
    z = arbolet.MStream(2, 0, seed=4)
    zs = z.update_and_score_many(np.ones((3, 2)), np.empty((3, 0), dtype=np.int64), [1, 2, 3])
    assert len(zs) == 3


def test_results_are_array_of_doubles_without_numpy():
    code = (
        "import sys; sys.modules['numpy'] = None\n"
        "import arbolet, array\n"
        "r = arbolet.Forest(1, num_trees=2, capacity=4, seed=1).score_and_update_many([[1.0], [2.0]])\n"
        "assert type(r) is array.array and r.typecode == 'd' and len(r) == 2, r\n"
        "print('ok')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ)
    assert out.stdout.strip() == "ok", out.stderr


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs pthread_kill")
def test_ctrl_c_stops_between_rows_and_keeps_the_rows_before():
    x = stream(200_000, 1)
    f = arbolet.Forest(1, num_trees=50, capacity=64, seed=8)
    main = threading.get_ident()
    timer = threading.Timer(0.2, lambda: signal.pthread_kill(main, signal.SIGINT))
    # A shell starts its background jobs with Ctrl-C ignored, and Python then keeps it ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            f.update_many(x)
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    applied = f.entries_seen()
    assert 0 < applied < len(x)
    g = arbolet.Forest(1, num_trees=50, capacity=64, seed=8)
    g.update_many(x[:applied])
    assert f.to_json() == g.to_json()


def test_array_likes_are_read_in_column_order_and_flat_input_is_refused():
    pandas = pytest.importorskip("pandas")
    values = np.random.default_rng(5).normal(size=(300, 2))
    frame = pandas.DataFrame({"b": values[:, 1], "a": values[:, 0]})
    by_frame, by_array = arbolet.Forest(2, seed=4), arbolet.Forest(2, seed=4)
    assert list(by_frame.score_and_update_many(frame[["a", "b"]])) == list(by_array.score_and_update_many(values))
    detector, expected = arbolet.MStream(2, 1, seed=2), arbolet.MStream(2, 1, seed=2)
    codes, times = np.arange(300).reshape(-1, 1) % 7, np.arange(300) // 10 + 1
    got = detector.update_and_score_many(pandas.DataFrame(values), pandas.DataFrame(codes), pandas.Series(times))
    assert list(got) == list(expected.update_and_score_many(values, codes, times))
    with pytest.raises(TypeError, match=r"expected a 2-D batch.*reshape\(-1, 1\)"):
        by_frame.update_many(frame["a"])
    assert by_frame.entries_seen() == 300


def test_thresholder_update_many_is_the_loop_and_a_bad_score_changes_nothing():
    scores = np.abs(np.random.default_rng(1).normal(size=400))
    scores[300] = 9.0
    batch, loop = arbolet.Thresholder(), arbolet.Thresholder()
    assert list(batch.update_many(scores)) == [loop.update(s) for s in scores]
    before = batch.to_bytes()
    with pytest.raises(ValueError, match="^row 1: score must be a finite"):
        batch.update_many([1.0, float("nan")])
    assert batch.to_bytes() == before


@pytest.mark.parametrize("shingle, internal", [(1, True), (4, True), (4, False)])
def test_updates_until_ready_names_the_first_ready_row_of_a_batch(shingle, internal):
    forest = arbolet.Forest(1, shingle_size=shingle, internal_shingling=internal, output_after=20, seed=1)
    forest.update_many([[0.0] * (1 if internal else shingle)] * 3)
    first_ready = forest.updates_until_ready
    ready = []
    for _ in range(40):
        ready.append(forest.is_ready())
        forest.update([0.5] * (1 if internal else shingle))
    assert ready.index(True) == first_ready == 20 + (shingle if internal else 1) - 3
    assert forest.updates_until_ready == 0

