"""Coverage-guided fuzzing of the state readers: from_json and from_bytes of
Forest, MStream and Thresholder (the class bit, or the thresholder bit that
overrides it).

An input is one byte choosing the class and the mode, then either the raw
document text (mode "raw": libFuzzer mutates the bytes of real documents) or
a stream of choices that edit one of the seed documents as a JSON value
(mode "edit": numbers swapped for boundary values, fields dropped or
retyped, lists cut or grown), which reaches the consistency checks behind
the parser far more often than byte flips do. With the binary bit set the
rest is a compact binary state instead, taken as it is or, with the reframe
bit, with its header's length and checksum made to match the mutated
payload, so that mutations reach the payload decoder rather than stopping
at the checksum.

Loading may only give a detector or a RuntimeError/ValueError. Every
detector that loads is then driven through every method, where only clean
exceptions may come out (PanicException included), and must then save and
load again through the bytes, the document and pickle, to the same
document: a reader accepts only what the detector's own operations could
have produced. Anything else is a finding: the input is kept by
libFuzzer as crash-<hash> and belongs in tests/fuzz_regressions/.

    python fuzz/fuzz_documents.py --seconds 60 [--corpus DIR] [libFuzzer flags]
    python fuzz/fuzz_documents.py crash-file ...     (replays inputs)

With an ordinary build libFuzzer is guided by the outcomes it observes
(which error, which result). For guidance from inside the C++ code, build
the module with clang and coverage instrumentation and put it first on
PYTHONPATH:

    scripts/dev-build.sh build/fuzz -DCMAKE_CXX_COMPILER=clang++ \
        "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -w"
    PYTHONPATH=build/fuzz python fuzz/fuzz_documents.py --seconds 1800 --corpus DIR

(DIR seeded by an ordinary run first). The sanitizer build cannot share
coverage with the engine (its runtime takes over the hooks); fuzz it with
--blind over a corpus that a guided run grows.
"""

import argparse
import copy
import json
import math
import os
import pickle
import struct
import sys
import tempfile
import zlib


try:
    import arbolet
except ImportError as e:
    # A module built with native coverage resolves its coverage hooks
    # against the fuzzing engine, which atheris loads privately when fuzzing
    # starts; such a module is imported by _late_import, once it can be.
    if "__sancov" not in str(e) and "__sanitizer_cov" not in str(e):
        raise
    arbolet = None


def _late_import():
    global arbolet
    import ctypes

    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "atheris" in path and "core_with_libfuzzer" in path:
                ctypes.CDLL(path, mode=os.RTLD_GLOBAL | os.RTLD_NOLOAD)
                break
    import arbolet as module

    arbolet = module

FOREST, MSTREAM, THRESHOLDER = 0, 1, 2
RAW, EDIT = 0, 1
BINARY, REFRAME, THRESHOLD_STATE = 4, 8, 16  # THRESHOLD_STATE overrides the kind bit
HEADER = 20  # magic, version, kind, two zero bytes, payload length, CRC-32C


def _crc32c_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_CRC_TABLE = _crc32c_table()


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ _CRC_TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


def reframe(state):
    """A binary state whose header's length and checksum match its payload
    (whatever was done to the payload)."""
    state = bytes(state)
    if len(state) < HEADER:
        return state
    payload = state[HEADER:]
    return state[:8] + struct.pack("<QI", len(payload), crc32c(payload)) + payload
# Queries longer than this are not built: a loaded document may claim any
# dimension, and the interesting faults do not need large points.
MAX_QUERY = 512

U64_MAX = 2**64 - 1
BOUNDARY_INTS = [0, 1, 2, 3, 4, 7, 8, 15, 16, 255, 256, 1023, 1024, 2**31 - 1, 2**31, 2**32, 2**53, 2**63 - 1,
                 2**63, U64_MAX - 1, U64_MAX, -1, -(2**63)]
BOUNDARY_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-45, 1e-300, 5e-324, 3.4028235e38, 3.5e38, 1e308, -1e308, 0.125,
                   1.0000001, 1e39, 1e-5]


def _make_signal(buckets=256):
    """A function with one branch per bucket: with the function instrumented,
    each distinct outcome (an error message, a method's result kind) becomes
    its own coverage feature, which is the only feedback libFuzzer gets from
    inside the uninstrumented native module."""
    body = "\n".join(f"    {'if' if b == 0 else 'elif'} b == {b}:\n        return {b}" for b in range(buckets))
    scope = {"__name__": __name__}
    exec(f"def signal(b):\n{body}\n    return -1\n", scope)
    return scope["signal"]


signal = _make_signal()


def note(outcome):
    text = str(outcome)
    cut = text.find(" at line ")
    signal(zlib.crc32((text[:cut] if cut >= 0 else text)[:200].encode()) & 255)


def is_panic(e):
    return type(e).__name__ == "PanicException" and not isinstance(e, Exception)


class Finding(AssertionError):
    pass


# ------------------------------------------------------------------ seeds

def seed_detectors():
    """Small detectors in the states a document can be written from."""
    out = []
    for kwargs, n in [
        (dict(input_dim=2, num_trees=2, capacity=4), 0),
        (dict(input_dim=2, num_trees=2, capacity=4), 3),
        (dict(input_dim=1, num_trees=3, capacity=8, time_decay=0.01), 40),
        (dict(input_dim=2, shingle_size=3, num_trees=2, capacity=6), 20),
        (dict(input_dim=2, shingle_size=2, num_trees=2, capacity=4, internal_shingling=False), 12),
        (dict(input_dim=3, num_trees=1, capacity=2, output_after=1), 9),
    ]:
        f = arbolet.Forest(seed=7, **kwargs)
        d = f.num_trees() and (kwargs["input_dim"] * (1 if kwargs.get("internal_shingling", True)
                                                      else kwargs.get("shingle_size", 1)))
        for i in range(n):
            f.update([math.sin(i * 0.7 + j) * (i % 5) for j in range(d)])
        out.append((FOREST, f))
    for args, kwargs, n in [
        ((1, 0), dict(num_rows=1, num_buckets=4), 0),
        ((2, 1), dict(num_rows=2, num_buckets=8), 5),
        ((0, 2), dict(num_rows=2, num_buckets=4, alpha=0.5), 4),
        ((3, 0), dict(num_rows=1, num_buckets=2), 3),
    ]:
        m = arbolet.MStream(*args, seed=3, **kwargs)
        for i in range(n):
            m.update([float(i % 3 + j) for j in range(args[0])], [i % 2 + j for j in range(args[1])], 1 + i // 2)
        out.append((MSTREAM, m))
    forest = arbolet.Forest(1, shingle_size=4, num_trees=3, capacity=8, seed=5)
    for kwargs, source, n in [
        (dict(), None, 0),
        (dict(horizon=20, warm_up=5, mean_window=4), None, 30),
        (dict(horizon=3, warm_up=0, mean_window=1, suppression=0, peak_window=1), None, 12),
        (dict(), forest, 60),
    ]:
        t = arbolet.Thresholder.for_forest(source, **kwargs) if source else arbolet.Thresholder(**kwargs)
        for i in range(n):
            t.update(9.0 if i % 17 == 16 else 1.0 + (i % 5) * 0.25)
        out.append((THRESHOLDER, t))
    return out


def kind_of(first_byte):
    return THRESHOLDER if first_byte & THRESHOLD_STATE else first_byte & 1


def flag_of(kind):
    return THRESHOLD_STATE if kind == THRESHOLDER else kind


def class_of(kind):
    return (arbolet.Forest, arbolet.MStream, arbolet.Thresholder)[kind]


def seed_documents():
    return [(kind, d.to_json()) for kind, d in seed_detectors()]


def seed_inputs():
    """Seeds in the input format: raw documents, edit streams and binary
    states (as they are, and to be reframed)."""
    inputs = []
    for i, (kind, doc) in enumerate(seed_documents()):
        inputs.append(bytes([flag_of(kind) | RAW << 1]) + doc.encode())
        inputs.append(bytes([flag_of(kind) | EDIT << 1, i]) + bytes(range(i, i + 24)))
    for kind, d in seed_detectors():
        inputs.append(bytes([flag_of(kind) | BINARY]) + d.to_bytes())
        inputs.append(bytes([flag_of(kind) | BINARY | REFRAME]) + d.to_bytes())
    return inputs


# ------------------------------------------------------------ edit mode

class Choices:
    """Reads small decisions from the fuzzer's bytes; 0 once exhausted."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def below(self, n):
        if n <= 1:
            return 0
        v = self.byte()
        if n > 256:
            v = v << 8 | self.byte()
        return v % n

    def left(self):
        return self.pos < len(self.data)


def containers(value, path=()):
    """Every (path, container) pair below `value`, including itself."""
    found = [(path, value)]
    if isinstance(value, dict):
        for k, v in value.items():
            if isinstance(v, (dict, list)):
                found.extend(containers(v, path + (k,)))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            if isinstance(v, (dict, list)):
                found.extend(containers(v, path + (i,)))
    return found


def replacement(ch, old, doc):
    kind = ch.below(9)
    if kind == 0:
        return BOUNDARY_INTS[ch.below(len(BOUNDARY_INTS))]
    if kind == 1:
        return BOUNDARY_FLOATS[ch.below(len(BOUNDARY_FLOATS))]
    if kind == 2 and isinstance(old, int) and not isinstance(old, bool):
        return old + ch.below(5) - 2
    if kind == 3:
        return [None, True, False, "x", [], {}][ch.below(6)]
    if kind == 4 and isinstance(old, float) and abs(old) < 3e38:
        return struct.unpack("<f", struct.pack("<f", old))[0] * (1 + ch.below(3))
    if kind == 5:
        # A value of the same document from somewhere else.
        pool = containers(doc)
        _, c = pool[ch.below(len(pool))]
        items = list(c.values()) if isinstance(c, dict) else c
        return copy.deepcopy(items[ch.below(len(items))]) if items else old
    if kind == 6 and isinstance(old, int) and not isinstance(old, bool):
        return old ^ (1 << ch.below(64))
    return old


def edit(doc, ch):
    for _ in range(1 + ch.below(8)):
        if not ch.left():
            break
        pool = containers(doc)
        _, target = pool[ch.below(len(pool))]
        op = ch.below(6)
        if isinstance(target, dict) and target:
            keys = list(target)
            key = keys[ch.below(len(keys))]
            if op == 0:
                del target[key]
            else:
                target[key] = replacement(ch, target[key], doc)
        elif isinstance(target, list) and target:
            i = ch.below(len(target))
            if op == 0:
                del target[i]
            elif op == 1:
                target.insert(i, copy.deepcopy(target[ch.below(len(target))]))
            elif op == 2:
                del target[i:]
            else:
                target[i] = replacement(ch, target[i], doc)
    return doc


_SEEDS = None


def document_of(data):
    """(kind, document bytes) for one fuzz input, or None."""
    global _SEEDS
    if not data:
        return None
    kind, mode = kind_of(data[0]), (data[0] >> 1) & 1
    if mode == RAW:
        return kind, data[1:]
    if _SEEDS is None:
        _SEEDS = seed_documents()
    same = [json.loads(d) for k, d in _SEEDS if k == kind]
    ch = Choices(data[1:])
    doc = same[ch.below(len(same))]
    return kind, json.dumps(edit(doc, ch), separators=(",", ":")).encode()


# ------------------------------------------------------------ the oracle

def clean(call, *args, **kwargs):
    """Runs one method on a loaded detector: a result, or a clean exception."""
    name = getattr(call, "__name__", "?")
    try:
        result = call(*args, **kwargs)
        note(name + type(result).__name__)
        return result
    except (ValueError, RuntimeError, MemoryError) as e:
        note(f"{name} {type(e).__name__} {e}")
        return None
    except BaseException as e:
        if is_panic(e):
            note(f"{name} panic {e}")
            return None
        raise Finding(f"{getattr(call, '__name__', call)} raised {type(e).__name__}: {e}") from e


def points(n, count):
    base = [0.0, 1.0, -1.0, 0.5, 1e30, -3.0, 2.0, float("nan")]
    return [[base[(i + j) % len(base)] for j in range(n)] for i in range(count)]


def drive_forest(f):
    cfg = json.loads(clean(f.to_json) or "{}").get("config", {})
    input_dim = cfg.get("input_dim", 1) if isinstance(cfg, dict) else 1
    shingle = cfg.get("shingle_size", 1) if isinstance(cfg, dict) else 1
    internal = cfg.get("internal_shingling", True) if isinstance(cfg, dict) else True
    full = input_dim * shingle if isinstance(input_dim, int) and isinstance(shingle, int) else 1
    q_len = full if 0 < full <= MAX_QUERY else 1
    u_len = (input_dim if internal else full) if isinstance(input_dim, int) else 1
    u_len = u_len if 0 < u_len <= MAX_QUERY else 1
    for name in ("is_ready", "entries_seen", "num_trees", "__getnewargs__", "__copy__"):
        clean(getattr(f, name))
    clean(repr, f)
    for q in points(q_len, 3):
        clean(f.score, q)
        clean(f.displacement_score, q)
        clean(f.attribution, q)
        clean(f.density, q)
        clean(f.near_neighbors, q, top_k=3)
        clean(f.impute, q, [0, q_len - 1], centrality=0.5)
        clean(f.impute, q, [0])
    for k in (0, 1, 2, shingle if isinstance(shingle, int) else 1):
        clean(f.extrapolate, k)
    for p in points(u_len, 4):
        clean(f.update, p)
    for q in points(q_len, 1):
        clean(f.score, q)
        clean(f.near_neighbors, q)
        clean(f.impute, q, [0])
    round_trip(arbolet.Forest, f, small=isinstance(input_dim, int) and input_dim <= MAX_QUERY)


def drive_mstream(m):
    cfg = json.loads(clean(m.to_json) or "{}").get("config", {})
    nd = cfg.get("numeric_dim", 0) if isinstance(cfg, dict) else 0
    cd = cfg.get("categorical_dim", 0) if isinstance(cfg, dict) else 0
    small = all(isinstance(v, int) and 0 <= v <= MAX_QUERY for v in (nd, cd))
    nd = nd if isinstance(nd, int) and 0 <= nd <= MAX_QUERY else 1
    cd = cd if isinstance(cd, int) and 0 <= cd <= MAX_QUERY else 1
    for name in ("is_ready", "entries_seen", "current_time", "__getnewargs__", "__copy__"):
        clean(getattr(m, name))
    clean(repr, m)
    now = clean(m.current_time)
    t = now if isinstance(now, int) and now < U64_MAX - 10 else 1
    for i, numeric in enumerate(points(nd, 3)):
        numeric = [v if math.isfinite(v) else 0.25 for v in numeric]
        codes = [i - j for j in range(cd)]
        clean(m.score, numeric, codes, t + i)
        clean(m.score_detailed, numeric, codes, t + i)
        clean(m.update, numeric, codes, t + i)
        clean(m.update_and_score, numeric, codes, t + i + 1)
        clean(m.update_and_score_detailed, numeric, codes, t + i + 1)
    round_trip(arbolet.MStream, m, small)


def drive_thresholder(t):
    for name in ("is_ready", "__getnewargs__", "__copy__"):
        clean(getattr(t, name))
    for name in ("threshold", "steps_since_alarm", "horizon", "warm_up", "quantile", "sigmas", "mean_window",
                 "min_spread", "min_score", "suppression", "peak_window", "margin"):
        clean(getattr, t, name)
    clean(repr, t)
    for score in [0.0, 1.0, 2.5, -1.0, 1e300, 5e-324, -0.0, math.inf, -math.inf, math.nan, 40.0, 1.5] * 3:
        clean(t.update, score)
    round_trip(arbolet.Thresholder, t, True)


def round_trip(cls, detector, small):
    """Whatever loaded, and was then driven, saves and loads again in every form."""
    doc = clean(detector.to_json)
    if doc is None:
        return
    forms = [("bytes", lambda: cls.from_bytes(detector.to_bytes())), ("document", lambda: cls.from_json(doc))]
    if small:
        forms.append(("pickle", lambda: pickle.loads(pickle.dumps(detector))))
    for form, reload in forms:
        try:
            again = reload()
        except BaseException as e:
            raise Finding(f"reloading the written {form} raised {type(e).__name__}: {e}") from e
        if again.to_json() != doc:
            raise Finding(f"the written {form} does not read back to the same document")


def check_one(data):
    """The whole oracle for one input; raises Finding on a fault."""
    if arbolet is None:
        _late_import()
    if data and data[0] & BINARY:
        kind = kind_of(data[0])
        state = reframe(data[1:]) if data[0] & REFRAME else data[1:]
        load = class_of(kind).from_bytes
    else:
        made = document_of(data)
        if made is None:
            return
        kind, state = made
        load = class_of(kind).from_json
    # The binary reader refuses a configuration larger than memory as the
    # constructor does, with MemoryError.
    refusals = (ValueError, RuntimeError, MemoryError) if data[0] & BINARY else (ValueError, RuntimeError)
    try:
        detector = load(state)
    except refusals as e:
        note(e)
        return
    except BaseException as e:
        raise Finding(f"{load.__qualname__} raised {type(e).__name__}: {e}") from e
    if kind == FOREST:
        drive_forest(detector)
    elif kind == MSTREAM:
        drive_mstream(detector)
    else:
        drive_thresholder(detector)


# ---------------------------------------------------------------- driver

def mutate(data, rng):
    """A few byte-level mutations of the kinds libFuzzer uses, plus
    truncations and inflated counts (a byte replaced by a long
    variable-length integer, up to 2^64 - 1)."""
    data = bytearray(data)
    for _ in range(1 + rng.randrange(4)):
        op = rng.randrange(8)
        pos = rng.randrange(len(data) + 1)
        if op == 0 and data:
            data[min(pos, len(data) - 1)] ^= 1 << rng.randrange(8)
        elif op == 1:
            data[pos:pos] = bytes(rng.randrange(256) for _ in range(1 + rng.randrange(8)))
        elif op == 2 and data:
            del data[pos:pos + 1 + rng.randrange(16)]
        elif op == 3 and len(data) > 1:
            start = rng.randrange(len(data))
            data[pos:pos] = data[start:start + 1 + rng.randrange(32)]
        elif op == 4 and data:
            data[min(pos, len(data) - 1)] = rng.choice(b'0123456789-.,:[]{}"eE ')
        elif op == 5 and data:
            data[min(pos, len(data) - 1)] = rng.randrange(256)
        elif op == 6:
            del data[pos:]
        elif op == 7 and data:
            data[pos:pos + 1] = b"\xff" * rng.randrange(1, 9) + bytes([rng.randrange(1, 128)])
    return bytes(data)


def blind(corpus, seconds, artifacts):
    """Mutation loop without coverage feedback over a corpus that a
    coverage-guided run keeps growing (rescanned every 30 s). This is how
    the sanitizer build is fuzzed: its runtime, preloaded ahead of the
    fuzzing engine, takes over the coverage hooks, so libFuzzer would see no
    coverage and throw its corpus away. The input being run is always in
    artifacts/current, so an input that kills the process is kept."""
    import hashlib
    import random
    import time

    rng = random.Random()
    os.makedirs(artifacts, exist_ok=True)
    current = os.path.join(artifacts, "current")
    start = last_scan = time.monotonic()
    pool, runs = [], 0

    def scan():
        found = []
        for name in os.listdir(corpus):
            try:
                with open(os.path.join(corpus, name), "rb") as fh:
                    found.append(fh.read())
            except FileNotFoundError:
                pass  # the guided run replaced it with a smaller input meanwhile
        return found or seed_inputs()

    pool = scan()
    while time.monotonic() - start < seconds:
        if time.monotonic() - last_scan > 30:
            pool, last_scan = scan(), time.monotonic()
            print(f"blind: {runs} inputs in {last_scan - start:.0f} s, corpus {len(pool)}", flush=True)
        data = mutate(rng.choice(pool), rng) if rng.randrange(8) else rng.choice(pool)
        with open(current, "wb") as fh:
            fh.write(data)
        try:
            check_one(data)
        except Finding:
            path = os.path.join(artifacts, "crash-" + hashlib.sha1(data).hexdigest())
            with open(path, "wb") as fh:
                fh.write(data)
            raise
        runs += 1
    print(f"blind: {runs} inputs in {time.monotonic() - start:.0f} s, corpus {len(pool)}, no finding")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=0, help="stop after this many seconds (0: run until a finding)")
    parser.add_argument("--corpus", help="corpus directory (default: a fresh temporary one, seeded)")
    parser.add_argument("--blind", metavar="ARTIFACTS",
                        help="mutate --corpus without coverage feedback (for the sanitizer build); "
                             "keep the running input and findings in ARTIFACTS")
    args, rest = parser.parse_known_args(argv[1:])
    if args.blind:
        blind(args.corpus or tempfile.mkdtemp(), args.seconds or 60, args.blind)
        return

    import atheris  # only the driver needs it; the regression tests import this module without it

    replay = [a for a in rest if not a.startswith("-")]
    flags = [a for a in rest if a.startswith("-")]
    if not replay:
        if arbolet is None and not args.corpus:
            parser.error("a natively instrumented build needs --corpus (seed it with an ordinary run)")
        corpus = args.corpus or tempfile.mkdtemp(prefix="arbolet-fuzz-")
        os.makedirs(corpus, exist_ok=True)
        for i, seed in enumerate(seed_inputs() if arbolet is not None else []):
            with open(os.path.join(corpus, f"seed-{i:02d}"), "wb") as fh:
                fh.write(seed)
        replay = [corpus]
        if args.seconds:
            flags.append(f"-max_total_time={args.seconds}")
        flags += ["-timeout=60", "-rss_limit_mb=6144", "-max_len=65536", "-print_final_stats=1"]
    for name, fn in list(globals().items()):
        if callable(fn) and getattr(fn, "__module__", None) == __name__ and hasattr(fn, "__code__"):
            globals()[name] = atheris.instrument_func(fn)
    atheris.Setup([argv[0]] + flags + replay, check_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
