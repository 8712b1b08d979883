"""Hostile arguments: sizes that cannot be built, non-finite and extreme
values, misbehaving sequences and element objects, and NumPy arrays of every
dtype and layout. None of them may take the interpreter down; each must end
in a result or in a clean exception of the documented type."""

import array
import ctypes
import math
import os
import re

import numpy as np
import pytest

import arbolet

U64_MAX = 2**64 - 1


def f32(x):
    """Python's float conversion followed by rounding to single precision,
    overflowing values becoming infinities."""
    return ctypes.c_float(float(x)).value


def same_floats(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if math.isnan(w):
            assert math.isnan(g)
        else:
            assert g == w and math.copysign(1.0, g) == math.copysign(1.0, w)


def echo_forest(k):
    """A forest whose `impute` hands back the first k converted values of a
    point unchanged: every dimension but the last one is given."""
    f = arbolet.Forest(k + 1, num_trees=1, capacity=4, seed=3)
    f.update([0.0] * (k + 1))
    return f


def echo(f, values, k):
    return f.impute(values, [k])[:k]


# ---------------------------------------------------------------- sizes

@pytest.mark.parametrize(
    "kwargs",
    [
        dict(input_dim=U64_MAX),
        dict(input_dim=2**40, num_trees=1, capacity=1),
        dict(input_dim=1, shingle_size=2**63, num_trees=1, capacity=1),
        dict(input_dim=2**32, shingle_size=2**32),
        dict(input_dim=1, num_trees=2**63, capacity=2),
        dict(input_dim=1, num_trees=1, capacity=U64_MAX),
        dict(input_dim=1, num_trees=1, capacity=2**63),
        dict(input_dim=1, num_trees=1, capacity=2**40),
        dict(input_dim=1, num_trees=2**40, capacity=1),
        dict(input_dim=1, num_trees=2**33, capacity=1),
        dict(input_dim=1, num_trees=2**40, capacity=2**20),
    ],
)
def test_forest_sizes_that_cannot_be_built_raise(kwargs):
    with pytest.raises((ValueError, MemoryError)):
        arbolet.Forest(**kwargs)


def test_whole_detector_size_is_checked_against_available_memory():
    # Each table alone fits in memory; the forest once its samplers fill does not.
    with pytest.raises(MemoryError) as info:
        arbolet.Forest(1, num_trees=2**20, capacity=768)
    found = re.fullmatch(r"Forest needs up to (\d+) bytes of memory, more than the (\d+) bytes available",
                         str(info.value))
    assert found, str(info.value)
    needed, available = map(int, found.groups())
    assert 2**20 * 768 * 100 < needed and available <= os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    with pytest.raises(MemoryError, match=r"^MStream needs up to \d+ bytes"):
        arbolet.MStream(1, 1, num_rows=2**20, num_buckets=2**20)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the address space in use from /proc")
def test_a_wide_forest_reserves_what_it_uses_and_the_address_space_limit_is_a_limit():
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent(f"""
        import os, resource, sys
        sys.path[:0] = {sys.path!r}
        import arbolet
        def in_use():
            return int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        before = in_use()
        forest = arbolet.Forest(50000)
        print(in_use() - before)
        resource.setrlimit(resource.RLIMIT_AS, (in_use() + 2**30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        try:
            arbolet.Forest(50000)
        except MemoryError as error:
            print(error)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    reserved, message = done.stdout.splitlines()
    assert int(reserved) < 2**27, reserved  # once 5 GB of box rows, for 12 MB in use
    assert re.fullmatch(r"Forest needs up to \d+ bytes of memory, more than the \d+ bytes available", message)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((U64_MAX, 0), {}),
        ((2**40, 0), {}),
        ((0, 2**40), {}),
        ((0, U64_MAX), {}),
        ((1, 1), dict(num_rows=U64_MAX)),
        ((1, 1), dict(num_rows=2**40)),
        ((1, 1), dict(num_buckets=U64_MAX)),
        ((1, 1), dict(num_buckets=2**40)),
        ((1, 1), dict(num_rows=2**20, num_buckets=2**20)),
        ((2**20, 0), dict(num_rows=2**20, num_buckets=2)),
        ((U64_MAX, U64_MAX), dict(num_rows=U64_MAX, num_buckets=U64_MAX)),
    ],
)
def test_mstream_sizes_that_cannot_be_built_raise(args, kwargs):
    with pytest.raises((ValueError, MemoryError)):
        arbolet.MStream(*args, **kwargs)


@pytest.mark.parametrize("value", [-1, 2**64, -(2**200), 2**200])
@pytest.mark.parametrize("name", ["input_dim", "shingle_size", "num_trees", "capacity", "output_after", "seed"])
def test_forest_count_out_of_u64_range_is_overflow(name, value):
    kwargs = dict(input_dim=2, num_trees=1, capacity=4)
    kwargs[name] = value
    with pytest.raises(OverflowError):
        arbolet.Forest(**kwargs)


def test_extreme_query_sizes_are_answered_or_refused():
    f = arbolet.Forest(2, shingle_size=3, num_trees=3, capacity=8, seed=1)
    for i in range(40):
        f.update([i % 5, math.sin(i)])
    q = [0.0] * 6
    assert len(f.near_neighbors(q, top_k=U64_MAX, percentile=U64_MAX)) <= 3
    assert f.near_neighbors(q, top_k=0, percentile=0) == []
    with pytest.raises(ValueError):
        f.extrapolate(U64_MAX)
    with pytest.raises(RuntimeError, match=r"IndexOutOfBounds\(18446744073709551615\)"):
        f.impute(q, [U64_MAX])
    # A very long list of repeated indices is harmless.
    assert f.impute(q, [1] * 200_000) == f.impute(q, [1])
    with pytest.raises(ValueError, match="expected 6, got 1000000"):
        f.score([0.0] * 1_000_000)


# ---------------------------------------------------------------- values

EXTREMES = [
    float("nan"), float("inf"), -float("inf"), 1e39, -1e39, 3.4028235e38, 1e-45, -1e-45,
    5e-324, -0.0, 0.0, 1e308, 2**200, -(2**64), True, 0.1,
]


def test_extreme_values_round_to_single_precision_like_the_interpreter():
    k = len(EXTREMES)
    f = echo_forest(k)
    same_floats(echo(f, EXTREMES + [0.0], k), [f32(v) for v in EXTREMES])


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), 1e39, -1e39])
def test_forest_survives_non_finite_points(bad):
    f = arbolet.Forest(2, num_trees=4, capacity=8, seed=5)
    for i in range(30):
        f.update([i, -i])
    before = f.entries_seen()
    try:
        f.update([bad, 1.0])
    except ValueError:
        assert f.entries_seen() == before
    for query in ([bad, bad], [bad, 0.0], [0.0, 0.0]):
        for method in (f.score, f.displacement_score, f.density, f.attribution, f.near_neighbors):
            method(query)
        f.impute(query, [0])
    f.update([1.0, 2.0])


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), 1e39])
def test_mstream_refuses_non_finite_numeric_values(bad):
    m = arbolet.MStream(2, 1, num_buckets=16, seed=1)
    m.update([1.0, 2.0], [3], 1)
    for method in (m.score, m.score_detailed, m.update, m.update_and_score, m.update_and_score_detailed):
        with pytest.raises(ValueError, match="numeric values must be finite"):
            method([0.5, bad], [3], 2)
    assert m.entries_seen() == 1
    assert math.isfinite(m.update_and_score([1.5, 2.5], [3], 3))


@pytest.mark.parametrize("alpha", [5e-324, 1e-300, 1 - 2**-53, 0.5])
def test_mstream_extreme_alpha_and_timestamps_give_finite_scores(alpha):
    m = arbolet.MStream(1, 1, num_buckets=8, alpha=alpha, seed=1)
    scores = [
        m.update_and_score([1e-45], [-(2**63)], 1),
        m.update_and_score([3e38], [2**63 - 1], 2),
        m.update_and_score([-3e38], [0], U64_MAX),
        m.score([0.0], [0], U64_MAX),
    ]
    assert all(math.isfinite(s) for s in scores)


@pytest.mark.parametrize("code", [2**63, -(2**63) - 1, 2**64, 10**30])
def test_categorical_code_out_of_i64_range_is_overflow(code):
    m = arbolet.MStream(0, 1, seed=1)
    with pytest.raises(OverflowError):
        m.update([], [code], 1)
    assert m.entries_seen() == 0


@pytest.mark.parametrize("centrality", [float("nan"), float("inf"), -float("inf"), 1e308, -5e-324])
def test_impute_accepts_any_centrality(centrality):
    f = arbolet.Forest(3, num_trees=3, capacity=8, seed=2)
    for i in range(20):
        f.update([i, i * 2, -i])
    assert len(f.impute([1.0, 2.0, 3.0], [1], centrality=centrality)) == 3


# ---------------------------------------------------- sequences and elements

class Raises(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise Raises("boom")


class FloatWrongType:
    def __float__(self):
        return "1.0"


class IndexOnly:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IndexRaises:
    def __index__(self):
        raise Raises("boom")


class IndexWrongType:
    def __index__(self):
        return 1.5


class Seq:
    """A sequence whose length and iteration can disagree or fail."""

    def __init__(self, items, length=None, fail_at=None, len_raises=False):
        self.items = items
        self.length = len(items) if length is None else length
        self.fail_at = fail_at
        self.len_raises = len_raises

    def __len__(self):
        if self.len_raises:
            raise Raises("len")
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, v in enumerate(self.items):
            if i == self.fail_at:
                raise Raises("midway")
            yield v


def test_element_float_conversion_errors():
    f = echo_forest(2)
    with pytest.raises(Raises):
        f.score([1.0, FloatRaises(), 0.0])
    with pytest.raises(TypeError, match=r"^argument 'point': "):
        f.score([1.0, FloatWrongType(), 0.0])
    with pytest.raises(TypeError, match=r"^argument 'point': "):
        f.score([1.0, "2.0", 0.0])
    with pytest.raises(TypeError, match=r"^argument 'point': "):
        f.score([1.0, None, 0.0])
    with pytest.raises(TypeError, match=r"^argument 'point': "):
        f.score([1.0, 1j, 0.0])
    with pytest.raises(OverflowError):
        f.score([10**400, 1.0, 0.0])
    with pytest.raises(Raises):
        f.score([1.0, IndexRaises(), 0.0])
    assert echo(f, [IndexOnly(7), IndexOnly(-(2**70)), 0.0], 2) == [7.0, f32(-(2**70))]


@pytest.mark.parametrize(
    "element, error",
    [(IndexRaises(), Raises), (IndexWrongType(), TypeError), (1.0, TypeError), ("1", TypeError),
     (-1, OverflowError), (2**64, OverflowError)],
)
def test_index_conversion_errors(element, error):
    f = echo_forest(1)
    with pytest.raises(error):
        f.impute([0.0, 0.0], [element])
    with pytest.raises(error):
        f.extrapolate(element)
    with pytest.raises(error):
        f.near_neighbors([0.0, 0.0], top_k=element)
    m = arbolet.MStream(1, 1, seed=1)
    with pytest.raises(error):
        m.update([1.0], [0], element)
    if error is not OverflowError:
        with pytest.raises(error):
            m.update([1.0], [element], 1)
    assert m.entries_seen() == 0


def test_index_objects_and_bools_are_accepted_as_counts():
    m = arbolet.MStream(1, 1, seed=1)
    m.update([1.0], [IndexOnly(-5)], IndexOnly(3))
    m.update([True], [False], True + 3)
    assert m.current_time() == 4


@pytest.mark.parametrize(
    "make",
    [
        lambda: Seq([1.0, 2.0, 3.0], fail_at=0),
        lambda: Seq([1.0, 2.0, 3.0], fail_at=2),
        lambda: Seq([1.0, FloatRaises(), 3.0]),
    ],
)
def test_failures_midway_through_a_sequence_leave_the_detector_unchanged(make):
    f = arbolet.Forest(3, num_trees=2, capacity=4, seed=1)
    f.update([0.0, 0.0, 0.0])
    m = arbolet.MStream(3, 0, seed=1)
    for call in (f.update, f.score, lambda p: f.impute(p, [0]), lambda p: m.update(p, [], 1)):
        with pytest.raises(Raises):
            call(make())
    assert f.entries_seen() == 1 and m.entries_seen() == 0 and m.current_time() is None


def test_length_is_only_a_hint():
    f = echo_forest(3)
    # Iteration decides the length: a lying or failing __len__ changes nothing.
    assert echo(f, Seq([1.0, 2.0, 3.0, 0.0], length=10**9), 3) == [1.0, 2.0, 3.0]
    assert echo(f, Seq([1.0, 2.0, 3.0, 0.0], length=0), 3) == [1.0, 2.0, 3.0]
    assert echo(f, Seq([1.0, 2.0, 3.0, 0.0], len_raises=True), 3) == [1.0, 2.0, 3.0]
    with pytest.raises(ValueError, match="expected 4, got 2"):
        f.score(Seq([1.0, 2.0], length=4))
    # A length far beyond memory reserves nothing like it.
    huge = 2**40
    f.update(Seq([1.0, 2.0, 3.0, 0.0], length=huge))
    assert f.impute(Seq([1.0, 2.0, 3.0, 0.0], length=huge), Seq([3], length=huge))[:3] == [1.0, 2.0, 3.0]
    doc = f.to_json().encode()
    assert arbolet.Forest.from_json(Seq(list(doc), length=huge)).to_json() == f.to_json()


@pytest.mark.parametrize(
    "value, message",
    [
        ("1234", "Can't extract `str` to `Vec`"),
        (5, "'int' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
        ((x for x in [1.0, 2.0]), "'generator' object is not an instance of 'Sequence'"),
        ({1.0: 1, 2.0: 2}, "'dict' object is not an instance of 'Sequence'"),
        ({1.0, 2.0}, "'set' object is not an instance of 'Sequence'"),
        (np.float64(1.0), "object is not an instance of 'Sequence'"),
    ],
)
def test_non_sequences_are_refused_with_the_argument_name(value, message):
    f = echo_forest(1)
    with pytest.raises(TypeError, match=r"^argument 'point': ") as info:
        f.score(value)
    assert message in str(info.value)


@pytest.mark.parametrize("n", [0, 1, 3, 100_000])
def test_empty_and_long_sequences_report_their_length(n):
    f = arbolet.Forest(2, num_trees=1, capacity=2, seed=1)
    m = arbolet.MStream(2, 2, seed=1)
    if n == 2:
        return
    with pytest.raises(ValueError, match=f"expected 2, got {n}$"):
        f.update([0.5] * n)
    with pytest.raises(ValueError, match=f"expected 2, got {n}$"):
        m.update([0.5] * n, [1, 2], 1)
    with pytest.raises(ValueError, match=f"expected 2, got {n}$"):
        m.score([0.5, 0.5], [7] * n, 1)
    assert f.entries_seen() == 0 and m.entries_seen() == 0


def test_other_sequence_types_convert_by_iteration():
    f = echo_forest(3)
    want = [1.0, 2.0, 3.0]
    for seq in ([1, 2, 3, 0], (1.0, 2.0, 3.0, 0.0), range(1, 5), bytes([1, 2, 3, 0]), bytearray([1, 2, 3, 0]),
                array.array("d", [1, 2, 3, 0]), array.array("i", [1, 2, 3, 0]),
                memoryview(array.array("f", [1, 2, 3, 0]))):
        assert echo(f, seq, 3) == want, type(seq)


# ---------------------------------------------------------------- NumPy

REAL_DTYPES = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float16",
               "float32", "float64", "longdouble", ">f8", "<f4", ">f4", ">i4"]
VALUES = [0.0, 1.0, -0.0, 2.5, 100.0, 65504.0, 1e-5, 3.4028235e38, 1e39, float("nan"), float("inf"), -1.0]


@pytest.mark.parametrize("dtype", REAL_DTYPES)
def test_numpy_real_dtypes_convert_like_their_elements(dtype):
    with np.errstate(all="ignore"):
        arr = np.array(VALUES, dtype=np.float64).astype(dtype)
    k = len(arr)
    f = echo_forest(k)
    want = [f32(v) for v in arr]
    arr = np.concatenate([arr, np.zeros(1, dtype=arr.dtype)])
    same_floats(echo(f, arr, k), want)
    same_floats(echo(f, list(arr), k), want)


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_float_fast_path_matches_iteration_in_every_layout(dtype):
    rng = np.random.default_rng(0)
    with np.errstate(over="ignore"):
        base = np.concatenate([rng.normal(size=60) * 10.0 ** rng.integers(-40, 40, size=60),
                               [np.nan, np.inf, -np.inf, -0.0, 5e-324, 1e-45, 1e39]]).astype(dtype)
    grid = np.stack([base, base[::-1]], axis=1)  # C-contiguous 2-D: columns are strided views
    layouts = {
        "contiguous": base,
        "step": base[::3],
        "reversed": base[::-1],
        "column": grid[:, 1],
        "fortran_row": np.asfortranarray(grid)[3],
        "readonly": np.frombuffer(base.tobytes(), dtype=dtype),
        "byteswapped": base.astype(base.dtype.newbyteorder()),
        "memoryview": memoryview(base),
        "empty": base[:0],
    }
    for name, arr in layouts.items():
        # The view itself is the point: the last dimension is imputed, the
        # others come back exactly as converted.
        n = len(arr)
        f = arbolet.Forest(max(n, 1), num_trees=1, capacity=2, seed=1)
        f.update([0.0] * max(n, 1))
        if n == 0:
            with pytest.raises(ValueError, match="got 0"):
                f.score(arr)
            continue
        want = [f32(float(v)) for v in list(arr)[:-1]]
        same_floats(f.impute(arr, [n - 1])[:-1], want)
        same_floats(f.impute(list(arr), [n - 1])[:-1], want)
        assert f.score(arr) == f.score(list(arr)) or math.isnan(f.score(arr)), name


def test_numpy_arrays_that_do_not_hold_reals():
    f = echo_forest(2)
    with pytest.raises(TypeError, match=r"^argument 'point': "):
        f.score(np.array(["1.0", "2.0", "3.0"]))
    with pytest.raises(TypeError, match=r"^argument 'point': "):
        f.score(np.zeros((3, 2)))
    with pytest.raises(TypeError, match=r"^argument 'point': "):
        f.score(np.array(5.0))  # zero-dimensional: iterating it fails
    # NumPy's complex scalars convert to float (dropping the imaginary part,
    # with a warning), unlike Python's complex, which is refused.
    with pytest.warns(np.exceptions.ComplexWarning):
        assert echo(f, np.array([1.5 + 1j, 2, 0], dtype=np.complex128), 2) == [1.5, 2.0]
    assert echo(f, np.array([1.5, IndexOnly(3), 0.0], dtype=object), 2) == [1.5, 3.0]
    masked = np.ma.masked_array([1.0, 2.0, 0.0], mask=[False, True, False])
    with pytest.warns(UserWarning):
        got = echo(f, masked, 2)  # a masked element iterates as a masked constant, read as NaN
    assert got[0] == 1.0 and math.isnan(got[1])


@pytest.mark.parametrize("dtype", ["int64", "uint64", "int8", "uint32"])
def test_numpy_integer_arrays_as_indices_and_codes(dtype):
    f = echo_forest(2)
    assert f.impute([1.0, 2.0, 0.0], np.array([2], dtype=dtype))[:2] == [1.0, 2.0]
    # NumPy booleans have no __index__, so they are not integers here.
    with pytest.raises(TypeError, match=r"^argument 'missing': "):
        f.impute([1.0, 2.0, 0.0], np.array([True]))
    m = arbolet.MStream(1, 3, seed=1)
    m.update(np.array([1.0]), np.array([0, 1, 1], dtype=dtype), np.uint64(1))
    assert m.entries_seen() == 1
    with pytest.raises(TypeError, match=r"^argument 'categorical': "):
        m.update([1.0], np.array([0.0, 1.0, 1.0]), 2)
    with pytest.raises(OverflowError):
        m.update([1.0], np.array([2**63, 1, 1], dtype=np.uint64), 2)
    assert m.entries_seen() == 1


# ------------------------------------------------------- documents and paths

class FspathRaises:
    def __fspath__(self):
        raise Raises("fspath")


@pytest.mark.parametrize(
    "json_arg, error",
    [
        ([256], TypeError), ([-1], TypeError), (None, TypeError), ("\ud800", TypeError), (3.5, TypeError),
        (b"\xff\xfe", RuntimeError), ("\x00", RuntimeError), ("", RuntimeError), (" " * 10**6, RuntimeError),
        ([123] * 10**5, RuntimeError), ("[" * 100_000, RuntimeError), ('{"a":' * 100_000, RuntimeError),
        ('{"config":1}' * 2, RuntimeError), ("1e999999999999", RuntimeError), ("-" + "9" * 100_000, RuntimeError),
        ('"' + "\\u" * 1000, RuntimeError),
    ],
)
@pytest.mark.parametrize("cls", [arbolet.Forest, arbolet.MStream])
def test_hostile_json_arguments_are_refused_cleanly(cls, json_arg, error):
    with pytest.raises(error):
        cls.from_json(json_arg)
    target = cls(1, 1, seed=1) if cls is arbolet.MStream else cls(1, num_trees=1, capacity=2, seed=1)
    before = target.to_json()
    with pytest.raises(error):
        target.__setstate__(json_arg)
    assert target.to_json() == before


def test_hostile_paths_are_refused_cleanly(tmp_path):
    f = arbolet.Forest(1, num_trees=1, capacity=2, seed=1)
    with pytest.raises(ValueError, match="null"):
        f.save_json(str(tmp_path / "a\x00b"))
    with pytest.raises(Raises):
        f.save_json(FspathRaises())
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        arbolet.MStream.load_json(12)
    for call in (lambda: f.save_json(tmp_path), lambda: arbolet.Forest.load_json(tmp_path),
                 lambda: arbolet.Forest.load_json("/dev/null"), lambda: arbolet.MStream.load_json(tmp_path / "none")):
        with pytest.raises(RuntimeError, match=r"^Io\("):
            call()
