"""Queries answered one by one: TERM, or every line of standard input, each answer
printed and flushed before the next query is read."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Iterator
from typing import Any

from .._index import Index
from ._errors import EXIT_OK, Failure, UsageError
from ._loading import load, run_query
from ._output import print_json, writing


def queries_of(args: argparse.Namespace) -> Iterator[str]:
    """TERM, or with --stdin every line of standard input."""
    if args.term is not None and args.stdin:
        raise UsageError("give either TERM or --stdin, not both")
    if args.term is None and not args.stdin:
        raise UsageError("the query TERM is missing (or give --stdin)")
    return stdin_queries() if args.stdin else iter([args.term])


def stdin_queries() -> Iterator[str]:
    """The lines of standard input but empty ones, which a client may send to keep a
    pipe alive or by accident, and which no index answers anyway."""
    for number, raw in enumerate(sys.stdin.buffer, start=1):
        line = raw.removesuffix(b"\n").removesuffix(b"\r")
        if not line:
            continue
        try:
            yield line.decode("utf-8")
        except UnicodeDecodeError:
            raise Failure(f"<stdin>:{number}: the query is not valid UTF-8") from None


def answer(
    args: argparse.Namespace, query: str, rows: list[dict[str, Any]], line: Callable[[dict[str, Any]], str]
) -> None:
    """Prints the answer to one query: JSON, or one line per result, which in a batch
    starts with the query and ends with an empty line, so that a reader can tell an
    answer without results from one not yet written. A batch is flushed query by
    query, for a reader that waits for each answer before it asks the next."""
    with writing():
        if args.json:
            print_json({"query": query, "results": rows} if args.stdin else rows)
        else:
            prefix = f"{query}\t" if args.stdin else ""
            for row in rows:
                print(prefix + line(row))
            if args.stdin:
                print()
        if args.stdin:
            sys.stdout.flush()


Rows = list[dict[str, Any]]


def serve(args: argparse.Namespace, ask: Callable[[Index, str], Rows], line: Callable[[dict[str, Any]], str]) -> int:
    """Answers TERM, or every line of standard input, with ask(index, query)."""
    queries = queries_of(args)
    index = load(args.snapshot)
    for query in queries:
        rows = run_query(args.snapshot, lambda: ask(index, query))
        answer(args, query, rows, line)
    return EXIT_OK


def tabs(row: dict[str, Any]) -> str:
    return "\t".join(str(value) for value in row.values())
