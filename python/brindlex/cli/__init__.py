"""The ``brindlex`` command: build an index file from a catalogue, query it, check it.

    brindlex build INPUT -o INDEX [--format tsv|jsonl] [--video-top-n N] [--no-fold] [--words]
    brindlex suggest INDEX (TEXT | --stdin) [-n N] [--max-dist K] [--no-transpositions] [--json]
    brindlex complete INDEX (PREFIX | --stdin) [-n N] [--max-dist K|auto] [--no-transpositions] [--json]
    brindlex match INDEX (TERM | --stdin) [--max-dist K] [--limit N] [--json]
    brindlex videos INDEX (TERM | --stdin) [--max-dist K] [--limit N]
                    [--include-prefix-nodes yes|no] [--min-score X] [--json]
    brindlex stats INDEX [--json]
    brindlex --version

Exit status: 0 success, 1 bad input (a bad row, an unreadable file, a file that is no
index or a damaged one) or output that cannot be written (a full device, a closed
standard output), 2 wrong usage, 141 when the reader of standard output went away (as
a process killed by SIGPIPE shows to its shell), 128 + N when stopped by signal N
(SIGINT, SIGTERM, SIGHUP).
"""

from __future__ import annotations

import signal
import sys
from collections.abc import Sequence

from ._args import argument_parser
from ._commands import COMMANDS
from ._errors import EXIT_BAD_INPUT, EXIT_BROKEN_PIPE, PROG, Failure, UsageError
from ._output import silence_stdout, writing
from ._signals import Stopped

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    args = argument_parser().parse_args(argv)
    try:
        if sys.stdout is None:  # started with its descriptor closed: print() would drop everything
            raise Failure("cannot write <stdout>: standard output is closed")
        status = COMMANDS[args.command](args)
        with writing():
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
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Stopped as exc:
        print(f"{PROG}: stopped by {signal.Signals(exc.signum).name}", file=sys.stderr)
        return 128 + exc.signum
