"""One detector per key, all made from one set of settings, and the state file that holds them.

The state file is a ZIP archive (readable with any ZIP tool) of:

- ``arbolet-state.json``: ``{"format": "arbolet-keyed-state", "version": 2, "kind": KIND,
  "seeds": DERIVATION, "settings": {...}, "detectors": [{"key": KEY, "member": NAME,
  "thresholder": NAME}, ...]}``, the settings as in ``Settings`` and one entry per key in the order
  the keys first appeared (``key`` is ``null`` without a key column). ``kind`` says what each key
  holds (see ``KINDS``), ``seeds`` how a key's seed comes from the run's (see ``SEED_DERIVATIONS``).
  Version 1 (written by arbolet 0.3) has neither: its runs are of kind ``forest`` or ``mstream-raw``
  (by the ``mstream`` setting) with ``blake2b-seed-nul-key`` seeds, and keep them when continued
  (``arbolet.keyed`` describes the kinds and derivations);
- per key, its detector (``detectors/0.bin``, ...: the compact state that its ``to_bytes()`` writes)
  and, for kinds with one, its thresholder (``thresholders/0.json``, ...: the JSON document that its
  ``to_json()`` writes; a ``monitor`` entry has no ``thresholder``).
  A detector member whose name ends in ``.json`` holds the detector's JSON document instead.
"""

from __future__ import annotations

import dataclasses
import json
import os
import zipfile
import zlib
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, Any

from . import keyed
from .arbolet import Forest, Monitor, MStream, Thresholder
from .keyed import KINDS, SEED_DERIVATIONS, StateError

FORMAT = "arbolet-keyed-state"
VERSION = 2
VERSIONS = (1, 2)  # the versions that load
MANIFEST = "arbolet-state.json"


@dataclasses.dataclass(frozen=True)
class Settings:
    """What every detector of a run is built from, and which columns feed it."""

    mstream: bool = False
    columns: tuple[str, ...] | None = None  # None: chosen from the first data row
    categorical: tuple[str, ...] = ()
    key: str | None = None
    time: str | None = None
    time_unit: int = 1
    # By the engine's names (state files of arbolet 0.3 say trees and shingle); None: the
    # detector's own default, fixed when the run starts.
    num_trees: int | None = None
    capacity: int | None = None
    shingle_size: int | None = None
    alpha: float = 0.8
    seed: int | None = None

    def to_dict(self) -> dict[str, Any]:
        return {name: list(value) if isinstance(value, tuple) else value
                for name, value in dataclasses.asdict(self).items()}

    @classmethod
    def from_dict(cls, data: Any) -> Settings:
        if not isinstance(data, dict):
            raise StateError("settings must be an object")
        values: dict[str, Any] = {}
        for stored, value in data.items():
            name = _FORMER_NAMES[stored] if stored in _FORMER_NAMES else stored
            check = _SETTING_CHECKS.get(name)
            if check is None:
                raise StateError(f"unknown setting {stored!r}")
            if not check(value):
                raise StateError(f"setting {stored!r} has a value of the wrong type or range: {value!r}")
            values[name] = tuple(value) if isinstance(value, list) else value
        return cls(**values)


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_names(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(name, str) for name in value)


# The names of settings in state files of arbolet 0.3, and the engine's names that replace them.
_FORMER_NAMES: dict[str, str] = {"trees": "num_trees", "shingle": "shingle_size"}

_SETTING_CHECKS: dict[str, Callable[[Any], bool]] = {
    "mstream": lambda value: isinstance(value, bool),
    "columns": lambda value: value is None or _is_names(value),
    "categorical": _is_names,
    "key": lambda value: value is None or isinstance(value, str),
    "time": lambda value: value is None or isinstance(value, str),
    "time_unit": lambda value: _is_int(value) and value >= 1,
    # As the command line accepts them (None: the detector's default, in a run not yet started); the
    # detector's constructor bounds them further.
    "num_trees": lambda value: value is None or (_is_int(value) and 1 <= value < 2**64),
    "capacity": lambda value: value is None or (_is_int(value) and 1 <= value < 2**64),
    "shingle_size": lambda value: value is None or (_is_int(value) and 1 <= value < 2**64),
    "alpha": lambda value: (_is_int(value) or isinstance(value, float)) and 0.0 < value < 1.0,
    "seed": lambda value: value is None or (_is_int(value) and 0 <= value < 2**64),
}

# The manifest is at most this large, and this much more per member of the
# archive (each key, a cell of the CSV input, has two members and at most
# the csv module's 128 KiB).
MANIFEST_BASE = 1 << 20
MANIFEST_PER_MEMBER = (1 << 17) + 1024
# Bytes a value may take in a thresholder's JSON document, and the values that
# the command's thresholders (default settings) hold at most.
JSON_BYTES_PER_VALUE = 64
THRESHOLDER_VALUES = 3000 + 2 * 64
# Read from a member at a time.
CHUNK = 1 << 20
# A detector member of a runner saved from Python, whose dimensions the manifest does not say.
RUNNER_MEMBER_LIMIT = 1 << 31


def _engine_settings(settings: Settings) -> dict[str, Any]:
    """The run's detector settings by the engine's names."""
    if settings.mstream:
        return {"alpha": settings.alpha}
    return {"num_trees": settings.num_trees, "capacity": settings.capacity, "shingle_size": settings.shingle_size}


class KeyedDetectors:
    """The detectors of a run, one per key (a single one, key ``None``, without a key column)."""

    def __init__(self, settings: Settings, detectors: dict[Any, Forest | MStream | Monitor] | None = None,
                 thresholders: dict[Any, Thresholder] | None = None, kind: str | None = None,
                 seeds: str = "key_seed") -> None:
        self.settings = settings
        kind = kind or ("mstream" if settings.mstream else "monitor")
        self.runner = keyed.KeyedDetectors(kind, settings.seed, seeds=seeds, **_engine_settings(settings))
        self.runner.detectors.update(detectors or {})
        self.runner.thresholders.update(thresholders or {})

    @property
    def kind(self) -> str:
        return self.runner.kind

    @property
    def seeds(self) -> str:
        return self.runner.seeds

    @property
    def detectors(self) -> dict[Any, Forest | MStream | Monitor]:
        return self.runner.detectors

    @property
    def thresholders(self) -> dict[Any, Thresholder]:
        return self.runner.thresholders

    def output_columns(self) -> list[str]:
        """Names of the cells that ``step`` returns; the flag is the last."""
        return ["score", "flag"] if self.kind in ("forest", "mstream-raw") else ["score", "grade", "flag"]

    def step(self, key: str | None, values: list[float], codes: list[int], timestamp: int | None) -> list[str]:
        """Scores one row with its key's detector, then learns it; returns its output cells.

        The flag is 1 when the row is an alarm, else 0. A ``forest`` key's cells stay empty until it
        is ready. Runs of arbolet 0.3 keep their columns: no grade. A detector's error
        (``ValueError``) leaves it unchanged.
        """
        outcome = self.runner.step(key, values, codes, timestamp)
        if outcome.score is None:
            return [""] * len(self.output_columns())
        flag = "1" if outcome.alarm else "0"
        if self.kind in ("forest", "mstream-raw"):
            return [repr(outcome.score), flag]
        return [repr(outcome.score), repr(outcome.grade), flag]

    def save(self, path: str) -> None:
        """Writes the state file at ``path``, replacing it only once the whole file is written."""
        write_state(path, self.runner, {"settings": self.settings.to_dict()})

    @classmethod
    def load(cls, path: str) -> KeyedDetectors:
        """Reads a state file written by ``save``; raises ``StateError`` (or ``OSError``) if it cannot.

        Every member is read in chunks and refused once it is larger than a detector of the
        manifest's settings can need, so that a small crafted file cannot take large memory.
        """
        try:
            with zipfile.ZipFile(path) as archive:
                return cls._from_archive(archive)
        except (zipfile.BadZipFile, zipfile.LargeZipFile, KeyError, UnicodeDecodeError, json.JSONDecodeError,
                zlib.error, EOFError, NotImplementedError) as error:
            raise StateError(f"broken state file ({error})") from None
        except RecursionError:
            raise StateError("broken state file (nested too deeply)") from None
        except MemoryError:
            raise StateError("not enough memory to read the state file") from None
        except RuntimeError as error:  # an encrypted member
            raise StateError(f"broken state file ({error})") from None
        except ValueError as error:  # a number beyond the interpreter's digit limit
            raise StateError(f"broken state file ({error})") from None

    @classmethod
    def _from_archive(cls, archive: zipfile.ZipFile) -> KeyedDetectors:
        limit = MANIFEST_BASE + MANIFEST_PER_MEMBER * len(archive.infolist())
        manifest = json.loads(_read_member(archive, MANIFEST, limit))
        if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
            raise StateError("not an arbolet state file")
        version = manifest.get("version")
        if not _is_int(version) or version not in VERSIONS:
            raise StateError(f"state file version {version!r} is not supported "
                             f"(only {', '.join(map(str, VERSIONS))})")
        settings = Settings.from_dict(manifest.get("settings"))
        run_kind, seeds = _run_kind(manifest, settings)
        kind = {"monitor": Monitor, "forest": Forest}.get(run_kind, MStream)
        runs = cls(settings, kind=run_kind, seeds=seeds)
        entries = manifest.get("detectors")
        if not isinstance(entries, list):
            raise StateError("'detectors' must be a list")
        if entries and settings.columns is None:
            raise StateError("detectors are saved but their columns are not")
        if entries:  # settings that the detector's constructor refuses fail here, not at the first row
            try:
                runs.runner.new_detector(None, len(settings.columns or ()), len(settings.categorical))
            except (ValueError, OverflowError, MemoryError) as error:
                raise StateError(f"settings: {error}") from None
        for entry in entries:
            key, member, thresholder = _entry(entry, settings, run_kind != "monitor")
            if key in runs.detectors:
                raise StateError(f"key {key!r} appears twice")
            runs.detectors[key] = _read(archive, member, kind,
                                        _detector_limit(settings, run_kind, member.endswith(".json")))
            if thresholder is not None:
                runs.thresholders[key] = _read(archive, thresholder, Thresholder,
                                               JSON_BYTES_PER_VALUE * THRESHOLDER_VALUES + (1 << 16))
        return runs

def write_state(path: str, runner: keyed.KeyedDetectors, header: dict[str, Any]) -> None:
    """Writes ``runner``'s detectors as a state file at ``path``, its manifest holding ``header`` too.

    The command line's header is its ``settings``; a runner saved from Python records its own seed and
    detector settings instead (``seed``, ``detector_settings``).
    """
    members = [(f"detectors/{i}.bin", f"thresholders/{i}.json") for i in range(len(runner.detectors))]
    for key in runner.detectors:
        if not (key is None or isinstance(key, str) or _is_int(key)):
            raise TypeError(f"only str, int and None keys can be saved, not {type(key).__name__}")
    entries = [{"key": key, "member": detector,
                **({"thresholder": thresholder} if key in runner.thresholders else {})}
               for key, (detector, thresholder) in zip(runner.detectors, members)]
    manifest = {"format": FORMAT, "version": VERSION, "kind": runner.kind, "seeds": runner.seeds, **header,
                "detectors": entries}
    with replacing(path) as file, zipfile.ZipFile(file, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
        archive.writestr(MANIFEST, json.dumps(manifest, indent=1))
        for key, (detector, thresholder) in zip(runner.detectors, members):
            archive.writestr(detector, runner.detectors[key].to_bytes())
            if key in runner.thresholders:
                archive.writestr(thresholder, runner.thresholders[key].to_json())


def read_runner(path: str) -> keyed.KeyedDetectors:
    """The detectors of a state file, written by the command line or by ``KeyedDetectors.save``."""
    try:
        with zipfile.ZipFile(path) as archive:
            limit = MANIFEST_BASE + MANIFEST_PER_MEMBER * len(archive.infolist())
            manifest = json.loads(_read_member(archive, MANIFEST, limit))
    except (zipfile.BadZipFile, KeyError, UnicodeDecodeError, json.JSONDecodeError, zlib.error, EOFError,
            NotImplementedError, RuntimeError, ValueError, RecursionError) as error:
        raise StateError(f"broken state file ({error})") from None
    if isinstance(manifest, dict) and "settings" in manifest:  # the command line's
        return KeyedDetectors.load(path).runner
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT or manifest.get("version") != VERSION:
        raise StateError("not an arbolet state file of a supported version")
    kind, seeds, seed, settings = (manifest.get(name) for name in ("kind", "seeds", "seed", "detector_settings"))
    if (kind not in KINDS or seeds not in SEED_DERIVATIONS or not (seed is None or _is_int(seed))
            or not isinstance(settings, dict)):
        raise StateError("'kind', 'seeds', 'seed' or 'detector_settings' is missing or wrong")
    try:
        runner = keyed.KeyedDetectors(kind, seed, seeds=seeds, **settings)
    except (TypeError, ValueError) as error:
        raise StateError(f"detector settings: {error}") from None
    cls = {"monitor": Monitor, "forest": Forest}.get(kind, MStream)
    entries = manifest.get("detectors")
    if not isinstance(entries, list):
        raise StateError("'detectors' must be a list")
    try:
        with zipfile.ZipFile(path) as archive:
            for entry in entries:
                key = entry.get("key") if isinstance(entry, dict) else None
                member, thresholder = (entry.get(name) if isinstance(entry, dict) else None
                                       for name in ("member", "thresholder"))
                if not (key is None or isinstance(key, str) or _is_int(key)) or not isinstance(member, str):
                    raise StateError("each detector entry needs a str, int or null 'key' and a 'member' name")
                if key in runner.detectors:
                    raise StateError(f"key {key!r} appears twice")
                if (thresholder is None) != (kind == "monitor"):
                    raise StateError(f"entry of key {key!r}: kind {kind!r} "
                                     f"{'has no' if kind == 'monitor' else 'needs a'} thresholder")
                # The dimensions are not recorded: a member is bounded, and read in chunks, but loosely.
                runner.detectors[key] = _read(archive, member, cls, RUNNER_MEMBER_LIMIT)
                if thresholder is not None:
                    runner.thresholders[key] = _read(archive, thresholder, Thresholder,
                                                     JSON_BYTES_PER_VALUE * THRESHOLDER_VALUES + (1 << 16))
    except (zipfile.BadZipFile, KeyError, UnicodeDecodeError, json.JSONDecodeError, zlib.error, EOFError,
            NotImplementedError, RecursionError) as error:
        raise StateError(f"broken state file ({error})") from None
    return runner


def _detector_limit(settings: Settings, kind: str, json_form: bool) -> int:
    """Bytes that the state of one detector of these settings can take at most."""
    numeric = len(settings.columns or ())
    if settings.mstream:
        # An MStream's tables have fixed shapes; its fresh document writes
        # each value in two bytes or more, while a value takes at most 9
        # bytes in the compact form and 32 in a document.
        size = len(MStream(numeric, len(settings.categorical)).to_json())
        return (16 if json_form else 8) * size + (1 << 16)
    # Per point (a row of the point store, which grows to twice the rows its
    # trees can hold, a sampler entry and two tree nodes with their box
    # exceptions): at most 64 bytes per coordinate and 64 more.
    trees, capacity, shingle = settings.num_trees or 0, settings.capacity or 0, settings.shingle_size or 0
    points = trees * capacity + 2 * capacity + 4
    size = 2 * points * (64 * numeric * shingle + 64) + (1 << 16)
    if kind == "monitor":
        # A second forest of shingle 1, two thresholders, and per coordinate
        # the range windows (two queues of range_window entries each, for the
        # values and their seasonal changes) and a day of history (at most a
        # step a second).
        size += 2 * points * (64 * numeric + 64) + 2 * JSON_BYTES_PER_VALUE * 8 * capacity
        size += numeric * (4 * 3000 * 2 * JSON_BYTES_PER_VALUE + 86400 * JSON_BYTES_PER_VALUE)
    return size * (8 if json_form else 1)


def _read_member(archive: zipfile.ZipFile, member: str, limit: int) -> bytes:
    """The member's bytes, refused once they pass ``limit``, whatever its header declares."""
    info = archive.getinfo(member)
    if info.file_size > limit:
        raise StateError(f"{member}: {info.file_size} bytes, more than the {limit} that it can need")
    parts, size = [], 0
    with archive.open(info) as stream:
        while chunk := stream.read(CHUNK):
            size += len(chunk)
            if size > limit:
                raise StateError(f"{member}: more than the {limit} bytes that it can need")
            parts.append(chunk)
    return b"".join(parts)


def _read(archive: zipfile.ZipFile, member: str, kind: Any, limit: int) -> Any:
    data = _read_member(archive, member, limit)
    try:
        if member.endswith(".json"):
            return kind.from_json(data)
        return kind.from_bytes(data)
    except (RuntimeError, ValueError) as error:
        raise StateError(f"{member}: {error}") from None


def _entry(entry: Any, settings: Settings, with_thresholder: bool = True) -> tuple[str | None, str, str | None]:
    names = ("member", "thresholder") if with_thresholder else ("member",)
    if not isinstance(entry, dict) or not all(isinstance(entry.get(name), str) for name in names):
        raise StateError(f"each detector entry needs {' and '.join(map(repr, names))} names")
    key = entry.get("key")
    if (key is None) != (settings.key is None) or not (key is None or isinstance(key, str)):
        raise StateError("detector keys do not match the key column setting")
    return key, entry["member"], entry.get("thresholder") if with_thresholder else None


def _run_kind(manifest: dict[str, Any], settings: Settings) -> tuple[str, str]:
    """What the run's keys hold and how their seeds are derived: recorded from version 2 on."""
    if manifest["version"] == 1:
        return ("mstream-raw" if settings.mstream else "forest"), "blake2b-seed-nul-key"
    kind, seeds = manifest.get("kind"), manifest.get("seeds")
    if kind not in KINDS or seeds not in SEED_DERIVATIONS:
        raise StateError(f"unknown detector kind {kind!r} or seed derivation {seeds!r}")
    if (kind in ("mstream", "mstream-raw")) != settings.mstream:
        raise StateError(f"detector kind {kind!r} does not match the mstream setting")
    if not settings.mstream and None in (settings.num_trees, settings.capacity, settings.shingle_size):
        raise StateError("a forest or monitor run needs its num_trees, capacity and shingle_size settings")
    return kind, seeds


@contextmanager
def replacing(path: str) -> Iterator[IO[bytes]]:
    """A file written beside ``path`` that replaces it on success and disappears on failure."""
    temporary = f"{path}.{os.getpid()}.tmp"
    # Opened before the clean-up applies: a file of that name that is not
    # ours (the exclusive open fails) is left alone.
    file = open(temporary, "xb")
    try:
        with file:
            yield file
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
