"""Several threads on one detector, and one detector per thread.

Two threads meet on one detector while a call runs its engine work without
the interpreter lock, or while it converts a Python-level argument (the
iteration of a sequence or an element's conversion runs Python code, during
which the interpreter may switch threads with the borrow held). The
arguments below are such sequences, and they yield the lock on purpose, so
conflicts happen often. A call that meets another thread's borrow waits for
it: no borrow error may surface, and everything must have been applied
whole, which a serial replay checks. Only re-entrance from the same thread
is refused."""

import itertools
import sys
import threading
import time

import pytest

import arbolet

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
THREADS = 4


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


class Journal:
    """The order in which mutations took effect. An entry is written at the
    last step of an argument's conversion, which runs under the exclusive
    borrow: no other call can change the detector between the entry and the
    engine operation that follows it."""

    def __init__(self):
        self.entries = []


class SlowSeq:
    """A sequence whose iteration hands the interpreter to other threads
    between elements and, at its end, optionally journals an entry."""

    def __init__(self, items, journal=None, entry=None, pause=0.0):
        self.items = list(items)
        self.journal = journal
        self.entry = entry
        self.pause = pause

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        time.sleep(self.pause)
        for v in self.items:
            time.sleep(0)
            yield v
        if self.journal is not None:
            self.journal.entries.append(self.entry)


class Clock:
    """A timestamp that takes the next tick of a shared counter when it is
    converted (the last argument converted by the MStream record methods),
    so ingests stay in timestamp order whatever the thread interleaving."""

    counter = itertools.count(1)

    def __init__(self, journal=None, entry=None):
        self.journal = journal
        self.entry = entry

    def __index__(self):
        t = next(Clock.counter) // 3 + 1  # several records share a timestamp
        if self.journal is not None:
            self.journal.entries.append(self.entry + (t,))
        return t


def run_threads(worker, n=THREADS):
    outcomes = [None] * n
    start = threading.Barrier(n)

    def body(i):
        start.wait()
        try:
            outcomes[i] = worker(i)
        except BaseException as e:  # reported on the main thread
            outcomes[i] = e

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
        assert not t.is_alive()
    for o in outcomes:
        if isinstance(o, BaseException):
            raise o
    return outcomes


def attempt(counts, call, *args, **kwargs):
    """Calls and returns the result, or None after a borrow conflict (counted);
    any other failure propagates and fails the test."""
    try:
        result = call(*args, **kwargs)
    except RuntimeError as e:
        assert str(e) in BORROW_ERRORS, repr(e)
        counts[str(e)] += 1
        return None
    counts["ok"] += 1
    return result


def persist(counts, call, *args, **kwargs):
    """A mutation retried until it gets its exclusive borrow (or gives up)."""
    for _ in range(200):
        before = counts["ok"]
        result = attempt(counts, call, *args, **kwargs)
        if counts["ok"] != before:
            return result
        time.sleep(1e-4)
    return None


def new_counts():
    return {"ok": 0, "Already borrowed": 0, "Already mutably borrowed": 0}


def merged(outcomes):
    total = new_counts()
    for c in outcomes:
        for k, v in c.items():
            total[k] += v
    return total


def test_shared_forest_waits_for_other_threads_and_matches_serial_replay():
    forest = arbolet.Forest(3, shingle_size=2, num_trees=4, capacity=16, seed=21)
    for i in range(20):
        forest.update([i, -i, i % 3])
    snapshot = forest.to_json()
    journal = Journal()
    documents = []

    def worker(tid):
        counts = new_counts()
        for step in range(60):
            point = [tid + step * 0.25, (step * 7 + tid) % 5, -step]
            kind = (step + tid) % 6
            if kind == 0:
                persist(counts, forest.update, SlowSeq(point, journal, ("update", point), pause=2e-4))
            elif kind == 1:
                rows = [point, point[::-1]]
                method = forest.update_many if step % 2 else forest.score_and_update_many
                persist(counts, method, SlowSeq(rows, journal, ("update_many", rows), pause=2e-4))
            elif kind == 2:
                # Plain lists: these reads hold their borrow only inside
                # the engine, so the writers get through often.
                s = attempt(counts, forest.score, point * 2)
                assert s is None or s >= 0.0
                attempt(counts, forest.attribution, point * 2)
                attempt(counts, forest.near_neighbors, point * 2, top_k=3)
                attempt(counts, forest.density, point * 2)
                attempt(counts, forest.score_many, [point * 2, point[::-1] * 2])
            elif kind == 3:
                attempt(counts, forest.impute, SlowSeq(point * 2), SlowSeq([1, 4]))
                attempt(counts, forest.extrapolate, 2)
                attempt(counts, forest.displacement_score, SlowSeq(point * 2))
            elif kind == 4:
                doc = attempt(counts, forest.to_json)
                if doc is not None:
                    documents.append(doc)
            elif step % 12 == 5:
                # Restore the snapshot, given as a sequence of byte values so
                # that its conversion runs under the exclusive borrow.
                attempt(counts, forest.__setstate__, SlowSeq(snapshot.encode(), journal, ("restore",)))
            else:
                attempt(counts, repr, forest)
                attempt(counts, forest.entries_seen)
        return counts

    counts = merged(run_threads(worker))
    assert counts["Already borrowed"] + counts["Already mutably borrowed"] == 0, counts
    assert len(journal.entries) >= 20, (len(journal.entries), counts)

    replay = arbolet.Forest.from_json(snapshot)
    for entry in journal.entries:
        if entry[0] == "update":
            replay.update(entry[1])
        elif entry[0] == "update_many":
            replay.update_many(entry[1])
        else:
            replay.__setstate__(snapshot)
    assert forest.to_json() == replay.to_json()
    # Every document read concurrently is a whole one.
    for doc in documents[:: max(1, len(documents) // 20)]:
        assert arbolet.Forest.from_json(doc).to_json() == doc


def test_shared_mstream_waits_for_other_threads_and_matches_serial_replay():
    m = arbolet.MStream(2, 2, num_rows=2, num_buckets=32, seed=4)
    snapshot = m.to_json()
    journal = Journal()
    methods = ["update", "update_and_score", "update_and_score_detailed"]

    def worker(tid):
        counts = new_counts()
        for step in range(60):
            numeric = [tid * 0.5 + step % 4, step * 0.1]
            categorical = [tid, step % 3]
            kind = (step + tid) % 5
            if kind <= 1 and step % 4 == 3:
                # A batch of one record, replayed as the single update.
                persist(counts, m.update_and_score_many, SlowSeq([numeric], pause=2e-4), [categorical],
                        [Clock(journal, ("update", numeric, categorical))])
            elif kind <= 1:
                name = methods[step % 3]
                persist(counts, getattr(m, name), SlowSeq(numeric, pause=2e-4), SlowSeq(categorical),
                        Clock(journal, (name, numeric, categorical)))
            elif kind == 2:
                # A preview may name an earlier time than the last record:
                # the clock's own ValueError is then a clean answer too.
                try:
                    attempt(counts, m.score_detailed, SlowSeq(numeric), SlowSeq(categorical), Clock())
                    attempt(counts, m.score, SlowSeq(numeric), SlowSeq(categorical), Clock())
                except ValueError as e:
                    assert "non-decreasing" in str(e)
            elif kind == 3:
                doc = attempt(counts, m.to_json)
                if doc is not None:
                    arbolet.MStream.from_json(doc)
                attempt(counts, m.current_time)
            elif step == 8:
                attempt(counts, m.__setstate__, SlowSeq(snapshot.encode(), journal, ("restore",)))
            else:
                attempt(counts, repr, m)
                attempt(counts, m.is_ready)
        return counts

    counts = merged(run_threads(worker))
    assert counts["Already borrowed"] + counts["Already mutably borrowed"] == 0, counts
    assert len(journal.entries) >= 20, (len(journal.entries), counts)

    replay = arbolet.MStream.from_json(snapshot)
    for entry in journal.entries:
        if entry[0] == "restore":
            replay.__setstate__(snapshot)
        else:
            name, numeric, categorical, t = entry
            getattr(replay, name)(numeric, categorical, t)
    assert m.to_json() == replay.to_json()


def test_separate_detectors_in_separate_threads_do_not_interfere():
    def workload(tid):
        f = arbolet.Forest(2, num_trees=3, capacity=16, seed=100 + tid)
        m = arbolet.MStream(1, 1, num_buckets=16, seed=200 + tid)
        scores = []
        for i in range(150):
            f.update(SlowSeq([i % 7 + tid, (i * 3) % 11]))
            scores.append(f.score([tid, 1.0]))
            scores.append(m.update_and_score(SlowSeq([i % 5]), [tid + i % 2], i // 10 + 1))
        return f.to_json(), m.to_json(), scores

    threaded = run_threads(workload)
    serial = [workload(tid) for tid in range(THREADS)]
    assert threaded == serial


@pytest.mark.parametrize("name", ["update", "score", "impute", "to_json", "__setstate__", "repr"])
def test_reentrant_calls_from_every_method_leave_the_flag_released(name):
    """A call made while another call on the same detector is converting its
    argument: reads nest under reads, everything else is refused, and no
    refusal leaves a borrow behind."""
    f = arbolet.Forest(2, num_trees=2, capacity=4, seed=9)
    f.update([1.0, 2.0])
    doc = f.to_json()
    inner = {
        "update": lambda: f.update([0.0, 0.0]),
        "score": lambda: f.score([0.0, 0.0]),
        "impute": lambda: f.impute([0.0, 0.0], [0]),
        "to_json": f.to_json,
        "__setstate__": lambda: f.__setstate__(doc),
        "repr": lambda: repr(f),
    }[name]
    mutating_inner = name in ("update", "__setstate__")
    seen = []

    class Probe(SlowSeq):
        def __iter__(self):
            try:
                inner()
                seen.append("ok")
            except RuntimeError as e:
                seen.append(str(e))
            return iter(self.items)

    f.update(Probe([3.0, 4.0]))
    f.score(Probe([3.0, 4.0]))
    assert seen[0] == "Already borrowed" if mutating_inner else seen[0] == "Already mutably borrowed"
    assert seen[1] == ("Already borrowed" if mutating_inner else "ok")
    # Afterwards both kinds of borrow are free again.
    f.update([5.0, 6.0])
    assert f.entries_seen() == 3


def test_a_detector_borrowed_at_fork_refuses_calls_in_the_child():
    # A worker holds `busy` (blocked converting a point) when the process
    # forks: in the child that borrow can never end.
    import subprocess
    import textwrap

    code = textwrap.dedent(f"""
        import os, sys, threading
        sys.path[:0] = {sys.path!r}
        import arbolet
        busy, idle = arbolet.Forest(1, seed=1), arbolet.MStream(1, 0, seed=1)
        entered, release = threading.Event(), threading.Event()
        class Slow:
            def __float__(self):
                entered.set()
                release.wait()
                return 1.0
        worker = threading.Thread(target=busy.update, args=([Slow()],))
        worker.start()
        entered.wait()
        pid = os.fork()
        if pid == 0:
            for call in (lambda: busy.score([1.0]), lambda: repr(busy), lambda: setattr(busy, "threads", 2)):
                try:
                    call()
                except RuntimeError as e:
                    print(e)
            idle.update([1.0], [], 1)
            print(idle.entries_seen(), flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        release.set()
        worker.join()
        print(busy.entries_seen())
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["detector was in use when the process forked"] * 3 + ["1", "1"]


def test_interpreter_exits_cleanly_while_a_daemon_thread_is_inside_a_call():
    # At shutdown the interpreter ends a daemon thread that takes its lock back.
    import subprocess
    import textwrap

    code = textwrap.dedent(f"""
        import sys, threading, time
        sys.path[:0] = {sys.path!r}
        import numpy as np, arbolet
        f = arbolet.Forest(3, seed=1)
        threading.Thread(target=f.update_many, args=(np.random.rand(300000, 3),), daemon=True).start()
        time.sleep(0.5)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
