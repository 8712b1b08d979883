"""One detector per key, all made from one set of settings, and the state file that holds them.

The state file is a ZIP archive (readable with any ZIP tool) of:

- ``arbolet-state.json``: ``{"format": "arbolet-keyed-state", "version": 1, "settings": {...},
  "detectors": [{"key": KEY, "member": NAME, "thresholder": NAME}, ...]}``, the settings as in
  ``Settings`` and one entry per key in the order the keys first appeared (``key`` is ``null``
  without a key column);
- per key, its detector (``detectors/0.bin``, ...: the compact state that its ``to_bytes()`` writes)
  and its thresholder (``thresholders/0.json``, ...: the JSON document that its ``to_json()`` writes).
  A detector member whose name ends in ``.json`` holds the detector's JSON document instead.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import zipfile
import zlib
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, Any

from .arbolet import Forest, MStream, Thresholder

FORMAT = "arbolet-keyed-state"
VERSION = 1
MANIFEST = "arbolet-state.json"


class StateError(Exception):
    """A state file that cannot be read back."""


@dataclasses.dataclass(frozen=True)
class Settings:
    """What every detector of a run is built from, and which columns feed it."""

    mstream: bool = False
    columns: tuple[str, ...] | None = None  # None: chosen from the first data row
    categorical: tuple[str, ...] = ()
    key: str | None = None
    time: str | None = None
    time_unit: int = 1
    trees: int = 50
    capacity: int = 256
    shingle: int = 1
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
        for name, value in data.items():
            check = _SETTING_CHECKS.get(name)
            if check is None:
                raise StateError(f"unknown setting {name!r}")
            if not check(value):
                raise StateError(f"setting {name!r} has a value of the wrong type or range: {value!r}")
            values[name] = tuple(value) if isinstance(value, list) else value
        return cls(**values)


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_names(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(name, str) for name in value)


_SETTING_CHECKS: dict[str, Callable[[Any], bool]] = {
    "mstream": lambda value: isinstance(value, bool),
    "columns": lambda value: value is None or _is_names(value),
    "categorical": _is_names,
    "key": lambda value: value is None or isinstance(value, str),
    "time": lambda value: value is None or isinstance(value, str),
    "time_unit": lambda value: _is_int(value) and value >= 1,
    # As the command line accepts them; the detector's constructor bounds them further.
    "trees": lambda value: _is_int(value) and 1 <= value < 2**64,
    "capacity": lambda value: _is_int(value) and 1 <= value < 2**64,
    "shingle": lambda value: _is_int(value) and 1 <= value < 2**64,
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


def key_seed(seed: int | None, key: str | None) -> int | None:
    """The seed of one key's detector: the run's seed without a key column, else derived from both."""
    if seed is None or key is None:
        return seed
    digest = hashlib.blake2b(f"{seed}\0{key}".encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little")


class KeyedDetectors:
    """The detectors of a run, one per key (a single one, key ``None``, without a key column)."""

    def __init__(self, settings: Settings, detectors: dict[str | None, Forest | MStream] | None = None,
                 thresholders: dict[str | None, Thresholder] | None = None) -> None:
        self.settings = settings
        self.detectors: dict[str | None, Forest | MStream] = detectors or {}
        self.thresholders: dict[str | None, Thresholder] = thresholders or {}

    def output_columns(self) -> list[str]:
        """Names of the cells that ``step`` returns."""
        return ["score", "flag"]

    def step(self, key: str | None, values: list[float], codes: list[int], timestamp: int | None) -> list[str]:
        """Scores one row with its key's detector, then learns it; returns the score and the flag.

        The flag is 1 when the key's thresholder raises an alarm (a grade above 0), else 0. A forest's
        cells stay empty until it is ready; its thresholder is given those scores too and passes over
        them, as ``Thresholder.for_forest`` expects.
        Without a timestamp an MStream's clock advances by one per row of its key. A detector's error
        (``ValueError``) leaves it unchanged.
        """
        detector = self.detectors.get(key)
        if detector is None:
            detector = self.detectors[key] = self._new_detector(key, len(values), len(codes))
            self.thresholders[key] = (Thresholder() if isinstance(detector, MStream)
                                      else Thresholder.for_forest(detector))
        if isinstance(detector, MStream):
            if timestamp is None:
                timestamp = (detector.current_time() or 0) + 1
            score = detector.update_and_score(values, codes, timestamp)
        else:
            ready = detector.is_ready()
            score = detector.score_and_update(values)
            if not ready:
                self.thresholders[key].update(score)
                return ["", ""]
        return [repr(score), "1" if self.thresholders[key].update(score) > 0.0 else "0"]

    def _new_detector(self, key: str | None, numeric_dim: int, categorical_dim: int) -> Forest | MStream:
        s = self.settings
        seed = key_seed(s.seed, key)
        if s.mstream:
            return MStream(numeric_dim, categorical_dim, alpha=s.alpha, seed=seed)
        return Forest(numeric_dim, shingle_size=s.shingle, num_trees=s.trees, capacity=s.capacity, seed=seed)

    def save(self, path: str) -> None:
        """Writes the state file at ``path``, replacing it only once the whole file is written."""
        members = [(f"detectors/{i}.bin", f"thresholders/{i}.json") for i in range(len(self.detectors))]
        entries = [{"key": key, "member": detector, "thresholder": thresholder}
                   for key, (detector, thresholder) in zip(self.detectors, members)]
        manifest = {"format": FORMAT, "version": VERSION, "settings": self.settings.to_dict(), "detectors": entries}
        with _replacing(path) as file, zipfile.ZipFile(file, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive:
            archive.writestr(MANIFEST, json.dumps(manifest, indent=1))
            for key, (detector, thresholder) in zip(self.detectors, members):
                archive.writestr(detector, self.detectors[key].to_bytes())
                archive.writestr(thresholder, self.thresholders[key].to_json())

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
        if not _is_int(version) or version != VERSION:
            raise StateError(f"state file version {version!r} is not supported (only {VERSION})")
        settings = Settings.from_dict(manifest.get("settings"))
        kind = MStream if settings.mstream else Forest
        detectors: dict[str | None, Forest | MStream] = {}
        thresholders: dict[str | None, Thresholder] = {}
        entries = manifest.get("detectors")
        if not isinstance(entries, list):
            raise StateError("'detectors' must be a list")
        if entries and settings.columns is None:
            raise StateError("detectors are saved but their columns are not")
        if entries:  # settings that the detector's constructor refuses fail here, not at the first row
            try:
                cls(settings)._new_detector(None, len(settings.columns or ()), len(settings.categorical))
            except (ValueError, OverflowError, MemoryError) as error:
                raise StateError(f"settings: {error}") from None
        for entry in entries:
            key, member, thresholder = _entry(entry, settings)
            if key in detectors:
                raise StateError(f"key {key!r} appears twice")
            detectors[key] = _read(archive, member, kind, _detector_limit(settings, member.endswith(".json")))
            thresholders[key] = _read(archive, thresholder, Thresholder,
                                      JSON_BYTES_PER_VALUE * THRESHOLDER_VALUES + (1 << 16))
        return cls(settings, detectors, thresholders)


def _detector_limit(settings: Settings, json_form: bool) -> int:
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
    points = settings.trees * settings.capacity + 2 * settings.capacity + 4
    size = 2 * points * (64 * numeric * settings.shingle + 64) + (1 << 16)
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


def _entry(entry: Any, settings: Settings) -> tuple[str | None, str, str]:
    if not isinstance(entry, dict) or not all(isinstance(entry.get(name), str) for name in ("member", "thresholder")):
        raise StateError("each detector entry needs 'member' and 'thresholder' names")
    key = entry.get("key")
    if (key is None) != (settings.key is None) or not (key is None or isinstance(key, str)):
        raise StateError("detector keys do not match the key column setting")
    return key, entry["member"], entry["thresholder"]


@contextmanager
def _replacing(path: str) -> Iterator[IO[bytes]]:
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
