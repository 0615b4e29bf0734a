"""Word starts, for indexes that match inside titles (``Index.build(..., words=True)``).

A word starts after each run of separators in the compared (normalised) text: white
space and the Unicode categories Z* (separators) and P* (punctuation). Symbols (S*) are
no separators: "c++", "$5" and "a+b" are one word each, as people type them.
"""

from __future__ import annotations

import unicodedata
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._native import Lookup


def separates(char: str) -> bool:
    """Whether ``char`` separates words."""
    return char.isspace() or unicodedata.category(char)[0] in "ZP"


def separators(labels: Sequence[int]) -> list[int]:
    """The characters among ``labels`` (code points) that separate words."""
    return [label for label in labels if separates(chr(label))]


def word_starts(text: str) -> list[int]:
    """Where the words of ``text`` after its first begin: each position that follows a
    separator and holds none."""
    return [i for i in range(1, len(text)) if separates(text[i - 1]) and not separates(text[i])]


def add_words(lookup: Lookup) -> None:
    """Makes ``lookup`` (a native Lookup) match the word starts of its terms."""
    from ._native import add_words as add

    add(lookup, separators)
