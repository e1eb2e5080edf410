"""Text for the terminal: file names cannot inject control codes, lines stay short.

A file name may hold ESC, a newline or any other control character; echoed
raw, it could move the cursor, recolour the terminal or forge a line of the
report. `escaped` shows each such character as a Python-style escape
(``\\x1b``, ``\\n``); `clipped` cuts a line that would run past `MAX_LINE`
characters (an error quoting a huge value) and says how much was left out.
"""

from __future__ import annotations

import unicodedata
from typing import Final

MAX_LINE: Final = 2000
_NAMED: Final = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escaped(text: str) -> str:
    """`text` with control and format characters (Cc, Cf, line separators) as escapes."""
    if text.isprintable():
        return text
    out = []
    for char in text:
        if char == " " or unicodedata.category(char) not in ("Cc", "Cf", "Zl", "Zp"):
            out.append(char)
        elif char in _NAMED:
            out.append(_NAMED[char])
        elif ord(char) < 0x100:
            out.append(f"\\x{ord(char):02x}")
        else:
            out.append(f"\\u{ord(char):04x}")
    return "".join(out)


def clipped(text: str, limit: int = MAX_LINE) -> str:
    if len(text) <= limit:
        return text
    return f"{text[:limit]}... ({len(text) - limit} more characters)"


def safe_line(text: str) -> str:
    """One line fit for a terminal: escaped, then clipped."""
    return clipped(escaped(text))
