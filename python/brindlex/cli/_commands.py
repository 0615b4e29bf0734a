"""The commands: each takes its parsed arguments and returns the exit status."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable
from typing import Any

from .._fold import TextMode, normaliser
from .._format import encode_notes, no_snapshot_error
from .._index import Index
from .._opening import index_chunks
from .._results import Completion, Suggestion
from .._words import add_words
from .._rows import RowError, row_of
from ._check import SnapshotDecodeError, check_snapshot
from ._errors import EXIT_OK, Failure, UsageError
from ._input import input_format, open_input, same_regular_file
from ._loading import load, native, read_index_file, refuse_damage
from ._output import print_json, write_output, writing
from ._progress import Progress
from ._serving import Rows, serve, tabs


def cmd_build(args: argparse.Namespace) -> int:
    if same_regular_file(args.input, args.output):
        raise UsageError(f"the output {args.output} is the input file: the catalogue would be lost")
    native()
    name = "<stdin>" if args.input == "-" else args.input
    fmt = input_format(args.input, args.format)
    progress = Progress(sys.stderr)
    stream, bounded, size = open_input(args.input)
    label = f"reading {os.path.basename(name)}"
    mode: TextMode = "fold" if args.fold else "nfc"
    from .._native import read_catalogue

    try:
        try:
            # Rows are read, merged and built natively, without a Python object per row.
            engine, shown, fixes, rows, videos, terms, nodes, ids = read_catalogue(
                bounded, fmt, args.video_top_n, mode, normaliser(mode), row_of, RowError,
                lambda done: progress.update(label, done, size, " bytes"), args.sum_counts,
                args.text_ids,
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
        # The file of Index._built(...).save(), without the Index: the term tables are
        # made once, to be written out.
        from .._native import Lookup

        notes = encode_notes(shown, fixes)
        lookup = Lookup(engine, notes, Suggestion, Completion, ids)
        if args.words:
            progress.phase("finding word starts")
            add_words(lookup)
        chunks = index_chunks(lookup, engine, notes, mode, args.video_top_n)
        write_output(args.output, chunks)
    finally:
        progress.close()
    # With the index on standard output, the summary goes beside it on standard error.
    with writing():
        print(
            f"{'<stdout>' if args.output == '-' else args.output}: {rows} rows, "
            f"{terms} terms, {videos} videos, {nodes} nodes, "
            f"{sum(map(len, chunks))} bytes",
            file=sys.stderr if args.output == "-" else sys.stdout,
        )
    return EXIT_OK


def cmd_match(args: argparse.Namespace) -> int:
    def ask(index: Index, term: str) -> Rows:
        return [{"term": t, "distance": d} for t, d in index._matches(term, args.max_dist, args.limit)]

    return serve(args, ask, tabs)


def cmd_videos(args: argparse.Namespace) -> int:
    include = {"yes": True, "no": False, "auto": None}[args.include_prefix_nodes]

    def ask(index: Index, term: str) -> Rows:
        found = index.videos(term, args.limit, max_dist=args.max_dist, include_prefix_nodes=include,
                             min_score=args.min_score)
        return [{"video_id": video, "score": score} for video, score in found]

    return serve(args, ask, lambda row: f"{row['video_id']}\t{row['score']:.6f}")


def cmd_suggest(args: argparse.Namespace) -> int:
    def ask(index: Index, text: str) -> Rows:
        found = index.suggest(text, args.n, max_dist=args.max_dist, transpositions=args.transpositions)
        return [s._asdict() for s in found]

    return serve(args, ask, tabs)


def cmd_complete(args: argparse.Namespace) -> int:
    def ask(index: Index, prefix: str) -> Rows:
        found = index.complete(prefix, args.n, max_dist=args.max_dist, transpositions=args.transpositions)
        return [c._asdict() for c in found]

    return serve(args, ask, tabs)


def cmd_stats(args: argparse.Namespace) -> int:
    file = read_index_file(args.snapshot)
    mappable = file.whole is not None
    if mappable:
        # The figures of the store the file holds, read in place and encoded as a
        # snapshot, so that both versions are checked alike.
        index = load(args.snapshot)
        snapshot = index.engine.to_bytes()
        mode: str = index.text_mode
        words = index.words
    else:
        snapshot, mode, words = file.snapshot, file.mode, False
    size = os.stat(args.snapshot).st_size if os.path.isfile(args.snapshot) else len(file.whole or file.snapshot)
    try:
        snap = check_snapshot(snapshot)
    except SnapshotDecodeError as exc:
        if file.checksummed:
            raise Failure(f"{args.snapshot}: the snapshot in the file cannot be read ({exc})") from None
        raise Failure(str(no_snapshot_error(args.snapshot, exc))) from None
    # Every key is described in docs/cli.md, under brindlex stats.
    figures: dict[str, Any] = {
        "nodes": snap.nodes,
        "terms": snap.terms,
        "videos": snap.videos,
        "id_mode": snap.id_mode_name,
        "id_form": index.id_form if mappable else snap.id_mode_name,
        "text_mode": mode,
        "checksum": file.checksummed,
        "format": 2 if mappable else 1 if file.checksummed else 0,
        "mappable": mappable,
        "size": size,
        "snapshot_bytes": snap.size,
        "words": words,
        "trailing_bytes": snap.trailing_bytes,
        "notes": snap.notes,
        "damage": snap.damage,
    }
    with writing():
        if args.json:
            print_json(figures)
        else:
            print(f"nodes     {snap.nodes}")
            print(f"terms     {snap.terms}")
            print(f"videos    {snap.videos}")
            print(f"id mode   {snap.id_mode_name}")
            if mappable and index.id_form == "text":
                print("id form   text (the file's id table gives the catalogue's ids)")
            print(f"text mode {mode}")
            print(f"checksum  {'verified' if file.checksummed else 'none (a bare snapshot)'}")
            if mappable:
                print("format    2 (mapped in place)")
            else:
                print(f"format    {'1' if file.checksummed else 'a bare snapshot'} (decoded on load; "
                      "brindlex build or save writes the version used in place)")
            print(f"size      {size} bytes")
            if words:
                print("words     every word start is matched (built with --words)")
            for note in snap.notes:
                print(f"note      {note}")
    with writing():
        sys.stdout.flush()  # the figures before a message of the load below
    # Loaded as the queries load it, so that whatever they refuse, stats refuses too, in
    # their words (a file used in place was loaded so above).
    if not mappable:
        load(args.snapshot, file)
    refuse_damage(args.snapshot, snap.damage)
    return EXIT_OK


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "build": cmd_build,
    "suggest": cmd_suggest,
    "complete": cmd_complete,
    "match": cmd_match,
    "videos": cmd_videos,
    "stats": cmd_stats,
}
