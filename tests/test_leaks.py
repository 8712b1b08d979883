"""Repeating every method, on its successful and on its failing paths, must
not grow the number of live Python objects nor the native heap.

The heap is measured by the allocator's own count of bytes in use: the
sanitizer runtime's when it is loaded (it replaces malloc, and its
quarantine of freed blocks makes resident memory meaningless), glibc's
otherwise; resident memory is the last resort."""

import ctypes
import gc
import os
import pickle

import pytest

import arbolet

WARMUP = 200
REPEATS = 3000


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_counter():
    """A function giving the bytes in use from malloc, or None."""
    process = ctypes.CDLL(None)
    sanitizer = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if sanitizer is not None:
        sanitizer.restype = ctypes.c_size_t
        return sanitizer
    mallinfo2 = getattr(process, "mallinfo2", None)
    if mallinfo2 is not None:
        mallinfo2.restype = _MallInfo2

        def used():
            info = mallinfo2()
            return info.uordblks + info.hblkhd

        if used() > 0:
            return used
    return None


_HEAP = _heap_counter()


def heap_bytes():
    return _HEAP() if _HEAP is not None else None


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure():
    gc.collect()
    return len(gc.get_objects()), heap_bytes(), rss_bytes()


class Boom(Exception):
    pass


class FailsMidway:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        yield 1.0
        raise Boom


def expect(exc, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{call} did not raise {exc}")


def _forest():
    f = arbolet.Forest(2, shingle_size=2, num_trees=3, capacity=8, seed=5)
    for i in range(30):
        f.update([i % 4, (i * 5) % 7])
    return f


def _mstream():
    m = arbolet.MStream(2, 1, num_rows=2, num_buckets=16, seed=5)
    m.update([1.0, 2.0], [1], 1)
    return m


def _inconsistent_mstream_doc():
    m = arbolet.MStream(1, 0, num_rows=1, num_buckets=4, seed=1)
    return m.to_json().replace('"num_buckets":4', '"num_buckets":5', 1)


def forest_ops(tmp_path):
    f = _forest()
    doc = f.to_json()
    path = str(tmp_path / "f.json")
    f.save_json(path)
    q = [1.0, 2.0, 3.0, 4.0]
    g = arbolet.Forest(2, shingle_size=2, num_trees=3, capacity=8, seed=5)
    counter = iter(range(10**9))
    return {
        "construct": lambda: arbolet.Forest(3, num_trees=2, capacity=4, seed=1),
        "construct_invalid": lambda: expect(ValueError, arbolet.Forest, 0),
        "construct_huge": lambda: expect((ValueError, MemoryError), arbolet.Forest, 1, num_trees=2**40),
        "construct_bad_type": lambda: expect(TypeError, arbolet.Forest, 2.0),
        "construct_bad_keyword": lambda: expect(TypeError, arbolet.Forest, 2, nope=1),
        "update": lambda: g.update([next(counter) % 9, 1.0]),
        "update_wrong_length": lambda: expect(ValueError, f.update, [1.0]),
        "update_str": lambda: expect(TypeError, f.update, "ab"),
        "update_fails_midway": lambda: expect(Boom, f.update, FailsMidway()),
        "score": lambda: f.score(q),
        "scores_other": lambda: (f.displacement_score(q), f.density(q)),
        "attribution": lambda: f.attribution(q),
        "near_neighbors": lambda: f.near_neighbors(q, top_k=5),
        "impute": lambda: f.impute(q, [0, 3]),
        "impute_out_of_bounds": lambda: expect(RuntimeError, f.impute, q, [9]),
        "impute_bad_index": lambda: expect(OverflowError, f.impute, q, [-1]),
        "extrapolate": lambda: f.extrapolate(2),
        "extrapolate_too_far": lambda: expect(ValueError, f.extrapolate, 5),
        "accessors": lambda: (f.is_ready(), f.entries_seen(), f.num_trees(), repr(f), str(f)),
        "to_json": f.to_json,
        "from_json": lambda: arbolet.Forest.from_json(doc),
        "from_json_bytes": lambda: arbolet.Forest.from_json(doc.encode()),
        "binary": lambda: (arbolet.Forest.from_bytes(f.to_bytes()), f.save(path + ".bin"), arbolet.Forest.load(path + ".bin")),
        "binary_damaged": lambda: expect(RuntimeError, arbolet.Forest.from_bytes, f.to_bytes()[:-3]),
        "from_json_broken": lambda: expect(RuntimeError, arbolet.Forest.from_json, doc[:-7]),
        "from_json_bad_type": lambda: expect(TypeError, arbolet.Forest.from_json, 12),
        "save_json": lambda: f.save_json(path),
        "load_json": lambda: arbolet.Forest.load_json(path),
        "load_json_missing": lambda: expect(RuntimeError, arbolet.Forest.load_json, path + ".missing"),
        "copy": lambda: (f.__copy__(), f.__deepcopy__({})),
        "pickle": lambda: pickle.loads(pickle.dumps(f)),
        "setstate": lambda: g.__setstate__(doc),
        "setstate_broken": lambda: expect(RuntimeError, g.__setstate__, "{"),
        "getnewargs": f.__getnewargs__,
    }


def mstream_ops(tmp_path):
    m = _mstream()
    doc = m.to_json()
    path = str(tmp_path / "m.json")
    broken = _inconsistent_mstream_doc()
    ticks = iter(range(2, 10**9))
    late = arbolet.MStream(2, 1, num_buckets=16, seed=5)
    late.update([1.0, 2.0], [1], 100)
    rec = ([1.5, -2.0], [3])
    return {
        "construct": lambda: arbolet.MStream(2, 1, num_buckets=16, seed=1),
        "construct_invalid": lambda: expect(ValueError, arbolet.MStream, 1, 1, alpha=2.0),
        "construct_huge": lambda: expect((ValueError, MemoryError), arbolet.MStream, 1, 1, num_buckets=2**62),
        "update": lambda: m.update(*rec, next(ticks)),
        "update_and_score": lambda: m.update_and_score(*rec, next(ticks)),
        "update_and_score_detailed": lambda: m.update_and_score_detailed(*rec, next(ticks)),
        "score": lambda: m.score(*rec, 10**12),
        "score_detailed": lambda: m.score_detailed(*rec, 10**12),
        "update_past_timestamp": lambda: expect(ValueError, late.update, *rec, 50),
        "update_non_finite": lambda: expect(ValueError, m.score, [float("inf"), 0.0], [3], 10**12),
        "update_wrong_length": lambda: expect(ValueError, m.update, [1.0], [3], 10**12),
        "update_code_overflow": lambda: expect(OverflowError, m.update, [1.0, 1.0], [2**64], 10**12),
        "update_fails_midway": lambda: expect(Boom, m.update, FailsMidway(), [1], 10**12),
        "accessors": lambda: (m.is_ready(), m.entries_seen(), m.current_time(), repr(m)),
        "to_json": m.to_json,
        "from_json": lambda: arbolet.MStream.from_json(doc),
        "from_json_broken": lambda: expect(RuntimeError, arbolet.MStream.from_json, doc.replace("config", "c")),
        "save_load": lambda: (m.save_json(path), arbolet.MStream.load_json(path)),
        "binary": lambda: (arbolet.MStream.from_bytes(m.to_bytes()), m.save(path + ".bin"), arbolet.MStream.load(path + ".bin")),
        "copy_pickle": lambda: (m.__copy__(), pickle.loads(pickle.dumps(m))),
        "setstate": lambda: m.__setstate__(doc),
        "refused_state": lambda: expect(RuntimeError, m.__setstate__, broken),
    }


def check_no_growth(op, repeats=REPEATS):
    for _ in range(min(WARMUP, repeats)):
        op()
    objects0, heap0, rss0 = measure()
    for _ in range(repeats):
        op()
    objects1, heap1, rss1 = measure()
    assert objects1 - objects0 <= 20, f"{objects1 - objects0} more live objects after {repeats} calls"
    if heap0 is not None:
        # A leak of a single small allocation per call shows as >= 16 bytes per call.
        assert heap1 - heap0 < 8 * repeats, f"heap grew by {heap1 - heap0} bytes over {repeats} calls"
    else:
        assert rss1 - rss0 < 4 << 20, f"resident memory grew by {rss1 - rss0} bytes over {repeats} calls"


# Writing a file syncs it to disk; fewer repetitions keep these quick.
SLOW = {"save_json": 300, "save_load": 300}


def _names(factory):
    import tempfile
    from pathlib import Path

    with tempfile.TemporaryDirectory() as d:
        return sorted(factory(Path(d)).keys())


@pytest.mark.parametrize("name", _names(forest_ops))
def test_forest_methods_do_not_leak(name, tmp_path):
    check_no_growth(forest_ops(tmp_path)[name], SLOW.get(name, REPEATS))


@pytest.mark.parametrize("name", _names(mstream_ops))
def test_mstream_methods_do_not_leak(name, tmp_path):
    check_no_growth(mstream_ops(tmp_path)[name], SLOW.get(name, REPEATS))
