"""How an index compares text: the three text modes and their normalisers.

* ``fold``: compatibility decomposition (NFKD), case folding, removal of combining
  marks (characters of a non-zero canonical combining class: accents, diacritics,
  the kana voicing marks), then canonical composition (NFC), so that ``Crème
  Brûlée``, ``creme brulee`` and ``CRÈME BRÛLÉE`` are one text, while scripts
  that compose without marks (Hangul) keep their syllables; last, whitespace
  (anything ``str.isspace`` calls so) is dropped at both ends and each inner run of
  it becomes one space, so that ``cat``, `` cat`` and ``cat\u3000 `` are one text;
* ``nfc``: canonical composition only, so canonically equal spellings (precomposed
  or decomposed accents) always meet and nothing else changes (whitespace included:
  an index built without folding keeps its terms as written);
* ``exact``: the text as given; the mode of a bare snapshot, whose terms were
  written by someone else.
"""

from __future__ import annotations

import unicodedata
from collections.abc import Callable
from typing import Literal

__all__ = ["MODES", "TextMode", "fold", "nfc", "normaliser", "shown_spelling"]

TextMode = Literal["fold", "nfc", "exact"]
MODES: tuple[TextMode, ...] = ("exact", "nfc", "fold")  # by their number in index files

_normalize = unicodedata.normalize
_combining = unicodedata.combining


def fold(text: str) -> str:
    """``text`` as a folding index compares it."""
    if text.isascii():
        folded = text.lower()
    else:
        decomposed = _normalize("NFKD", _normalize("NFKD", text).casefold())
        folded = _normalize("NFC", "".join(c for c in decomposed if not _combining(c)))
    # Spaces after folding: compatibility forms (U+2003, U+00A8) become spaces only then.
    return _squeezed(folded)


def _squeezed(text: str) -> str:
    words = text.split()
    return text if len(words) == 1 and len(words[0]) == len(text) else " ".join(words)


def shown_spelling(mode: TextMode, term: str) -> str:
    """The spelling an index of this mode shows for ``term`` as given: with folding,
    its whitespace trimmed and squeezed as the folded text's is (case and accents
    kept), so that `` Dog `` shows as ``Dog``; otherwise the term itself."""
    return _squeezed(term) if mode == "fold" else term


def nfc(text: str) -> str:
    """``text`` as an index without folding compares it."""
    return text if text.isascii() else _normalize("NFC", text)


def _exact(text: str) -> str:
    return text


def normaliser(mode: TextMode) -> Callable[[str], str]:
    return {"fold": fold, "nfc": nfc, "exact": _exact}[mode]
