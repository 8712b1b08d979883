"""Stable integer codes for category names, as ``MStream`` takes them.

``category_code(text)`` is the first 8 bytes of the BLAKE2b digest (8-byte digest, no key) of the
text's UTF-8 bytes, read as a little-endian signed 64-bit integer. It is the same on every machine
and in every process (unlike ``hash(str)``), so a saved detector keeps recognising the categories it
has seen. The River adapter and the command line use it.
"""

from __future__ import annotations

import hashlib

__all__ = ["category_code"]


def category_code(text: str) -> int:
    """The stable 64-bit code of a category name."""
    digest = hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "little", signed=True)
