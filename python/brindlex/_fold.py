"""How an index compares text: the three text modes and their normalisers.

* ``fold``: compatibility decomposition (NFKD), case folding, removal of combining
  marks (characters of a non-zero canonical combining class: accents, diacritics,
  the kana voicing marks), then canonical composition (NFC), so that ``Crème
  Brûlée``, ``creme brulee`` and ``CRÈME BRÛLÉE`` are one text, while scripts
  that compose without marks (Hangul) keep their syllables;
* ``nfc``: canonical composition only, so canonically equal spellings (precomposed
  or decomposed accents) always meet and nothing else changes;
* ``exact``: the text as given; the mode of a bare snapshot, whose terms were
  written by someone else.
"""

from __future__ import annotations

import unicodedata
from collections.abc import Callable
from typing import Literal

__all__ = ["MODES", "TextMode", "fold", "nfc", "normaliser"]

TextMode = Literal["fold", "nfc", "exact"]
MODES: tuple[TextMode, ...] = ("exact", "nfc", "fold")  # by their number in index files

_normalize = unicodedata.normalize
_combining = unicodedata.combining


def fold(text: str) -> str:
    """``text`` as a folding index compares it."""
    if text.isascii():
        return text.lower()
    decomposed = _normalize("NFKD", _normalize("NFKD", text).casefold())
    return _normalize("NFC", "".join(c for c in decomposed if not _combining(c)))


def nfc(text: str) -> str:
    """``text`` as an index without folding compares it."""
    return text if text.isascii() else _normalize("NFC", text)


def _exact(text: str) -> str:
    return text


def normaliser(mode: TextMode) -> Callable[[str], str]:
    return {"fold": fold, "nfc": nfc, "exact": _exact}[mode]
