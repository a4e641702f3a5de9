"""Text for a terminal: what a program printed (a machine identity, its notes)
may hold escape sequences, bell, NUL, carriage returns or C1 controls, which a
terminal would act on.  Shown there, each such character is escaped
(``\\x1b``); JSON keeps the exact text, written with escapes of its own.

Nothing here loads the native module or reads settings at import.
"""

import functools
import json

import regex
from django.core.checks import CheckMessage

# C0 and C1 controls with DEL, line and paragraph separators, and the
# direction controls that reorder what a terminal shows.
CONTROL = regex.compile(r"[\p{Cc}\p{Zl}\p{Zp}\p{Bidi_Control}]")


def _escape(match: regex.Match) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str) -> str:
    """``text`` with every control character written as an escape."""
    return CONTROL.sub(_escape, text)


def printable_json(value) -> str:
    """``value`` as JSON, other than ASCII kept as it is, control characters as JSON escapes."""
    # json escapes C0 controls itself; the others are left as they are unless escaped here.
    return CONTROL.sub(lambda match: f"\\u{ord(match.group()):04x}", json.dumps(value, ensure_ascii=False))


class PrintableMessage(CheckMessage):
    """A check's message that keeps its exact text, printed with control characters escaped."""

    def __str__(self) -> str:
        hint = printable(self.hint) if self.hint else self.hint
        return str(CheckMessage(self.level, printable(self.msg), hint, self.obj, self.id))


def printable_checks(check):
    """``check`` with its messages printed as ``PrintableMessage``."""

    @functools.wraps(check)
    def wrapped(app_configs=None, **kwargs):
        return [PrintableMessage(found.level, found.msg, found.hint, found.obj, found.id)
                for found in check(app_configs, **kwargs)]

    return wrapped
