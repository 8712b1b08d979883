"""One forest over several threads: the same bits for every thread count."""

import copy
import os
import pickle
import subprocess
import sys
import threading

import numpy as np
import pytest

import arbolet


def stream(n, width, seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, width))
    x[n // 3 : n // 3 + 200] = x[n // 3]  # equal points
    x[2 * n // 3 :] += 8.0  # a level shift: many evictions
    return x


def answers(f, probes):
    out = [f.score_many(probes).tolist(), f.displacement_score_many(probes).tolist(), f.density_many(probes).tolist()]
    for p in probes[:5].tolist():
        out += [f.attribution(p), f.near_neighbors(p, top_k=3), f.impute(p, [0])]
    return out


@pytest.mark.parametrize(
    "config",
    [
        dict(input_dim=2, shingle_size=3, num_trees=17, capacity=24, time_decay=0.05),
        dict(input_dim=4, shingle_size=1, num_trees=40, capacity=64, internal_shingling=False),
    ],
)
def test_every_thread_count_gives_the_same_documents_and_answers(config):
    width = config["input_dim"] * (1 if config.get("internal_shingling", True) else config["shingle_size"])
    x = stream(3000, width, seed=2)
    probes = np.vstack([x[:3], x[-3:], x[-1:] * 3.0])
    if config.get("internal_shingling", True):
        probes = np.hstack([probes] * config["shingle_size"])
    results = []
    for threads in (1, 2, 3, 8):
        f = arbolet.Forest(seed=9, threads=threads, **config)
        scores = f.score_and_update_many(x[:2000]).tolist()
        for row in x[2000:2300].tolist():  # single calls too
            scores.append(f.score_and_update(row))
            f.update(row)
        f.update_many(x[2300:])
        results.append((f.to_json(), scores, answers(f, probes)))
    assert all(r == results[0] for r in results[1:])


def test_threads_setting_is_kept_by_copies_but_not_saved():
    f = arbolet.Forest(2, num_trees=4, capacity=8, seed=1, threads=3)
    assert f.threads == 3 and arbolet.Forest(2).threads == 1
    f.update_many(stream(50, 2, seed=1))
    assert f.to_json() == copy.copy(f).to_json()
    assert copy.copy(f).threads == 3 and copy.deepcopy(f).threads == 3
    assert arbolet.Forest.from_json(f.to_json()).threads == 1
    assert pickle.loads(pickle.dumps(f)).threads == 1
    f.threads = 2
    assert f.threads == 2
    with pytest.raises(ValueError, match="^threads must be > 0$"):
        f.threads = 0
    with pytest.raises(ValueError, match="^threads must be > 0$"):
        arbolet.Forest(2, threads=0)
    with pytest.raises(TypeError, match="^argument 'threads': "):
        arbolet.Forest(2, threads=1.5)
    with pytest.raises(AttributeError):
        del f.threads
    assert f.threads == 2


def thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_one_small_pool_serves_every_forest_and_restarts_after_fork():
    forests = [arbolet.Forest(1, num_trees=8, capacity=8, seed=s, threads=4) for s in range(40)]
    for f in forests:
        f.update_many([[float(i % 5)] for i in range(30)])
    before = thread_count()
    for f in forests:
        f.update_many([[1.0], [2.0]])
    assert thread_count() == before  # no thread per forest
    expected = forests[0].score_many([[1.0], [9.0]]).tolist()

    pid = os.fork()
    if pid == 0:  # the child has no workers until its first parallel call
        code = 1
        try:
            code = 0 if forests[0].score_many([[1.0], [9.0]]).tolist() == expected else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_threads_above_the_cpu_count_start_no_more_workers_than_cpus():
    code = ("import os, arbolet; f = arbolet.Forest(1, threads=64, seed=1); "
            "f.update_many([[float(i % 7)] for i in range(300)]); print(f.threads, len(os.listdir('/proc/self/task')))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        p for p in (os.path.dirname(os.path.dirname(arbolet.__file__)), os.environ.get("PYTHONPATH")) if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    setting, threads = map(int, done.stdout.split())
    assert setting == 64 and threads <= os.cpu_count(), done.stderr  # the setting stays; the workers are capped


def test_python_threads_share_the_pool():
    x = stream(600, 1, seed=4)
    serial = arbolet.Forest(1, num_trees=20, capacity=32, seed=5)
    expected = serial.score_and_update_many(x).tolist()
    out = [None] * 4

    def body(i):
        f = arbolet.Forest(1, num_trees=20, capacity=32, seed=5, threads=2 + i % 2)
        out[i] = f.score_and_update_many(x).tolist()

    threads = [threading.Thread(target=body, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert out == [expected] * 4


def test_pool_checks_in_cpp(tmp_path):
    """Several calling threads, each with a forest over several workers, against one thread: as built
    with the other engine checks, then under ThreadSanitizer when the toolchain has it."""
    import subprocess
    from pathlib import Path

    from conftest import run_engine_check

    run_engine_check("forest_threads_check")
    probe = subprocess.run(["g++", "-fsanitize=thread", "-x", "c++", "-", "-o", str(tmp_path / "probe")],
                           input="int main() {}", capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip("the toolchain has no ThreadSanitizer")
    src = Path(__file__).resolve().parents[1] / "src"
    sources = [*sorted((src / "rcf").rglob("*.cpp")), *sorted((src / "random").glob("*.cpp")),
               *sorted((src / "common").glob("*.cpp"))]
    exe = tmp_path / "forest_threads_check"
    build = subprocess.run(
        ["g++", "-std=c++20", "-O1", "-g", "-ffp-contract=off", "-fsanitize=thread", "-I", str(src),
         str(Path(__file__).parent / "cpp" / "forest_threads_check.cpp"), *map(str, sources), "-o", str(exe)],
        capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    # The AddressSanitizer suite preloads its runtime, which cannot share a
    # process with ThreadSanitizer's.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=600, env=env)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stdout + run.stderr
