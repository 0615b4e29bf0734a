"""The ``brindlex`` command: build an index file from a catalogue, query it, check it.

    brindlex build INPUT -o INDEX [--format tsv|jsonl] [--video-top-n N] [--no-fold]
    brindlex suggest INDEX (TEXT | --stdin) [-n N] [--max-dist K] [--json]
    brindlex complete INDEX (PREFIX | --stdin) [-n N] [--json]
    brindlex match INDEX (TERM | --stdin) [--max-dist K] [--limit N] [--json]
    brindlex videos INDEX (TERM | --stdin) [--max-dist K] [--limit N]
                    [--include-prefix-nodes yes|no] [--min-score X] [--json]
    brindlex stats INDEX [--json]
    brindlex --version

Exit status: 0 success, 1 bad input (a bad row, an unreadable file, a bad snapshot) or
output that cannot be written (a full device, a closed standard output), 2 wrong usage,
141 when the reader of standard output went away (as a process killed by SIGPIPE shows
to its shell), 128 + N when stopped by signal N (SIGINT, SIGTERM, SIGHUP).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import shutil
import signal
import stat
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any

from . import __version__
from ._build import DEFAULT_VIDEO_TOP_N, U32_MAX
from ._files import engine_of, read_file, write_file
from ._fold import TextMode, normaliser
from ._format import STREAM_LIMIT, IndexFile, clipped, encode_notes, file_chunks, regular_size
from ._index import Index
from ._rows import RowError, row_of
from .snapshot import SnapshotDecodeError, check_snapshot

if TYPE_CHECKING:
    from _brindlex import PrefixSearch

__all__ = ["main"]

PROG = "brindlex"
U64_MAX = 2**64 - 1

EXIT_OK = 0
EXIT_BAD_INPUT = 1
EXIT_USAGE = 2
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

# A catalogue read from a pipe or a device has no size to bound it: a line longer than
# this (/dev/zero holds a single endless one) stops the build, as does, from a device,
# more than STREAM_LIMIT bytes in all.
LINE_LIMIT = 2**28


class Failure(Exception):
    """A problem with the user's input or files: printed as one line, exit 1."""


class UsageError(Exception):
    """Arguments that parse but do not go together: reported as argparse does, exit 2."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: unwound like KeyboardInterrupt, so that what is being
    written is removed on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# -- progress -------------------------------------------------------------------------


class Progress:
    """A one-line progress display on a terminal.

    Nothing is drawn for the first ``delay`` seconds, so quick builds stay silent,
    and redraws are limited to ten a second; on anything but a terminal it draws
    nothing at all.
    """

    def __init__(
        self,
        stream: IO[str],
        enabled: bool | None = None,
        delay: float = 0.5,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.stream = stream
        self.enabled = stream.isatty() if enabled is None else enabled
        self.delay = delay
        self.clock = clock
        self.started = clock()
        self.last_draw = -math.inf
        self.shown = False
        self.label = ""

    def phase(self, label: str) -> None:
        """Starts a step that reports no progress of its own; shown at once when
        the display is already up (the build has proved to be a long one)."""
        self.label = label
        if self.shown:
            self._draw(label)

    def update(self, label: str, done: int, total: int | None, unit: str = "") -> None:
        if not self.enabled:
            return
        now = self.clock()
        if now - self.started < self.delay or now - self.last_draw < 0.1:
            return
        self.last_draw = now
        if total:
            fraction = min(done / total, 1.0)
            bar_width = 24
            filled = round(fraction * bar_width)
            bar = "#" * filled + "-" * (bar_width - filled)
            self._draw(f"{label} [{bar}] {fraction:4.0%}")
        else:
            self._draw(f"{label} {done:,}{unit}")

    def _draw(self, text: str) -> None:
        if not self.enabled:
            return
        width = max(shutil.get_terminal_size((80, 24)).columns - 1, 10)
        self.stream.write("\r" + text[:width].ljust(width))
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            width = max(shutil.get_terminal_size((80, 24)).columns - 1, 10)
            self.stream.write("\r" + " " * width + "\r")
            self.stream.flush()
            self.shown = False


# -- argument types -----------------------------------------------------------------


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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Build and query typo-tolerant indexes of search terms and their videos.",
        epilog="Exit status: 0 success, 1 bad input or unreadable file, 2 wrong usage.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    build = commands.add_parser(
        "build",
        help="build a snapshot from a catalogue (TSV or JSON lines)",
        description=(
            "Build an index from rows of (term, count, video id, video count) and write "
            "its snapshot. Rows of one term are merged: they must carry the same count, "
            "and each names a different video (or none, with an empty video id). "
            "Video ids are UUIDs or unsigned 32-bit integers, one kind per file."
        ),
    )
    build.set_defaults(usage_error=build.error)
    build.add_argument("input", metavar="INPUT", help="catalogue file, or - for standard input")
    build.add_argument(
        "-o",
        "--output",
        metavar="SNAPSHOT",
        required=True,
        help="snapshot file to write (a link is followed, a device written through), or - for standard output",
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
                "instead of TERM, answer every line of standard input as a query (any text, "
                "a leading - included): each result line starts with its query and a tab, "
                "or, with --json, one JSON object per query"
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

    complete = commands.add_parser(
        "complete",
        help="the most frequent terms that start with PREFIX",
        description=(
            "Print at most N indexed terms that start with PREFIX with their count, most "
            "frequent first, then in code-point order."
        ),
    )
    query_arguments(complete, "PREFIX", max_dist=None, limit=False)

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


# -- commands -------------------------------------------------------------------------


def _open_input(path: str) -> tuple[IO[bytes], Bounded, int | None]:
    """The catalogue's file, and the reader of its bytes that the build is given."""
    if path == "-":
        if sys.stdin is None:
            raise Failure("cannot read <stdin>: standard input is closed")
        f = sys.stdin.buffer
    else:
        try:
            f = open(path, "rb")
        except OSError as exc:
            raise Failure(f"cannot read {path}: {exc.strerror or exc}") from None
    size = regular_size(f)
    try:
        kind = os.fstat(f.fileno()).st_mode
    except (OSError, ValueError):
        kind = 0
    device = stat.S_ISCHR(kind) or stat.S_ISBLK(kind)
    return f, Bounded(f, "<stdin>" if path == "-" else path, size, device), size


class Bounded:
    """Reads a catalogue no further than its source can hold: a regular file up to the
    size it had when opened (one that grows meanwhile is refused rather than read
    half-written), a pipe or a device line by line up to LINE_LIMIT each, and a device
    up to STREAM_LIMIT in all."""

    __slots__ = ("device", "f", "line", "name", "read_so_far", "run", "size")

    def __init__(self, f: IO[bytes], name: str, size: int | None, device: bool) -> None:
        self.f = f
        self.name = name
        self.size = size
        self.device = device
        self.read_so_far = 0
        self.line = 1  # the line the current run of bytes belongs to
        self.run = 0  # bytes since the last line end

    def read(self, n: int) -> bytes:
        chunk = self.f.read(n)
        self.read_so_far += len(chunk)
        if self.size is not None:
            if self.read_so_far > self.size:
                raise Failure(f"{self.name}: the file grew while it was read ({self.size} bytes when opened)")
            return chunk
        end = chunk.rfind(b"\n")
        if end < 0:
            self.run += len(chunk)
        else:
            self.line += chunk.count(b"\n", 0, end + 1)
            self.run = len(chunk) - end - 1
        if self.run > LINE_LIMIT:
            raise Failure(f"{self.name}:{self.line}: too large: a line read from a pipe or device may hold at most "
                          f"{LINE_LIMIT} bytes")
        if self.device and self.read_so_far > STREAM_LIMIT:
            raise Failure(f"{self.name}: too large: at most {STREAM_LIMIT} bytes are read from a device")
        return chunk


def _input_format(path: str, given: str | None) -> str:
    if given:
        return given
    return "jsonl" if path.lower().endswith((".jsonl", ".ndjson")) else "tsv"


def _same_regular_file(input_path: str, output: str) -> bool:
    """Whether the output names the very file the catalogue is read from (through a
    link, a second name or standard input), which writing would destroy."""
    if output == "-":
        return False
    try:
        out = os.stat(output)
        inp = os.fstat(sys.stdin.fileno()) if input_path == "-" else os.stat(input_path)
    except (OSError, ValueError):
        return False
    return stat.S_ISREG(out.st_mode) and (out.st_dev, out.st_ino) == (inp.st_dev, inp.st_ino)


def _write_output(path: str, chunks: list[bytes]) -> None:
    if path == "-":
        with _writing():
            for chunk in chunks:
                sys.stdout.buffer.write(chunk)
            sys.stdout.buffer.flush()
        return
    try:
        with _stopped_by_signals():
            write_file(path, chunks)
    except OSError as exc:
        raise Failure(f"cannot write {path}: {exc.strerror or exc}") from None


@contextlib.contextmanager
def _writing() -> Iterator[None]:
    """Turns a failed write to standard output (a full device, a closed descriptor)
    into a Failure; a reader gone away (BrokenPipeError) is left to main."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as exc:
        _silence_stdout()
        raise Failure(f"cannot write <stdout>: {exc.strerror or exc}") from None


@contextlib.contextmanager
def _stopped_by_signals() -> Iterator[None]:
    """Within it, SIGTERM and SIGHUP raise Stopped (in the main thread, where handlers
    can be set), as SIGINT raises KeyboardInterrupt, so that a half-written file is
    removed before the process ends."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {signum: signal.signal(signum, _stop) for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def _stop(signum: int, frame: object) -> None:
    raise Stopped(signum)


def _silence_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's own flush at exit
    of what could not be written fails no more (and prints no traceback)."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _native() -> type[PrefixSearch]:
    try:
        from _brindlex import PrefixSearch

        from . import _native  # noqa: F401
    except ImportError as exc:
        raise Failure(f"the native modules cannot be loaded: {exc}") from None
    return PrefixSearch


def cmd_build(args: argparse.Namespace) -> int:
    if _same_regular_file(args.input, args.output):
        raise UsageError(f"the output {args.output} is the input file: the catalogue would be lost")
    _native()
    name = "<stdin>" if args.input == "-" else args.input
    fmt = _input_format(args.input, args.format)
    progress = Progress(sys.stderr)
    stream, bounded, size = _open_input(args.input)
    label = f"reading {os.path.basename(name)}"
    mode: TextMode = "fold" if args.fold else "nfc"
    from ._native import read_catalogue

    try:
        try:
            # Rows are read, merged and built natively, without a Python object per row.
            engine, shown, fixes, rows, videos, terms, nodes = read_catalogue(
                bounded, fmt, args.video_top_n, mode, normaliser(mode), row_of, RowError,
                lambda done: progress.update(label, done, size, " bytes"), args.sum_counts,
            )
        except RowError as exc:
            hint = ""
            if fmt == "tsv" and not args.format and (exc.json_like or name.lower().endswith(".json")):
                hint = " (for JSON lines, give --format jsonl)"
            raise Failure(f"{name}:{exc.line}: {exc.message}{hint}") from None
        except OSError as exc:
            raise Failure(f"cannot read {name}: {exc.strerror or exc}") from None
        except (ValueError, TypeError, OverflowError) as exc:
            raise Failure(f"{name}: {exc}") from None
        except MemoryError:
            raise Failure(f"{name}: too large to be built in this machine's memory") from None
        finally:
            if stream is not sys.stdin.buffer:
                stream.close()

        progress.phase("writing the index")
        # The file of Index._built(...).save(): no Index is made, nor the lookups it prepares.
        chunks = file_chunks(engine.to_bytes(), encode_notes(shown, fixes), mode, args.video_top_n)
        _write_output(args.output, chunks)
    finally:
        progress.close()
    # With the index on standard output, the summary goes beside it on standard error.
    with _writing():
        print(
            f"{'<stdout>' if args.output == '-' else args.output}: {rows} rows, "
            f"{terms} terms, {videos} videos, {nodes} nodes, "
            f"{sum(map(len, chunks))} bytes",
            file=sys.stderr if args.output == "-" else sys.stdout,
        )
    return EXIT_OK


def _read_index_file(path: str) -> IndexFile:
    try:
        return read_file(path)
    except OSError as exc:
        raise Failure(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise Failure(str(exc)) from None


def _refuse_damage(path: str, damage: list[str]) -> None:
    """Stops the command (exit 1) at the first damage the check found."""
    if damage:
        with _writing():
            sys.stdout.flush()  # the figures before the message
        raise Failure(f"{path}: the snapshot is damaged: {damage[0]}")


def _load(path: str, file: IndexFile | None = None) -> Index:
    """The index of a file that is sound, or Failure with what is wrong: the checks of
    stats, on the engine decoded once. Queries and stats load through here alike, so
    that no query answers from a file stats passes, nor stats passes one queries refuse."""
    _native()
    from ._native import check_engine

    if file is None:
        file = _read_index_file(path)
    try:
        engine = engine_of(file, path)
    except ValueError as exc:
        raise Failure(str(exc)) from None
    _refuse_damage(path, check_engine(engine)[0])
    try:
        return Index._make(engine, file.mode, file.notes, file.video_top_n)
    except ValueError as exc:
        raise Failure(f"{path}: {exc}") from None


def _query[T](path: str, run: Callable[[], T]) -> T:
    try:
        return run()
    except Exception:
        raise
    except BaseException as exc:
        # The module's InternalFailure derives from BaseException on purpose, to get
        # past careless handlers; here it only means the snapshot is damaged.
        if type(exc).__name__ != "InternalFailure":
            raise
        raise Failure(f"{path}: the snapshot is damaged ({exc})") from None


def _queries(args: argparse.Namespace) -> Iterator[str]:
    """TERM, or with --stdin every line of standard input."""
    if args.term is not None and args.stdin:
        raise UsageError("give either TERM or --stdin, not both")
    if args.term is None and not args.stdin:
        raise UsageError("the query TERM is missing (or give --stdin)")
    return _stdin_queries() if args.stdin else iter([args.term])


def _stdin_queries() -> Iterator[str]:
    for number, raw in enumerate(sys.stdin.buffer, start=1):
        try:
            yield raw.removesuffix(b"\n").removesuffix(b"\r").decode("utf-8")
        except UnicodeDecodeError:
            raise Failure(f"<stdin>:{number}: the query is not valid UTF-8") from None


def _answer(
    args: argparse.Namespace, query: str, rows: list[dict[str, Any]], line: Callable[[dict[str, Any]], str]
) -> None:
    """Prints the answer to one query: JSON, or one line per result, which in a batch
    starts with the query; a batch is flushed query by query, for a reader that waits
    for each answer before it asks the next."""
    with _writing():
        if args.json:
            _print_json({"query": query, "results": rows} if args.stdin else rows)
        else:
            prefix = f"{query}\t" if args.stdin else ""
            for row in rows:
                print(prefix + line(row))
        if args.stdin:
            sys.stdout.flush()


Rows = list[dict[str, Any]]


def _serve(args: argparse.Namespace, ask: Callable[[Index, str], Rows], line: Callable[[dict[str, Any]], str]) -> int:
    """Answers TERM, or every line of standard input, with ask(index, query)."""
    queries = _queries(args)
    index = _load(args.snapshot)
    for query in queries:
        rows = _query(args.snapshot, lambda: ask(index, query))
        _answer(args, query, rows, line)
    return EXIT_OK


def _tabs(row: dict[str, Any]) -> str:
    return "\t".join(str(value) for value in row.values())


def cmd_match(args: argparse.Namespace) -> int:
    def ask(index: Index, term: str) -> Rows:
        return [{"term": t, "distance": d} for t, d in index._matches(term, args.max_dist, args.limit)]

    return _serve(args, ask, _tabs)


def cmd_videos(args: argparse.Namespace) -> int:
    include = {"yes": True, "no": False, "auto": None}[args.include_prefix_nodes]

    def ask(index: Index, term: str) -> Rows:
        found = index.engine.fuzzy_match_video(index.normalize(term), args.max_dist, args.limit, include, args.min_score)
        return [{"video_id": video, "score": score} for video, score in found]

    return _serve(args, ask, lambda row: f"{row['video_id']}\t{row['score']:.6f}")


def cmd_suggest(args: argparse.Namespace) -> int:
    return _serve(args, lambda index, text: [s._asdict() for s in index.suggest(text, args.n, args.max_dist)], _tabs)


def cmd_complete(args: argparse.Namespace) -> int:
    return _serve(args, lambda index, prefix: [c._asdict() for c in index.complete(prefix, args.n)], _tabs)


def cmd_stats(args: argparse.Namespace) -> int:
    file = _read_index_file(args.snapshot)
    size = os.stat(args.snapshot).st_size if os.path.isfile(args.snapshot) else len(file.snapshot)
    try:
        snap = check_snapshot(file.snapshot)
    except SnapshotDecodeError as exc:
        raise Failure(f"{args.snapshot}: not a brindlex index ({exc})") from None
    # Every key is described in the README, under brindlex stats.
    figures: dict[str, Any] = {
        "nodes": snap.nodes,
        "terms": snap.terms,
        "videos": snap.videos,
        "id_mode": snap.id_mode_name,
        "text_mode": file.mode,
        "checksum": file.checksummed,
        "size": size,
        "trailing_bytes": snap.trailing_bytes,
        "notes": snap.notes,
        "damage": snap.damage,
    }
    with _writing():
        if args.json:
            _print_json(figures)
        else:
            print(f"nodes     {snap.nodes}")
            print(f"terms     {snap.terms}")
            print(f"videos    {snap.videos}")
            print(f"id mode   {snap.id_mode_name}")
            print(f"text mode {file.mode}")
            print(f"checksum  {'verified' if file.checksummed else 'none (a bare snapshot)'}")
            print(f"size      {size} bytes")
            for note in snap.notes:
                print(f"note      {note}")
    _refuse_damage(args.snapshot, snap.damage)
    with _writing():
        sys.stdout.flush()  # the figures before a message of the load below
    # Loaded as the queries load it, so that whatever they refuse, stats refuses too.
    _load(args.snapshot, file)
    return EXIT_OK


def _print_json(value: object) -> None:
    print(json.dumps(value, ensure_ascii=False))


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "build": cmd_build,
    "suggest": cmd_suggest,
    "complete": cmd_complete,
    "match": cmd_match,
    "videos": cmd_videos,
    "stats": cmd_stats,
}


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if sys.stdout is None:  # started with its descriptor closed: print() would drop everything
            raise Failure("cannot write <stdout>: standard output is closed")
        status = COMMANDS[args.command](args)
        with _writing():
            sys.stdout.flush()  # here, not at exit, where a failure would go unreported
        return status
    except UsageError as exc:
        args.usage_error(str(exc))  # exits with status 2
        raise
    except Failure as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:
        # The reader went away (| head): stop quietly with the status of a process that
        # SIGPIPE ended, which pipelines (and `set -o pipefail`) take for a failure, and
        # keep the interpreter from complaining again when it flushes stdout at exit.
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Stopped as exc:
        print(f"{PROG}: stopped by {signal.Signals(exc.signum).name}", file=sys.stderr)
        return 128 + exc.signum
