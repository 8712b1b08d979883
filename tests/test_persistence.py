"""Round trips of both detectors, files, copy and pickle, and untrusted
documents: inconsistent forests are refused at load, and no corrupted
document may crash or hang the process."""

import copy
import json
import os
import pathlib
import pickle
import random
import stat
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

import arbolet

Forest = arbolet.Forest
MStream = arbolet.MStream


def fed_forest(n=200, dim=2, seed=5, **kwargs):
    rng = random.Random(seed)
    forest = Forest(dim, seed=seed, **kwargs)
    width = dim if kwargs.get("internal_shingling", True) else dim * kwargs.get("shingle_size", 1)
    for _ in range(n):
        forest.update([rng.gauss(0.0, 1.0) for _ in range(width)])
    return forest


def fed_mstream(n=60, seed=5, **kwargs):
    rng = random.Random(seed)
    detector = MStream(2, 2, seed=seed, **kwargs)
    for t in range(1, n + 1):
        detector.update([rng.gauss(0.0, 1.0), rng.random()], [rng.randrange(4), -rng.randrange(3)], t)
    return detector


def forest_steps(forest, seed=9, n=40):
    config = json.loads(forest.to_json())["config"]
    width = config["input_dim"] * (1 if config["internal_shingling"] else config["shingle_size"])
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        point = [rng.gauss(0.0, 2.0) for _ in range(width)]
        out.append(forest.score(point))
        forest.update(point)
    return out


def mstream_steps(detector, seed=9, n=30, start=1000):
    rng = random.Random(seed)
    return [detector.update_and_score([rng.gauss(0.0, 3.0), rng.random()], [rng.randrange(6), 1], start + t)
            for t in range(n)]


FOREST_CONFIGS = [
    dict(num_trees=8, capacity=16),
    dict(num_trees=4, capacity=8, shingle_size=3, time_decay=0.01),
    dict(num_trees=3, capacity=8, shingle_size=2, internal_shingling=False, output_after=5),
]


# ---- round trips ----------------------------------------------------------------

@pytest.mark.parametrize("config", FOREST_CONFIGS)
def test_forest_round_trip_is_exact_and_behaves_the_same(config):
    forest = fed_forest(**config)
    text = forest.to_json()
    assert forest.__getstate__() == text
    loaded = Forest.from_json(text)
    assert loaded.to_json() == text
    assert forest_steps(loaded) == forest_steps(forest)
    assert loaded.to_json() == forest.to_json()


def test_default_forest_round_trip_after_many_updates():
    forest = fed_forest(n=3000, dim=8)
    text = forest.to_json()
    loaded = Forest.from_json(text.encode())
    assert loaded.to_json() == text
    point = [0.5] * 8
    assert loaded.score(point) == forest.score(point)
    assert loaded.near_neighbors(point) == forest.near_neighbors(point)


@pytest.mark.parametrize("fresh", [True, False])
def test_mstream_round_trip(fresh):
    detector = MStream(2, 2, seed=3) if fresh else fed_mstream()
    text = detector.to_json()
    loaded = MStream.from_json(text)
    assert loaded.to_json() == text
    assert mstream_steps(loaded) == mstream_steps(detector)
    assert loaded.to_json() == detector.to_json()


def test_fresh_mstream_restores_infinite_bounds():
    # Never-seen bounds are written as null and must come back infinite, so
    # that the first record sets them as it would have.
    text = MStream(2, 0, seed=1).to_json()
    loaded = MStream.from_json(text)
    assert json.loads(loaded.to_json())["numeric_normalizer"] == {"min_numeric": [None, None],
                                                                 "max_numeric": [None, None]}
    fresh = MStream(2, 0, seed=1)
    for detector in (loaded, fresh):
        detector.update([1.0, -2.0], [], 5)
    bounds = json.loads(loaded.to_json())["numeric_normalizer"]
    assert None not in bounds["min_numeric"] + bounds["max_numeric"]
    assert loaded.to_json() == fresh.to_json()


# ---- copy and pickle ------------------------------------------------------------

@pytest.mark.parametrize("make, steps", [(lambda: fed_forest(**FOREST_CONFIGS[0]), forest_steps),
                                         (fed_mstream, mstream_steps),
                                         (lambda: MStream(2, 2, seed=2), mstream_steps)])
@pytest.mark.parametrize("how", ["copy", "deepcopy"] + [f"pickle{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_copies_are_equal_and_independent(make, steps, how):
    source = make()
    before = source.to_json()
    if how == "copy":
        twin = copy.copy(source)
    elif how == "deepcopy":
        twin = copy.deepcopy(source)
    else:
        twin = pickle.loads(pickle.dumps(source, protocol=int(how[len("pickle"):])))
    assert type(twin) is type(source) and twin is not source
    assert twin.to_json() == before
    twin_results = steps(twin)
    assert source.to_json() == before
    assert steps(source) == twin_results
    assert source.to_json() == twin.to_json()


@pytest.mark.parametrize("base, make", [(Forest, fed_forest), (MStream, fed_mstream)])
def test_subclasses_keep_their_type_and_attributes(tmp_path, base, make):
    class Sub(base):
        pass

    detector = Sub.from_json(make().to_json())
    assert type(detector) is Sub and repr(detector).startswith("Sub(")
    detector.tags = {"owner": "me"}
    detector.me = detector
    shallow = copy.copy(detector)
    assert type(shallow) is Sub and shallow.tags is detector.tags
    deep = copy.deepcopy(detector)
    assert type(deep) is Sub and deep.tags == detector.tags and deep.tags is not detector.tags and deep.me is deep
    assert deep.to_json() == detector.to_json()
    detector.save_json(tmp_path / "state.json")
    assert type(Sub.load_json(tmp_path / "state.json")) is Sub
    assert type(base.from_json(detector.to_json())) is base


class SlottedForest(Forest):
    __slots__ = ("tags", "never_set")


class SlottedMStream(MStream):
    __slots__ = ("tags", "never_set")


class SlottedThresholder(arbolet.Thresholder):
    __slots__ = ("tags", "never_set", "__dict__")


@pytest.mark.parametrize("how", ["copy", "deepcopy", "pickle"])
@pytest.mark.parametrize("detector", [lambda: SlottedForest(2, seed=1), lambda: SlottedMStream(1, 1, seed=1),
                                      lambda: SlottedThresholder()])
def test_subclass_slots_survive_copies_and_pickles(detector, how):
    detector = detector()
    detector.tags = ["a"]
    if isinstance(detector, SlottedThresholder):
        detector.note = "kept"
    copier = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle": lambda d: pickle.loads(pickle.dumps(d))}[how]
    twin = copier(detector)
    assert type(twin) is type(detector) and twin.tags == ["a"] and (twin.tags is detector.tags) == (how == "copy")
    assert not hasattr(twin, "never_set") and getattr(twin, "note", "kept") == "kept"


def test_getnewargs():
    assert Forest(3, seed=1).__getnewargs__() == (3,)
    assert MStream(3, 2, seed=1).__getnewargs__() == (3, 2)


@pytest.mark.parametrize("make", [lambda: fed_forest(**FOREST_CONFIGS[0]), fed_mstream])
def test_failed_setstate_leaves_the_detector_unchanged(make):
    detector = make()
    before = detector.to_json()
    broken = before.replace('"entries_seen"', '"entries_seenX"')
    for state in ["{", broken, before[:-1], before.encode()[:-5]]:
        with pytest.raises(RuntimeError):
            detector.__setstate__(state)
        assert detector.to_json() == before
    other = make().to_json()
    detector.__setstate__(other.encode())
    assert detector.to_json() == other


# ---- files ------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["str", "bytes", "pathlike"])
@pytest.mark.parametrize("make", [lambda: fed_forest(**FOREST_CONFIGS[1]), fed_mstream])
def test_save_and_load_with_every_path_kind(tmp_path, kind, make):
    detector = make()
    target = tmp_path / "state.json"
    path = {"str": str(target), "bytes": os.fsencode(target), "pathlike": target}[kind]
    assert detector.save_json(path) is None
    assert target.read_text() == detector.to_json()
    assert type(detector).load_json(path).to_json() == detector.to_json()
    assert os.listdir(tmp_path) == ["state.json"]


@pytest.mark.parametrize("cls", [Forest, MStream])
def test_os_errors(tmp_path, cls):
    with pytest.raises(RuntimeError) as info:
        cls.load_json(tmp_path / "missing.json")
    assert str(info.value) == 'Io("No such file or directory (os error 2)")'
    with pytest.raises(RuntimeError) as info:
        cls.load_json(tmp_path)
    assert str(info.value) == 'Io("Is a directory (os error 21)")'
    detector = Forest(1, seed=1) if cls is Forest else MStream(1, 0, seed=1)
    before = detector.to_json()
    with pytest.raises(RuntimeError) as info:
        detector.save_json(tmp_path / "no" / "such" / "dir.json")
    assert str(info.value) == 'Io("No such file or directory (os error 2)")'
    with pytest.raises(RuntimeError) as info:
        detector.save_json(tmp_path)
    assert str(info.value) == 'Io("Is a directory (os error 21)")'
    assert detector.to_json() == before


def test_load_refuses_a_corrupt_file(tmp_path):
    target = tmp_path / "f.json"
    target.write_text(Forest(1, seed=1).to_json()[:-3])
    with pytest.raises(RuntimeError, match="EOF while parsing"):
        Forest.load_json(target)


def test_save_replaces_keeping_mode_and_links(tmp_path):
    target = tmp_path / "state.json"
    target.write_text("old")
    os.chmod(target, 0o640)
    link = tmp_path / "link.json"
    link.symlink_to(target)
    forest = fed_forest(**FOREST_CONFIGS[0])
    forest.save_json(link)
    assert link.is_symlink()
    assert target.read_text() == forest.to_json()
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["link.json", "state.json"]


def test_save_to_a_device_writes_in_place(tmp_path):
    # As root a faulty save could replace the machine's own /dev/null: use a
    # null device node of our own where the file system allows one.
    device = "/dev/null"
    if os.geteuid() == 0:
        try:
            os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
            with open(tmp_path / "null", "wb"):
                device = str(tmp_path / "null")
        except OSError:
            pytest.skip("no private device node here, and /dev/null is not ours to risk as root")
    Forest(1, seed=1).save_json(device)
    assert stat.S_ISCHR(os.stat(device).st_mode)


def run_python(code, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


def test_save_respects_write_permission():
    # A read-only file, and a writable file in a directory we may not create
    # files in: both refused with the OS error, neither file touched (a
    # rewrite in place would destroy the old file if it failed half way).
    with tempfile.TemporaryDirectory() as top:
        os.chmod(top, 0o777)
        check_write_permission(pathlib.Path(top))


def check_write_permission(tmp_path):
    locked_dir = tmp_path / "locked"
    locked_dir.mkdir()
    (locked_dir / "writable.json").write_text("old")
    os.chmod(locked_dir / "writable.json", 0o666)
    (tmp_path / "readonly.json").write_text("old")
    os.chmod(tmp_path / "readonly.json", 0o444)
    os.chmod(locked_dir, 0o555)
    os.chmod(tmp_path, 0o777)
    drop = "os.setgid(65534); os.setuid(65534)" if os.geteuid() == 0 else "pass"
    result = run_python(f"""
        import os, sys
        sys.path[:0] = {sys.path!r}
        import arbolet
        {drop}
        forest = arbolet.Forest(1, seed=1)
        for path in [{str(tmp_path / "readonly.json")!r}, {str(locked_dir / "writable.json")!r}]:
            try:
                forest.save_json(path)
            except RuntimeError as e:
                print(e)
    """)
    os.chmod(locked_dir, 0o755)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ['Io("Permission denied (os error 13)")'] * 2
    assert (tmp_path / "readonly.json").read_text() == "old"
    assert (locked_dir / "writable.json").read_text() == "old"
    assert os.listdir(locked_dir) == ["writable.json"]


def test_save_follows_dangling_links_and_takes_the_longest_names(tmp_path):
    forest = fed_forest(**FOREST_CONFIGS[0])
    link = tmp_path / "link.json"
    link.symlink_to("created.json")
    forest.save_json(link)
    assert link.is_symlink() and (tmp_path / "created.json").read_text() == forest.to_json()
    longest = tmp_path / ("n" * 255)
    forest.save_json(longest)
    assert Forest.load_json(longest).to_json() == forest.to_json()
    assert sorted(os.listdir(tmp_path)) == ["created.json", "link.json", "n" * 255]


def test_save_removes_only_the_temporary_files_of_dead_writers(tmp_path):
    target = tmp_path / "state.json"
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    stale = tmp_path / f".state.json.arbolet-{dead.pid}-00000000000000ff.tmp"
    live = tmp_path / f".state.json.arbolet-{os.getppid()}-00000000000000ff.tmp"
    other = tmp_path / f".other.json.arbolet-{dead.pid}-00000000000000ff.tmp"
    for path in (stale, live, other):
        path.write_text("partial")
    Forest(1, seed=1).save_json(target)
    assert sorted(os.listdir(tmp_path)) == sorted([target.name, live.name, other.name])


def test_killed_saves_leave_the_old_or_the_new_file(tmp_path):
    # A child saves two large states in turn and is killed at random moments;
    # the target must always load as one of them, and no temporary file may
    # outlive its writer beyond the next save.
    target = tmp_path / "state.json"
    texts = [fed_forest(n=600, dim=3, seed=s, num_trees=60, capacity=256).to_json() for s in (1, 2)]
    sources = [tmp_path / f"src{i}" for i in range(2)]
    for source, text in zip(sources, texts):
        source.write_text(text)
    target.write_text(texts[0])
    child_code = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path!r}
        import arbolet
        states = [arbolet.Forest.from_json(open(p).read()) for p in sys.argv[1:]]
        print("ready", flush=True)
        while True:
            for state in states:
                state.save_json({str(target)!r})
    """)
    rng = random.Random(4)
    for _ in range(8):
        child = subprocess.Popen([sys.executable, "-c", child_code, *map(str, sources)], stdout=subprocess.PIPE,
                                 text=True)
        assert child.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0.05, 0.6))
        child.kill()
        child.wait()
        child.stdout.close()
        assert target.read_text() in texts
    Forest.from_json(texts[1]).save_json(target)
    assert sorted(os.listdir(tmp_path)) == ["src0", "src1", "state.json"]


def test_saves_run_signal_handlers_and_let_other_threads_run(tmp_path):
    # Opening a FIFO blocks until a reader comes; the reader is another
    # thread, which needs the interpreter lock, while timer signals interrupt
    # the open. A handler that raises ends the save with its exception.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    result = run_python(f"""
        import signal, sys, threading, time
        sys.path[:0] = {sys.path!r}
        import arbolet
        forest = arbolet.Forest(1, seed=1)
        ticks = []
        signal.signal(signal.SIGALRM, lambda *a: ticks.append(1))
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        got = []
        def read():
            time.sleep(0.3)
            with open({str(fifo)!r}) as f:
                got.append(f.read())
        reader = threading.Thread(target=read)
        reader.start()
        forest.save_json({str(fifo)!r})
        reader.join()
        print(got == [forest.to_json()], len(ticks) > 3)
        def interrupt(*a):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, interrupt)
        try:
            forest.save_json({str(fifo)!r})
        except KeyboardInterrupt:
            print("interrupted")
        signal.setitimer(signal.ITIMER_REAL, 0)
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True", "interrupted"]


def test_failed_save_keeps_the_previous_file(tmp_path):
    # A file size limit makes the write fail half way, as a full disk would.
    target = tmp_path / "state.json"
    target.write_text(Forest(1, seed=1).to_json())
    old = target.read_text()
    result = run_python(f"""
        import resource, signal, sys
        sys.path[:0] = {sys.path!r}
        import arbolet
        big = arbolet.Forest(4, seed=1)
        for i in range(500):
            big.update([i * 0.37, -i, i % 7, 1.0 / (i + 1)])
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (len(open({str(target)!r}).read()) + 100,) * 2)
        try:
            big.save_json({str(target)!r})
        except RuntimeError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == 'Io("File too large (os error 27)")'
    assert target.read_text() == old
    assert os.listdir(tmp_path) == ["state.json"]


# ---- untrusted forests ------------------------------------------------------------

def small_forest_doc():
    forest = Forest(2, num_trees=2, capacity=4, seed=3)
    for i in range(9):
        forest.update([float(i), float(i * i % 5)])
    return json.loads(forest.to_json())


def internal_slots(doc, tree=0):
    return [i for i, n in enumerate(doc["trees"][tree]["arena"]["nodes"]) if n and "Internal" in n]


def leaf_slots(doc, tree=0):
    return [i for i, n in enumerate(doc["trees"][tree]["arena"]["nodes"]) if n and "Leaf" in n]


def mutate(doc, change):
    change(doc)
    return json.dumps(doc)


def node(doc, slot, tree=0):
    n = doc["trees"][tree]["arena"]["nodes"][slot]
    return n.get("Internal") or n.get("Leaf")


def add_vacant(doc, tree=0):
    nodes = doc["trees"][tree]["arena"]["nodes"]
    nodes.append(None)
    return len(nodes) - 1


INCONSISTENT = {
    "tree_count": (lambda d: d["trees"].pop(), "1 trees, expected num_trees 2"),
    "sampler_count": (lambda d: d["samplers"].pop(), "1 samplers for 2 trees"),
    "child_beyond": (lambda d: node(d, internal_slots(d)[0]).update(left=900), "names child 900 beyond the arena"),
    "self_cycle": (lambda d: node(d, internal_slots(d)[0]).update(right=internal_slots(d)[0]), "is reached twice"),
    "shared_child": (lambda d: node(d, internal_slots(d)[0]).update(right=node(d, internal_slots(d)[0])["left"]),
                     "is reached twice"),
    "vacant_child": (lambda d: node(d, internal_slots(d)[0]).update(left=add_vacant(d)), "names vacant child"),
    "point_beyond": (lambda d: node(d, leaf_slots(d)[0]).update(point_idx=10 ** 6), "names point 1000000 beyond"),
    "cut_dim": (lambda d: node(d, internal_slots(d)[0]).update(cut_dim=2), "cuts dimension 2 of 2"),
    # Indices that a 32-bit field would wrap onto a valid slot or dimension.
    "child_wraps": (lambda d: node(d, internal_slots(d)[0]).update(left=2 ** 32 + node(d, internal_slots(d)[0])["left"]),
                    "beyond the arena"),
    "cut_dim_wraps": (lambda d: node(d, internal_slots(d)[0]).update(cut_dim=2 ** 32), "cuts dimension 4294967296"),
    "root_beyond": (lambda d: d["trees"][1].update(root=77), "tree 1 root 77 beyond the arena"),
    "root_vacant": (lambda d: d["trees"][0].update(root=add_vacant(d)), "root names vacant slot"),
    "free_occupied": (lambda d: d["trees"][0]["arena"]["free"].append(leaf_slots(d)[0]), "names occupied slot"),
    "free_beyond": (lambda d: d["trees"][0]["arena"]["free"].append(99), "free list names slot 99 beyond"),
    "free_twice": (lambda d: d["trees"][0]["arena"]["free"].extend([add_vacant(d)] * 2), "twice"),
    "bbox_length": (lambda d: node(d, internal_slots(d)[0])["bbox"]["max"].append(0.0),
                    "has a bounding box of 3 values, expected 2"),
    # Box lengths are checked against the tree's own dims first.
    "tree_dims": (lambda d: d["trees"][1].update(dims=3), "values, expected 3"),
    "empty_tree_dims": (lambda d: d["trees"][1].update(dims=3, root=2 ** 64 - 1, arena={"nodes": [], "free": []}),
                        "tree 1 dims 3, expected 2"),
    "sampler_lists": (lambda d: d["samplers"][0]["weights"].pop(), "sampler 0 lists differ from its capacity 4"),
    "sampler_point": (lambda d: d["samplers"][1]["point_indices"].__setitem__(0, 10 ** 5), "names point 100000"),
    "pending_point": (lambda d: d["samplers"][0].update(pending_point=10 ** 5), "pending_point 100000"),
    "occupied_length": (lambda d: d["point_store"]["occupied"].pop(), "occupied has"),
    "ref_count_length": (lambda d: d["point_store"]["ref_count"].append(0), "ref_count has"),
    "next_free": (lambda d: d["point_store"].update(next_free=10 ** 4), "next_free 10000 beyond capacity"),
    "store_free_list": (lambda d: d["point_store"]["free_list"].append(10 ** 4), "free_list names slot 10000"),
    "shingle_buf": (lambda d: d["point_store"]["shingle_buf"].pop(), "shingle_buf has 1 values, expected 2"),
    "store_rows": (lambda d: d["point_store"].update(capacity=d["point_store"]["capacity"] + 1),
                   "matrix is not capacity x dim"),
    "store_dim": (lambda d: d["point_store"].update(dim=3), "point store dim 3, expected 2"),
    "shingling": (lambda d: d["config"].update(shingle_size=2), "shingling settings differ"),
    "dims_overflow": (lambda d: d["config"].update(input_dim=2 ** 63, shingle_size=4),
                      "inconsistent state: input_dim * shingle_size is too large"),
}


@pytest.mark.parametrize("name", sorted(INCONSISTENT))
def test_inconsistent_forest_is_refused_at_load(name):
    change, fragment = INCONSISTENT[name]
    text = mutate(small_forest_doc(), change)
    with pytest.raises(RuntimeError) as info:
        Forest.from_json(text)
    message = str(info.value)
    assert message.startswith('Io("inconsistent state: ') and fragment in message, message


@pytest.mark.parametrize("change, fragment", [
    (lambda d: node(d, leaf_slots(d)[0]).update(mass=0), "is a leaf of mass 0"),
    (lambda d: node(d, internal_slots(d)[0]).update(mass=12345), "has mass 12345, its children"),
    (lambda d: d["trees"][0].update(tree_mass=0), "has tree_mass 0, its root"),
    (lambda d: d["samplers"][0].update(size=99), "sampler 0 size 99 beyond its capacity 4"),
    (lambda d: d["point_store"]["ref_count"].__setitem__(0, 7), "point 0 has ref_count 7"),
    (lambda d: d["trees"][0]["arena"]["nodes"].append(None), "vacant slots that are not on its free list"),
    (lambda d: node(d, internal_slots(d)[0])["bbox"]["min"].__setitem__(0, -50.0), "not the union"),
    (lambda d: node(d, internal_slots(d)[0])["bbox"].update(range_sum=1e9), "has range sum"),
    (lambda d: d["config"].update(input_dim=0), "inconsistent state: input_dim must be > 0"),
])
def test_semantic_disagreements_are_refused(change, fragment):
    with pytest.raises(RuntimeError, match=r'^Io\("inconsistent state: ') as info:
        Forest.from_json(mutate(small_forest_doc(), change))
    assert fragment in str(info.value)


CORPUS = r"""
import json, random, re, sys
import arbolet

rng = random.Random(int(sys.argv[1]))
kind = sys.argv[2]
count = int(sys.argv[3])

if kind == "forest":
    det = arbolet.Forest(2, num_trees=3, capacity=6, shingle_size=2, seed=4)
    for i in range(40):
        det.update([rng.gauss(0, 1), float(i % 3)])
    cls = arbolet.Forest
else:
    det = arbolet.MStream(2, 1, num_rows=2, num_buckets=4, seed=4)
    for t in range(1, 30):
        det.update([rng.gauss(0, 1), rng.random()], [rng.randrange(5)], t)
    cls = arbolet.MStream
text = det.to_json()
doc = json.loads(text)

NUMBERS = ["0", "1", "2", "3", "7", "-1", "0.5", "-0.0", "1e308", "4294967296", "9223372036854775808",
           "18446744073709551615", "18446744073709551616", "1e400", "null", "true", "\"x\"", "[]", "{}"]
INDEX_KEYS = {"left", "right", "point_idx", "root", "cut_dim", "mass", "tree_mass", "size", "capacity",
              "pending_point", "next_free", "dim", "input_dim", "shingle_size", "num_trees", "num_rows",
              "num_buckets", "numeric_dim", "categorical_dim", "current_tick", "entries_seen"}

def number_spans(s):
    return [m.span() for m in re.finditer(r"-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?", s)]

def walk(value, path=()):
    yield path, value
    if isinstance(value, dict):
        for k, v in value.items():
            yield from walk(v, path + (k,))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from walk(v, path + (i,))

def get(value, path):
    for p in path:
        value = value[p]
    return value

spans = number_spans(text)
places = list(walk(doc))
lists = [(p, v) for p, v in places if isinstance(v, list) and p]
indices = [(p, v) for p, v in places if p and p[-1] in INDEX_KEYS and isinstance(v, int)]

def mutant():
    choice = rng.randrange(6)
    if choice == 0:                       # a number replaced
        a, b = rng.choice(spans)
        return text[:a] + rng.choice(NUMBERS) + text[b:]
    if choice == 1:                       # truncation
        return text[:rng.randrange(len(text))]
    d = json.loads(text)
    if choice == 2:                       # an index or size nudged
        path, v = rng.choice(indices)
        get(d, path[:-1])[path[-1]] = rng.choice([0, 1, 2, v + 1, max(v - 1, 0), v * 2 + 5, 2 ** 64 - 1])
    elif choice == 3:                     # a list shortened or lengthened
        path, v = rng.choice(lists)
        target = get(d, path)
        if target and rng.random() < 0.5:
            del target[rng.randrange(len(target))]
        elif target:
            target.insert(rng.randrange(len(target) + 1), rng.choice(target))
        else:
            target.append(0)
    elif choice == 4:                     # two nodes or two elements swapped
        path, v = rng.choice(lists)
        target = get(d, path)
        if len(target) >= 2:
            i, j = rng.sample(range(len(target)), 2)
            target[i], target[j] = target[j], target[i]
    else:                                 # a matrix reshaped to match its data
        mats = [(p, v) for p, v in walk(d) if isinstance(v, dict) and set(v) == {"v", "dim", "data"}]
        path, m = rng.choice(mats)
        n = rng.randrange(0, 4)
        m["dim"] = [n] + [1] * (len(m["dim"]) - 1)
        m["data"] = m["data"][:n] + [0.0] * max(0, n - len(m["data"]))
    return json.dumps(d)

def exercise(obj):
    if kind == "forest":
        width = len(json.loads(text)["point_store"]["shingle_buf"])
        calls = [lambda: obj.update([1.5, -2.0]), lambda: obj.update([0.0, 0.0]), lambda: obj.score([0.1] * width),
                 lambda: obj.displacement_score([0.2] * width), lambda: obj.attribution([3.0] * width),
                 lambda: obj.density([0.0] * width), lambda: obj.near_neighbors([0.0] * width),
                 lambda: obj.impute([0.0] * width, [0]), lambda: obj.extrapolate(1),
                 lambda: obj.update([9.0, 9.0]), lambda: obj.to_json()]
    else:
        calls = [lambda: obj.update_and_score([0.5, 0.1], [2], 40), lambda: obj.score([1.0, 0.0], [1], 41),
                 lambda: obj.score_detailed([1.0, 0.0], [9], 41), lambda: obj.update([0.0, 0.0], [0], 45),
                 lambda: obj.to_json()]
    for call in calls:
        try:
            call()
        except BaseException as e:
            if not isinstance(e, Exception) and type(e).__name__ != "PanicException":
                raise

accepted = 0
for _ in range(count):
    m = mutant()
    try:
        obj = cls.from_json(m)
    except RuntimeError as e:
        assert str(e).startswith('Io("'), e
        continue
    accepted += 1
    exercise(obj)
print(accepted)
"""


@pytest.mark.parametrize("kind", ["forest", "mstream"])
@pytest.mark.parametrize("seed", [1, 2])
def test_corrupted_documents_never_crash(kind, seed):
    result = subprocess.run([sys.executable, "-c", CORPUS, str(seed), kind, "400"], capture_output=True,
                            text=True, timeout=300, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr[-2000:]
    # Some mutants (values that only change numbers) must have been loaded
    # and exercised, not just refused.
    assert int(result.stdout) > 20


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator has its own overhead")
@pytest.mark.parametrize("field, item", [('"nodes":[]', "null"), ('"free":[]', "0"), ('"weights":[0.0]', "0")])
def test_loading_takes_a_bounded_multiple_of_the_document_size(field, item):
    # The densest shapes: long lists of the shortest elements (a vacant node
    # is 32 bytes from "null,"; an index 8 bytes from "0,").
    result = run_python(f"""
        import resource, sys
        sys.path[:0] = {sys.path!r}
        import arbolet
        base = arbolet.Forest(1, num_trees=1, capacity=1, seed=1).to_json()
        field, item = {field!r}, {item!r}
        doc = base.replace(field, field[:-1] + ",".join([item] * (20_000_000 // (len(item) + 1))) + "]", 1)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            arbolet.Forest.from_json(doc)
        except RuntimeError:
            pass
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 / len(doc))
    """)
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) <= 8.0
