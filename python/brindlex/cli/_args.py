"""The command line's arguments: their types, and the parser of every command."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable

from .. import __version__
from .._build import DEFAULT_VIDEO_TOP_N, U32_MAX
from .._format import clipped
from ._errors import PROG

U64_MAX = 2**64 - 1


def _bounded_int(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{clipped(repr(text))} is not an integer") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is outside {low}..{high}")
        return value

    parse.__name__ = "integer"
    return parse


def _edit_bound(text: str) -> int | str:
    """--max-dist of complete: a number of edits, or auto."""
    return text if text == "auto" else _bounded_int(0, U32_MAX)(text)


_edit_bound.__name__ = "integer or auto"


def _score(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{clipped(repr(text))} is not a number") from None
    if math.isnan(value):
        # Every comparison with NaN fails: it would silently drop every video.
        raise argparse.ArgumentTypeError(f"{clipped(repr(text))} is not a number to compare scores with")
    return value


def _term(text: str) -> str:
    # Command-line bytes that are not UTF-8 arrive as lone surrogates.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError("the term is not valid UTF-8 text") from None
    return text


def argument_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Build and query typo-tolerant indexes of search terms and their videos.",
        epilog="Exit status: 0 success, 1 bad input or unreadable file, 2 wrong usage.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    build = commands.add_parser(
        "build",
        help="build an index file from a catalogue (TSV or JSON lines)",
        description=(
            "Build an index from rows of (term, count, video id, video count) and write "
            "it to an index file. Rows of one term are merged: they must carry the same count, "
            "and each names a different video (or none, with an empty video id). "
            "Video ids are UUIDs or unsigned 32-bit integers, one kind per file."
        ),
    )
    build.set_defaults(usage_error=build.error)
    build.add_argument("input", metavar="INPUT", help="catalogue file, or - for standard input")
    build.add_argument(
        "-o",
        "--output",
        metavar="INDEX",
        required=True,
        help="index file to write (a link is followed, a device written through), or - for standard output",
    )
    build.add_argument(
        "--format",
        choices=("tsv", "jsonl"),
        help="input format (default: jsonl for .jsonl/.ndjson files, tsv otherwise)",
    )
    build.add_argument(
        "--video-top-n",
        type=_bounded_int(0, U64_MAX),
        default=DEFAULT_VIDEO_TOP_N,
        metavar="N",
        help=f"videos kept per trie node for ranking (default: {DEFAULT_VIDEO_TOP_N})",
    )
    build.add_argument(
        "--sum-counts",
        action="store_true",
        help="add up the counts of a term's rows where they differ, instead of refusing them",
    )
    build.add_argument(
        "--text-ids",
        action="store_true",
        help="read every video id as text, as written, even one that reads as an integer or a UUID "
        "(without it, the first id decides the catalogue's kind)",
    )
    build.add_argument(
        "--words",
        action="store_true",
        help="let suggest and complete also match every word start inside a term (a larger index file)",
    )
    build.add_argument(
        "--no-fold",
        dest="fold",
        action="store_false",
        help=(
            "compare terms and queries as written (in NFC) instead of folding case, "
            "accents and compatibility forms"
        ),
    )

    def query_arguments(
        sub: argparse.ArgumentParser, what: str = "TERM", max_dist: int | None = 1, limit: bool = True
    ) -> None:
        sub.set_defaults(usage_error=sub.error)
        sub.add_argument("snapshot", metavar="INDEX", help="index file written by build")
        sub.add_argument("term", metavar=what, type=_term, nargs="?", help="the query text")
        sub.add_argument(
            "--stdin",
            action="store_true",
            help=(
                f"instead of {what}, answer every line of standard input as a query (any text, "
                "a leading - included; empty lines are skipped): each result line starts "
                "with its query and a tab, and each answer ends with an empty line, or, "
                "with --json, one JSON object per query"
            ),
        )
        if max_dist is not None:
            sub.add_argument(
                "--max-dist",
                type=_bounded_int(0, U32_MAX),
                default=max_dist,
                metavar="K",
                help=f"largest edit distance accepted (default: {max_dist})",
            )
        if limit:
            sub.add_argument("--limit", type=_bounded_int(0, U64_MAX), metavar="N", help="at most N results")
        else:
            sub.add_argument(
                "-n", type=_bounded_int(0, U64_MAX), default=10, metavar="N", help="at most N results (default: 10)"
            )
        sub.add_argument("--json", action="store_true", help="print the results as JSON")

    suggest = commands.add_parser(
        "suggest",
        help="the terms closest to TEXT, best first, with counts",
        description=(
            "Print at most N indexed terms within --max-dist edits of TEXT with their distance "
            "and count, best first: fewer edits, then larger count, then code-point order."
        ),
    )
    query_arguments(suggest, "TEXT", max_dist=2, limit=False)

    def swap_argument(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--no-transpositions",
            dest="transpositions",
            action="store_false",
            help="count a swap of two neighbouring characters as two edits (Levenshtein), not one",
        )

    swap_argument(suggest)

    complete = commands.add_parser(
        "complete",
        help="the terms that begin with PREFIX, typos allowed, best first",
        description=(
            "Print at most N indexed terms that begin with a text within --max-dist edits of "
            "PREFIX (what a search box holds while someone types) with their distance and "
            "count, best first: fewer edits, then larger count, then code-point order."
        ),
    )
    query_arguments(complete, "PREFIX", max_dist=None, limit=False)
    complete.add_argument(
        "--max-dist",
        type=_edit_bound,
        default="auto",
        metavar="K",
        help=(
            "largest edit distance accepted, or auto (the default): 0 edits for a prefix of "
            "1-2 characters, 1 for 3-5, 2 for longer ones"
        ),
    )
    swap_argument(complete)

    match = commands.add_parser(
        "match",
        help="indexed terms within an edit distance of TERM",
        description=(
            "Print the indexed terms within --max-dist edits of TERM with their distance, "
            "in trie order (not sorted by distance); --limit keeps the first N of them."
        ),
    )
    query_arguments(match)

    videos = commands.add_parser(
        "videos",
        help="videos that best match TERM, with scores",
        description="Print the videos that best match TERM with their scores, best first.",
    )
    query_arguments(videos)
    videos.add_argument(
        "--include-prefix-nodes",
        choices=("yes", "no", "auto"),
        default="auto",
        help=(
            "also match the beginnings of indexed terms: yes, no, or auto (the default: "
            "only when no whole term is within reach)"
        ),
    )
    videos.add_argument(
        "--min-score",
        type=_score,
        metavar="X",
        help="drop videos scoring below X (default: 0.01)",
    )

    stats = commands.add_parser(
        "stats",
        help="what an index file holds, and whether it is sound",
        description=(
            "Print the number of nodes, terms and videos of an index file, its id mode, text "
            "mode and size, and check it."
        ),
    )
    stats.add_argument("snapshot", metavar="INDEX", help="index file")
    stats.add_argument("--json", action="store_true", help="print the figures as JSON")
    return parser
