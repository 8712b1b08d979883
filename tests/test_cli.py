"""The arbolet command, run as a user runs it: the installed console script and ``python -m arbolet``."""

from __future__ import annotations

import csv
import datetime
import fcntl
import hashlib
import io
import json
import math
import os
import pty
import random
import shutil
import struct
import subprocess
import sys
import sysconfig
import termios
import zipfile
from pathlib import Path

import pytest

import arbolet
from arbolet.codes import category_code
from arbolet.keyed import key_seed

MODULE = [sys.executable, "-m", "arbolet"]


def console_script() -> list[str]:
    if (Path(arbolet.__file__).resolve().parent.parent / "CMakeCache.txt").exists():
        pytest.skip("a developer build tree has no console script; an installed package has")
    script = shutil.which("arbolet", path=sysconfig.get_path("scripts"))
    assert script is not None, "the installed package has no arbolet console script"
    return [script]


@pytest.fixture(params=["console script", "python -m arbolet"])
def command(request) -> list[str]:
    return console_script() if request.param == "console script" else MODULE


def run(command, *args, stdin=b"", cwd=None, **kwargs) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    root = str(Path(arbolet.__file__).resolve().parent.parent)  # the arbolet under test, installed or built
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    return subprocess.run([*command, *map(str, args)], input=stdin, env=env, cwd=cwd, timeout=300,
                          capture_output="stderr" not in kwargs, **kwargs)


def metrics_csv(steps=400, spike=(300, "b")) -> str:
    rng = random.Random(0)
    lines = ["time,host,cpu,mem"]
    for t in range(steps):
        for host in ("a", "b"):
            cpu = math.sin(t / 10) + rng.gauss(0, 0.05) + (3.0 if (t, host) == spike else 0.0)
            lines.append(f"{t},{host},{cpu:.4f},{rng.uniform(0.4, 0.6):.2f}")
    return "\n".join(lines) + "\n"


def rows(text: str | bytes) -> list[list[str]]:
    return list(csv.reader(io.StringIO(text.decode() if isinstance(text, bytes) else text)))


def test_score_per_key_and_continue_from_a_saved_state(command, tmp_path):
    data = metrics_csv()
    (tmp_path / "all.csv").write_text(data)
    head, tail = data.splitlines(keepends=True)[:401], data.splitlines(keepends=True)[401:]
    (tmp_path / "first.csv").write_text("".join(head))
    (tmp_path / "rest.csv").write_text(head[0] + "".join(tail))
    settings = ["--key", "host", "--time", "time", "--shingle", "4", "--trees", "20", "--capacity", "64",
                "--seed", "7"]

    whole = run(command, "score", "all.csv", *settings, cwd=tmp_path)
    assert whole.returncode == 0 and whole.stderr == b""
    scored = rows(whole.stdout)
    assert scored[0] == ["time", "host", "cpu", "mem", "score", "grade", "flag", "error"]
    assert [row[:4] for row in scored] == rows(data)
    assert [row[:2] for row in scored[1:] if row[6] == "1"] == [["300", "b"]]
    # A key's cells are its own Monitor's verdicts: settings by the engine's names, seed from key_seed,
    # the row's time as its timestamp.
    monitor = arbolet.Monitor(2, shingle_size=4, num_trees=20, capacity=64, seed=key_seed(7, "b"))
    verdicts = [monitor.update([float(row[2]), float(row[3])], timestamp=int(row[0]))
                for row in scored[1:] if row[1] == "b"]
    assert [row[4:7] for row in scored[1:] if row[1] == "b"] == [
        [repr(v["score"]), repr(v["grade"]), "1" if v["alarm"] else "0"] for v in verdicts]

    first = run(command, "score", "first.csv", *settings, "--save-state", "state.zip", "--quiet", cwd=tmp_path)
    rest = run(command, "score", "-", "--load-state", "state.zip", "--shingle-size", "4", "-o", "rest.out",
               stdin=(tmp_path / "rest.csv").read_bytes(), cwd=tmp_path)
    assert first.returncode == rest.returncode == 0
    assert rows(first.stdout) + rows((tmp_path / "rest.out").read_text())[1:] == scored

    with zipfile.ZipFile(tmp_path / "state.zip") as archive:
        manifest = json.loads(archive.read("arbolet-state.json"))
        assert (manifest["version"], manifest["kind"], manifest["seeds"]) == (2, "monitor", "key_seed")
        assert [entry["key"] for entry in manifest["detectors"]] == ["a", "b"]
        assert "thresholder" not in manifest["detectors"][1]
        assert manifest["settings"]["columns"] == ["cpu", "mem"]
        assert arbolet.Monitor.from_bytes(archive.read(manifest["detectors"][1]["member"])).steps == 200


def legacy_state(path: Path, mstream: bool, seed: int, rows_by_key: dict[str, list[tuple[int, float]]]) -> dict:
    """A state file as arbolet 0.3 wrote it (manifest version 1), and its detectors and thresholders."""
    detectors, thresholders, entries = {}, {}, []
    for i, (key, own) in enumerate(rows_by_key.items()):
        digest = hashlib.blake2b(f"{seed}\0{key}".encode(), digest_size=8).digest()
        key_seed_v1 = int.from_bytes(digest, "little")
        if mstream:
            detector, thresholder = arbolet.MStream(1, 0, seed=key_seed_v1), arbolet.Thresholder()
        else:
            detector = arbolet.Forest(1, num_trees=10, capacity=32, shingle_size=2, seed=key_seed_v1)
            thresholder = arbolet.Thresholder.for_forest(detector)
        for t, value in own:
            thresholder.update(detector.update_and_score([value], [], t) if mstream
                               else detector.score_and_update([value]))
        detectors[key], thresholders[key] = detector, thresholder
        entries.append({"key": key, "member": f"detectors/{i}.bin", "thresholder": f"thresholders/{i}.json"})
    settings = {"mstream": mstream, "columns": ["v"], "categorical": [], "key": "k", "time": "t", "time_unit": 1,
                "trees": 10, "capacity": 32, "shingle": 2, "alpha": 0.8, "seed": seed}
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("arbolet-state.json", json.dumps({"format": "arbolet-keyed-state", "version": 1,
                                                           "settings": settings, "detectors": entries}))
        for i, key in enumerate(detectors):
            archive.writestr(f"detectors/{i}.bin", detectors[key].to_bytes())
            archive.writestr(f"thresholders/{i}.json", thresholders[key].to_json())
    return {"detectors": detectors, "thresholders": thresholders}


@pytest.mark.parametrize("mstream", [False, True])
def test_state_files_of_the_previous_release_continue_exactly(tmp_path, mstream):
    rng = random.Random(4)
    past = {key: [(t, rng.gauss(5, 1)) for t in range(1, 120)] for key in ("x", "y")}
    old = legacy_state(tmp_path / "old.zip", mstream, 9, past)
    new_rows = [(t, key, rng.gauss(5, 1) + (9 if t == 150 else 0)) for t in range(120, 200) for key in ("x", "z")]
    done = run(MODULE, "score", "--load-state", "old.zip", "--save-state", "next.zip",
               stdin=("t,k,v\n" + "".join(f"{t},{k},{v!r}\n" for t, k, v in new_rows)).encode(), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    scored = rows(done.stdout)
    assert scored[0] == ["t", "k", "v", "score", "flag", "error"]
    # Key x goes on from its saved detector and thresholder; the new key z is made as 0.3 made it.
    old["detectors"]["z"] = legacy_state(tmp_path / "z.zip", mstream, 9, {"z": []})["detectors"]["z"]
    old["thresholders"]["z"] = (arbolet.Thresholder() if mstream
                                else arbolet.Thresholder.for_forest(old["detectors"]["z"]))
    expected = []
    for t, key, value in new_rows:
        detector, thresholder = old["detectors"][key], old["thresholders"][key]
        ready = mstream or detector.is_ready()
        score = detector.update_and_score([value], [], t) if mstream else detector.score_and_update([value])
        grade = thresholder.update(score)
        expected.append([repr(score), "1" if grade > 0 else "0"] if ready else ["", ""])
    assert [row[3:5] for row in scored[1:]] == expected
    with zipfile.ZipFile(tmp_path / "next.zip") as archive:
        manifest = json.loads(archive.read("arbolet-state.json"))
    assert (manifest["kind"], manifest["seeds"]) == ("mstream-raw" if mstream else "forest", "blake2b-seed-nul-key")


def test_mstream_with_dates_and_categories_matches_the_detector(tmp_path):
    start = datetime.datetime(2024, 5, 1, tzinfo=datetime.timezone.utc)
    rng = random.Random(1)
    lines, expected = ["when,user,bytes"], arbolet.MStream(1, 1, seed=3)
    thresholder = arbolet.Thresholder.for_mstream(expected)  # new runs judge the scores' logarithm
    scores = []
    for minute in range(60):
        users = [f"u{rng.randrange(20)}" for _ in range(5)] + ["mallory"] * (30 if minute == 50 else 0)
        for second, user in enumerate(users):
            moment = start + datetime.timedelta(minutes=minute, seconds=second)
            lines.append(f"{moment.replace(tzinfo=None).isoformat()},{user},{100 + second}")
            timestamp = int(moment.timestamp()) // 60
            score = expected.update_and_score([100.0 + second], [category_code(user)], timestamp)
            scores.append([repr(score), repr(thresholder.update(score))])
    done = run(MODULE, "score", "--mstream", "--time", "when", "--time-unit", "60", "--categorical", "user",
               "--seed", "3", stdin="\n".join(lines).encode())
    assert done.returncode == 0, done.stderr
    scored = rows(done.stdout)
    assert [row[3:5] for row in scored[1:]] == scores
    assert max(scored[1:], key=lambda row: float(row[3]))[1] == "mallory"


@pytest.mark.parametrize("stdin, args, message, status", [
    (b"a,b\n1,2\n", ["--columns", "a,c"], "<stdin>: line 1: no column 'c' in the header ('a', 'b')", 1),
    (b"a,b\n1,2\n3,x\n", ["--on-error", "stop"], "<stdin>: line 3: column 'b': 'x' is not a number", 1),
    (b"a,b\n1,2\n3\n", [], "<stdin>: line 3: expected 2 fields, found 1", 1),
    (b'a,b\n1,2\n"3,4\n', [], "<stdin>: line 3: unexpected end of data", 1),
    (b"a,b\n1,2\n\xff,3\n", [], "<stdin>: line 3: not UTF-8 text", 1),
    (b"a\n1\nnan\n", ["--on-error", "stop"], "<stdin>: line 3: point values must be finite", 1),
    (b"t,a\n5,1\n3,1\n", ["--mstream", "--time", "t", "--on-error", "stop"], "<stdin>: line 3: timestamps must be non-decreasing", 1),
    (b"t,a\n5,1\nnoon,1\n", ["--mstream", "--time", "t", "--on-error", "stop"],
     "<stdin>: line 3: column 't': 'noon' is neither an integer nor an ISO 8601 date", 1),
    (b"", [], "<stdin>: the input is empty", 1),
    (b"a,b\nx,y\n", [], "<stdin>: line 2: no numeric column to score", 1),
    (b"", ["missing.csv"], "No such file or directory: missing.csv", 1),
    (b"", ["--load-state", "state.zip"], "state.zip: broken state file", 1),
    (b"", ["--trees", "0"], "argument --num-trees/--trees: must be at least 1: '0'", 2),
    (b"", ["--alpha", "0.5"], "--alpha does not apply to the Monitor detector (add --mstream)", 2),
    (b"", ["--load-state", "good.zip", "--capacity", "32"], "--capacity 32 differs from the loaded state's 256", 2),
    (b"", ["--frobnicate"], "unrecognized arguments: --frobnicate", 2),
])
def test_bad_input_gives_one_line_and_the_status(tmp_path, stdin, args, message, status):
    (tmp_path / "state.zip").write_text("a,b\n")
    assert run(MODULE, "score", "--save-state", "good.zip", stdin=b"a\n1\n", cwd=tmp_path).returncode == 0
    done = run(MODULE, "score", *args, stdin=stdin, cwd=tmp_path)
    errors = done.stderr.decode().splitlines()
    assert done.returncode == status and message in errors[-1], done.stderr
    assert errors[-1].startswith("arbolet") and (status == 2 or len(errors) == 1)


def test_progress_bar_only_on_a_terminal_and_not_when_quiet(tmp_path):
    (tmp_path / "data.csv").write_text(metrics_csv(steps=50))
    for quiet, shown in (([], True), (["--quiet"], False)):
        parent, child = pty.openpty()
        fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a terminal 80 wide
        done = run(MODULE, "score", "data.csv", *quiet, cwd=tmp_path, stderr=child)
        os.close(child)
        drawn = b""
        try:
            while chunk := os.read(parent, 4096):
                drawn += chunk
        except OSError:  # read all: the terminal's other end is closed
            pass
        os.close(parent)
        assert done.returncode == 0 and (b"%|" in drawn) == shown, drawn
        assert (b"arbolet: 100 rows, 1 key, 0 alarms, " in drawn) == shown, drawn  # the line that ends the bar


# A gap, an unparsable cell and a time going back within key a (a forest: the command checks the order).
GAPS = b"t,host,cpu\n1,a,1.0\n2,a,\n3,b,x\n4,a,1.5\n3,a,1.2\n5,a,nan\n"


@pytest.mark.parametrize("on_error, errors, stderr", [
    ("skip", ["", "skipped: column 'cpu': '' is not a number", "skipped: column 'cpu': 'x' is not a number", "",
              "skipped: column 't': timestamps must be non-decreasing: previous=4, got=3",
              "skipped: point values must be finite"],
     "arbolet: 6 rows, 1 key, 0 alarms, 4 skipped (see the error column), "),
    ("fill", ["", "filled: column 'cpu': '' is not a number", "skipped: column 'cpu': 'x' is not a number", "",
              "skipped: column 't': timestamps must be non-decreasing: previous=4, got=3",
              "filled: column 'cpu': 'nan' is not a finite number"],
     "arbolet: 6 rows, 1 key, 0 alarms, 2 skipped, 2 filled (see the error column), "),
    ("stop", None, "arbolet: error: <stdin>: line 3: column 'cpu': '' is not a number"),
])
def test_bad_rows_are_skipped_filled_or_end_the_run(on_error, errors, stderr, tmp_path):
    done = run(MODULE, "score", "--key", "host", "--time", "t", "--on-error", on_error, "--save-state", "state.zip",
               stdin=GAPS, cwd=tmp_path)
    assert done.stderr.decode().startswith(stderr), done.stderr
    if errors is None:
        assert done.returncode == 1
        return
    scored = rows(done.stdout)
    assert done.returncode == 0 and [row[:3] for row in scored] == rows(GAPS)
    assert [row[-1] for row in scored[1:]] == errors
    with zipfile.ZipFile(tmp_path / "state.zip") as archive:  # only the accepted (and filled) rows were learned
        manifest = json.loads(archive.read("arbolet-state.json"))
        assert [entry["key"] for entry in manifest["detectors"]] == ["a"]
        monitor = arbolet.Monitor.from_bytes(archive.read(manifest["detectors"][0]["member"]))
    assert monitor.steps == {"skip": 2, "fill": 4}[on_error]


def score_in_process(capsys, *args) -> tuple[int, list[str]]:
    """Runs the command in this process; its exit status and the lines of its error output."""
    from arbolet.cli import main

    status = main(["score", "--quiet", *map(str, args)])
    return status, capsys.readouterr().err.splitlines()


def crafted_state(tmp_path, change) -> Path:
    """A state file saved by the command, rewritten member by member through ``change``."""
    from arbolet._keyed_detectors import KeyedDetectors, Settings

    # A forest run, whose keys hold a detector and a thresholder member each.
    detectors = KeyedDetectors(Settings(columns=("a",), seed=1, num_trees=50, capacity=256, shingle_size=1),
                               kind="forest", seeds="blake2b-seed-nul-key")
    detectors.step(None, [1.0], [], None)
    detectors.save(str(tmp_path / "good.zip"))
    path = tmp_path / "crafted.zip"
    with zipfile.ZipFile(tmp_path / "good.zip") as good, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as crafted:
        for info in good.infolist():
            crafted.writestr(*change(info.filename, info, good.read(info)))
    if hasattr(change, "header"):  # fields that the writer sets itself
        member, field, value = change.header
        raw = bytearray(path.read_bytes())
        for signature, field_at, name_at in ((b"PK\x03\x04", field - 2, 30), (b"PK\x01\x02", field, 46)):
            at = raw.find(signature)
            while at >= 0:
                if raw[at + name_at:].startswith(member.encode()):
                    raw[at + field_at:at + field_at + 2] = struct.pack("<H", value)
                at = raw.find(signature, at + 1)
        path.write_bytes(bytes(raw))
    return path


def _header(member, field, value):
    """Rewrites a field of the member's headers (its offset in the central directory's)."""
    def change(name, info, data):
        return info, data
    change.header = (member, field, value)
    return change


def _manifest_with(**changes):
    def change(name, info, data):
        if name == "arbolet-state.json":
            manifest = json.loads(data)
            manifest.update({k: v for k, v in changes.items() if k != "settings"})
            manifest["settings"].update(changes.get("settings", {}))
            data = json.dumps(manifest).encode()
        return info, data
    return change


def _member(match, rewrite):
    def change(name, info, data):
        return rewrite(info, data) if name.startswith(match) else (info, data)
    return change


@pytest.mark.parametrize("change, message", [
    (_member("detectors/", lambda info, data: (info, bytes(64 << 20))), "more than the"),
    (_member("thresholders/", lambda info, data: (info, b" " * (8 << 20))), "more than the"),
    (_header("detectors/0.bin", 8, 1), "broken state file"),  # encrypted
    (_header("detectors/0.bin", 10, 99), "broken state file"),  # unknown compression
    (_member("arbolet-state.json", lambda info, data: (info, b"[" * 100_000 + b"]" * 100_000)), "nested"),
    (_member("arbolet-state.json", lambda info, data: (info, data.replace(b'"num_trees": 50', b'"num_trees": ' + b"9" * 4400))),
     "broken state file"),
    (_manifest_with(version=True), "version True is not supported"),
    (_manifest_with(settings={"trees": -1}), "setting 'trees'"),
    (_manifest_with(settings={"seed": -5}), "setting 'seed'"),
    (_manifest_with(settings={"capacity": 2**40}), "settings: "),
])
def test_crafted_state_files_end_as_one_line_errors(tmp_path, capsys, change, message):
    path = crafted_state(tmp_path, change)
    (tmp_path / "in.csv").write_text("a\n1\n")
    status, errors = score_in_process(capsys, tmp_path / "in.csv", "--load-state", path)
    assert status == 1 and len(errors) == 1 and message in errors[0], errors


def test_crafted_state_files_with_a_corrupt_stream_end_as_one_line_errors(tmp_path, capsys):
    path = crafted_state(tmp_path, lambda name, info, data: (info, data))
    raw = bytearray(path.read_bytes())
    at = raw.index(b"detectors/0.bin") + len(b"detectors/0.bin")  # the member's compressed data follows its name
    raw[at:at + 8] = b"\xff" * 8
    path.write_bytes(bytes(raw))
    (tmp_path / "in.csv").write_text("a\n1\n")
    status, errors = score_in_process(capsys, tmp_path / "in.csv", "--load-state", path)
    assert status == 1 and len(errors) == 1 and "broken state file" in errors[0], errors


@pytest.mark.parametrize("cell", ["١٢", "1_000", "1\x002"])
def test_only_plain_numbers_are_numbers(tmp_path, capsys, cell):
    (tmp_path / "in.csv").write_text(f"a,b\n1,2\n3,{cell}\n", encoding="utf-8")
    status, errors = score_in_process(capsys, tmp_path / "in.csv", "--on-error", "stop")
    expected = f"arbolet: error: {tmp_path / 'in.csv'}: line 3: column 'b': {cell!r} is not a number"
    assert status == 1 and errors == [expected]


def test_a_wide_header_is_read_in_linear_time():
    import time

    from arbolet._keyed_detectors import Settings
    from arbolet.cli import Table

    header = [f"c{i}" for i in range(40_000)]
    start = time.process_time()
    table = Table(header, Settings(), ["1"] * len(header), 2)
    assert len(table.columns) == len(header) and time.process_time() - start < 5.0


def test_the_replacing_write_leaves_a_file_it_did_not_create(tmp_path):
    from arbolet._keyed_detectors import replacing

    other = tmp_path / f"out.csv.{os.getpid()}.tmp"
    other.write_text("someone else's")
    with pytest.raises(FileExistsError):
        with replacing(str(tmp_path / "out.csv")):
            pass
    assert other.read_text() == "someone else's" and not (tmp_path / "out.csv").exists()
