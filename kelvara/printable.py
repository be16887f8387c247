"""Text from files and labels made safe to show: control characters (a
carriage return that would start a new row of a CSV, an escape sequence
that would repaint a terminal, a NUL a workbook refuses) written out as
escapes ("\\r", "\\x1b", "\\x00") instead of passed on raw.  Pure Python."""

from __future__ import annotations

import re

__all__ = ["printable"]

# C0, DEL and C1 control characters, and the marks that reverse or isolate
# the direction of the text that follows (which can make a line read other
# than it is).
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]")
_NAMED = {"\r": "\\r", "\n": "\\n", "\t": "\\t"}


def printable(text: str, keep: str = "") -> str:
    """`text` with every control character except those in `keep` ("\\n\\t"
    for text printed as lines) written as an escape."""
    if not isinstance(text, str) or not _CONTROL.search(text):
        return text
    return _CONTROL.sub(lambda m: m.group() if m.group() in keep else _NAMED.get(m.group(), f"\\x{ord(m.group()):02x}")
                        if ord(m.group()) < 0x100 else f"\\u{ord(m.group()):04x}", text)
