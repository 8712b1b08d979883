"""Griffe extension for the API reference: numpydoc's ``.. versionadded:: X`` and ``.. versionchanged:: X``
notes (with their indented text) become admonitions, which the numpy docstring parser would otherwise
show as plain text or take for part of the section above them."""

from __future__ import annotations

import re
from typing import Any

import griffe

NOTE = re.compile(r"^\.\. version(added|changed):: (\S+)[ \t]*(?:\n|$)((?:[ \t]+\S.*\n?)*)", re.MULTILINE)
TITLES = {"added": "Added in version", "changed": "Changed in version"}


def admonition(match: re.Match[str]) -> str:
    kind, version, text = match.groups()
    body = "".join(f"    {line.strip()}\n" for line in text.splitlines())
    return f'!!! info "{TITLES[kind]} {version}"\n{body}\n'


class VersionNotes(griffe.Extension):
    def on_instance(self, *, obj: griffe.Object, **kwargs: Any) -> None:
        if obj.docstring is not None:
            obj.docstring.value = NOTE.sub(admonition, obj.docstring.value)
