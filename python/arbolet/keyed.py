"""Many keyed streams (one per host, sensor or account), each with its own detector.

``key_seed`` gives each key's detector its own seed, the same in every process, so that a key's
results never depend on which other keys exist or which process scored them; the command line's
``--key`` option and the Spark functions derive their seeds with it.

.. versionadded:: 0.4.0
"""

from __future__ import annotations

import hashlib
import operator
from typing import Union

__all__ = ["Key", "key_seed"]

Key = Union[str, bytes, int]


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
