"""What the console refuses in a new parameter name: a look-alike of one already
stored, and characters that cannot be seen or told apart at its ends.

The store itself takes any name it can keep (``check_fields``); the bridge's
lookups match names exactly, so an operator who made ``colour`` and ``cоlour``
(a Cyrillic о) could edit the one the application never reads.
"""

import unicodedata
from collections.abc import Iterable
from functools import cache

import regex

# What a name may not hold anywhere, and what is left out when names are compared:
# control, format, line and paragraph separator characters, and every code point
# that renders as nothing (combining grapheme joiner, variation selectors, fillers).
HIDDEN = regex.compile(r"[\p{Cc}\p{Cf}\p{Zl}\p{Zp}\p{Default_Ignorable_Code_Point}]")
# The confusables data marks right-to-left characters with left-to-right marks for display.
DISPLAY_MARK = "\u200e"


@cache
def _prototypes() -> dict[str, str]:
    """Each confusable character's prototype in Unicode's confusables data."""
    from confusable_homoglyphs.confusables import confusables_data

    homoglyphs = {
        key.replace(DISPLAY_MARK, ""): [entry["c"].replace(DISPLAY_MARK, "") for entry in entries]
        for key, entries in confusables_data.items()
    }
    # The data lists each mapping both ways: a source lists only its prototype,
    # a prototype lists its sources.  Of a pair, either may be the prototype:
    # both map to one of them (a sequence, which is never a source, if it is one).
    prototypes = {}
    for char, (first, *more) in homoglyphs.items():
        if more or len(char) > 1:
            continue
        pair = len(homoglyphs.get(first, ())) == 1 and len(first) == 1
        prototypes[char] = min(char, first) if pair else first
    return prototypes


def skeleton(text: str) -> str:
    """The text with every character replaced by its prototype: equal for texts that look alike."""
    prototypes = _prototypes()
    return unicodedata.normalize("NFD", "".join(prototypes.get(c, c) for c in unicodedata.normalize("NFD", text)))


def _shown(text: str) -> str:
    """The text without hidden characters, compatibility forms folded, ends stripped."""
    return unicodedata.normalize("NFKC", HIDDEN.sub("", text)).strip()


def _character(char: str) -> str:
    return f"U+{ord(char):04X} {unicodedata.name(char, '')}".rstrip()


def name_problems(name: str, stored: Iterable[str]) -> list[str]:
    """Why ``name`` may not be given to a new parameter beside the ``stored`` names; empty when it may."""
    problems = []
    for end in dict.fromkeys((name[0], name[-1])):
        if end.isspace() or unicodedata.category(end) == "Zs":
            problems.append(f"the name must not begin or end with a blank ({_character(end)})")
    hidden = sorted(set(HIDDEN.findall(name)))
    if hidden:
        listed = ", ".join(_character(c) for c in hidden)
        problems.append(f"the name must not contain control or invisible characters ({listed})")
    shown = _shown(name)
    looks = skeleton(shown)
    for other in stored:
        if other != name and (_shown(other) == shown or skeleton(_shown(other)) == looks):
            problems.append(f"the name looks like {other!r}, already stored in this department: "
                            "use that parameter, or a name that cannot be taken for it")
            break
    return problems
