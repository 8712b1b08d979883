"""Many keyed streams (one per host, sensor or account), each with its own detector.

``KeyedDetectors`` keeps one detector per key, made from one set of settings when the key first
appears, and answers each row's score, grade and alarm; the command line and the Spark functions
run their keys through it. ``key_seed`` gives each key's detector its own seed, the same in every
process, so that a key's results never depend on which other keys exist or which process scored
them.

.. versionadded:: 0.4.0
"""

from __future__ import annotations

import hashlib
import operator
from collections.abc import Sequence
from typing import Any, NamedTuple, Union

from .arbolet import Forest, Monitor, MStream, StateError, Thresholder

__all__ = ["KINDS", "Key", "KeyedDetectors", "Outcome", "StateError", "key_seed"]

Key = Union[str, bytes, int]

# What a key holds, by kind: "monitor" (a Monitor, for metrics) and "mstream" (an MStream and a
# thresholder judging the logarithm of its raw scores, for records) are what new runs use;
# "forest" (a Forest and Thresholder.for_forest) and "mstream-raw" (an MStream and a thresholder
# fed its raw scores) are how the command line of arbolet 0.3 ran, kept so that its state files
# continue exactly.
KINDS = ("monitor", "mstream", "forest", "mstream-raw")
SEED_DERIVATIONS = ("key_seed", "blake2b-seed-nul-key")
# A key's state with its thresholder (see KeyedDetectors.key_state): this prefix, the detector's
# length in 8 little-endian bytes, the detector's compact state, the thresholder's.
_PAIR = b"arbolet-key-state\0"


def key_seed(seed: int, key: Key) -> int:
    """The seed of one key's detector: a stable 64-bit hash of ``seed`` and the key's bytes.

    It is BLAKE2b with an 8-byte digest, keyed with ``seed`` as 8 little-endian
    bytes, over the key's bytes: UTF-8 for a string, the bytes themselves for
    bytes, and the decimal digits for an integer (so the key ``42`` and the
    key ``"42"`` share a seed). The digest read as a little-endian unsigned
    integer is the seed::

        blake2b(key_bytes, digest_size=8, key=seed.to_bytes(8, "little"))

    It is the same in every process, on every machine and in every language
    that has BLAKE2b, so a key's detector can be rebuilt anywhere.

    Parameters
    ----------
    seed : int
        The run's seed, in [0, 2**64).
    key : str, bytes or int
        The key.

    Returns
    -------
    int
        The key's seed, in [0, 2**64).

    Notes
    -----
    Also importable as ``arbolet.spark.key_seed``, where it was first documented.

    .. versionadded:: 0.4.0
    """
    seed = operator.index(seed)
    if not 0 <= seed < 1 << 64:
        raise ValueError(f"seed must be in [0, 2**64), got {seed}")
    if isinstance(key, str):
        data = key.encode("utf-8")
    elif isinstance(key, (bytes, bytearray, memoryview)):
        data = bytes(key)
    elif isinstance(key, bool) or not hasattr(key, "__index__"):
        raise TypeError(f"a key must be a str, bytes or int, not {type(key).__name__}")
    else:
        data = str(operator.index(key)).encode("ascii")
    digest = hashlib.blake2b(data, digest_size=8, key=seed.to_bytes(8, "little")).digest()
    return int.from_bytes(digest, "little")


def _legacy_seed(seed: int, key: str | int) -> int:
    """The seed of one key's detector in the command line of arbolet 0.3: BLAKE2b of "SEED\\0KEY"."""
    digest = hashlib.blake2b(f"{seed}\0{key}".encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little")


class Outcome(NamedTuple):
    """What one row of a key gave.

    .. versionadded:: 0.4.0
    """

    score: float | None
    """The detector's raw score; None while a ``forest`` key is not ready."""
    grade: float | None
    """0 for an ordinary row, above 0 (at most 1) for an alarm; None with the score."""
    alarm: bool | None
    """Whether the row is an alarm (its grade is above 0); None with the score."""


class KeyedDetectors:
    """One detector per key, each made from one set of settings when its key first appears.

    Parameters
    ----------
    kind : str, optional
        ``"monitor"`` (default): a ``Monitor`` per key, for metrics. ``"mstream"``: an ``MStream``
        and ``Thresholder.for_mstream`` per key, for records. ``"forest"`` and ``"mstream-raw"``
        continue runs of arbolet 0.3 (a ``Forest`` with ``Thresholder.for_forest``; an ``MStream``
        with a ``Thresholder`` fed its raw scores).
    seed : int, optional
        The run's seed; each key's detector gets ``key_seed(seed, key)``. None: every detector
        draws its own from the operating system.
    seeds : str, optional
        How a key's seed comes from ``seed``: ``"key_seed"`` (default) or ``"blake2b-seed-nul-key"``
        (the command line of arbolet 0.3).
    **settings
        The detector's own keyword arguments, by the engine's names (for example ``shingle_size``,
        ``num_trees``, ``capacity`` and ``direction`` for a Monitor; ``num_rows``, ``num_buckets`` and
        ``alpha`` for an MStream). ``input_dim`` and the MStream's dimensions come from the first row.

    Attributes
    ----------
    detectors : dict
        Each key's detector, in the order the keys first appeared.
    thresholders : dict
        Each key's thresholder, for the kinds that have one.

    Examples
    --------
    >>> from arbolet.keyed import KeyedDetectors
    >>> hosts = KeyedDetectors(seed=2024, num_trees=30)
    >>> outcome = hosts.step("web-1", [0.5], timestamp=1_700_000_000)
    >>> outcome.alarm, sorted(hosts.detectors)
    (False, ['web-1'])

    .. versionadded:: 0.4.0
    """

    def __init__(self, kind: str = "monitor", seed: int | None = None, *, seeds: str = "key_seed",
                 **settings: Any) -> None:
        if kind not in KINDS:
            raise ValueError(f"kind must be one of {', '.join(map(repr, KINDS))}, got {kind!r}")
        if seeds not in SEED_DERIVATIONS:
            raise ValueError(f"seeds must be one of {', '.join(map(repr, SEED_DERIVATIONS))}, got {seeds!r}")
        if seed is not None:
            key_seed(seed, "")  # refuses a seed outside [0, 2**64)
        self.kind = kind
        self.seed = seed
        self.seeds = seeds
        self.settings = settings
        self.detectors: dict[Key | None, Forest | MStream | Monitor] = {}
        self.thresholders: dict[Key | None, Thresholder] = {}

    def detector_seed(self, key: Key | None) -> int | None:
        """The seed of ``key``'s detector: the run's seed when either is None, else derived from both."""
        if self.seed is None or key is None:
            return self.seed
        if self.seeds == "key_seed":
            return key_seed(self.seed, key)
        if isinstance(key, (bytes, bytearray, memoryview)):
            raise TypeError("the seeds of arbolet 0.3 are for str keys")
        return _legacy_seed(self.seed, key)

    def new_detector(self, key: Key | None, numeric_dim: int, categorical_dim: int = 0
                     ) -> Forest | MStream | Monitor:
        """A fresh detector for ``key`` (not kept); ``KeyedDetectors.step`` makes one on a key's first row."""
        seed = self.detector_seed(key)
        if self.kind == "monitor":
            return Monitor(numeric_dim, seed=seed, **self.settings)
        if self.kind == "forest":
            return Forest(numeric_dim, seed=seed, **self.settings)
        return MStream(numeric_dim, categorical_dim, seed=seed, **self.settings)

    def _new_thresholder(self, detector: Forest | MStream | Monitor) -> Thresholder | None:
        if isinstance(detector, Forest):
            return Thresholder.for_forest(detector)
        if isinstance(detector, MStream):
            return Thresholder.for_mstream(detector) if self.kind == "mstream" else Thresholder()
        return None

    def _keep(self, key: Key | None, detector: Forest | MStream | Monitor, thresholder: Thresholder | None) -> None:
        self.detectors[key] = detector
        if thresholder is not None:
            self.thresholders[key] = thresholder

    def step(self, key: Key | None, values: Sequence[float], codes: Sequence[int] = (),
             timestamp: int | None = None) -> Outcome:
        """Judges one row of ``key`` with that key's detector, then learns it.

        Parameters
        ----------
        key : str, bytes, int or None
            The row's key; its detector is made on its first row.
        values : sequence of float
            The row's numeric values (an MStream's numeric features).
        codes : sequence of int, optional
            An MStream's categorical codes.
        timestamp : int, optional
            A Monitor's timestamp in seconds, from which it learns the time of day; an MStream's
            time step (without one its clock advances by one per row of the key).

        Returns
        -------
        Outcome
            The score, grade and alarm. A ``forest`` key answers None for each until it is ready;
            its thresholder is given those scores too and passes over them.

        Raises
        ------
        ValueError
            The detector refused the row (it is then unchanged, and so is its thresholder).
        """
        detector = self.detectors.get(key)
        if detector is None:
            detector = self.new_detector(key, len(values), len(codes))
            self._keep(key, detector, self._new_thresholder(detector))
        if isinstance(detector, Monitor):
            verdict = detector.update(values, timestamp)
            return Outcome(verdict["score"], verdict["grade"], verdict["alarm"])
        if isinstance(detector, MStream):
            if timestamp is None:
                timestamp = (detector.current_time() or 0) + 1
            score = detector.update_and_score(values, codes, timestamp)
        else:
            ready = detector.is_ready()
            score = detector.score_and_update(values)
            if not ready:
                self.thresholders[key].update(score)
                return Outcome(None, None, None)
        grade = self.thresholders[key].update(score)
        return Outcome(score, grade, grade > 0.0)

    def save(self, path: str) -> None:
        """Writes every key's detector (and thresholder) into the state file ``path``.

        The file is the command line's (a ZIP archive, see the command line's guide), replaced only
        once the whole file is written. Keys must be str, int or None.
        """
        from . import _keyed_detectors

        _keyed_detectors.write_state(path, self, {"seed": self.seed, "detector_settings": self.settings})

    @classmethod
    def load(cls, path: str) -> KeyedDetectors:
        """Reads a state file that ``KeyedDetectors.save`` or the command line's ``--save-state`` wrote.

        A run continues exactly: the same kind, seeds and detector settings for new keys.

        Raises
        ------
        arbolet.StateError
            The file is not a state file, or is broken (also ``arbolet.keyed.StateError``).
        OSError
            The file cannot be read.
        """
        from . import _keyed_detectors

        return _keyed_detectors.read_runner(path)

    def key_state(self, key: Key | None) -> bytes:
        """``key``'s detector and thresholder as one compact byte string, for a store of your own.

        ``KeyedDetectors.restore_key`` reads it back.
        """
        detector = self.detectors[key].to_bytes()
        thresholder = self.thresholders.get(key)
        if thresholder is None:
            return detector
        return _PAIR + len(detector).to_bytes(8, "little") + detector + thresholder.to_bytes()

    def restore_key(self, key: Key | None, state: bytes) -> None:
        """Makes ``key``'s detector (and thresholder) the ones ``state`` holds.

        ``state`` is what ``KeyedDetectors.key_state`` returned, or a detector's own ``to_bytes()`` or
        ``to_json()``: its kind's thresholder then starts afresh.
        """
        state = bytes(state)
        cls: Any = {"monitor": Monitor, "forest": Forest}.get(self.kind, MStream)
        thresholder: Thresholder | None = None
        if state.startswith(_PAIR):
            start = len(_PAIR) + 8
            end = start + int.from_bytes(state[len(_PAIR):start], "little")
            detector = cls.from_bytes(state[start:end])
            thresholder = Thresholder.from_bytes(state[end:])
        else:
            detector = cls.from_json(state) if state[:1] == b"{" else cls.from_bytes(state)
            thresholder = self._new_thresholder(detector)
        self._keep(key, detector, thresholder)
