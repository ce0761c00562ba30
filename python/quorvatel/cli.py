"""The command line: build an index from a TSV file of records, query it,
report what it holds.

    python -m quorvatel build RECORDS.tsv -o INDEX [--video-top-n N] [--format snapshot|mapped] [--progress]
    python -m quorvatel query INDEX TERM [--max-dist K] [--videos] [--limit N]
    python -m quorvatel complete INDEX TEXT [--limit N] [--max-dist K|auto] [--prefix-length P] [--no-transpositions]
    python -m quorvatel suggest INDEX TERM [the same options]
    python -m quorvatel serve INDEX [--host 127.0.0.1] [--port 8080]
    python -m quorvatel info INDEX

A mistake in the command line exits with status 2, bad data (a record, a
file that is no index, a file that cannot be read) with status 1; either way
the reason is one line on standard error.
"""

from __future__ import annotations

import argparse
import array
import os
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import NoReturn, TextIO

import quorvatel
from quorvatel import tsv

PROG = "quorvatel"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _Failure(Exception):
    """A data error: its text is the one line printed."""


def _natural(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value


class _Progress:
    """One status line on standard error, rewritten in place at most every
    tenth of a second; silent when not enabled."""

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self._stream = stream
        self._enabled = enabled
        self._last = 0.0
        self._width = 0

    def show(self, text: str, force: bool = False) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        if not force and now - self._last < 0.1:
            return
        self._last = now
        self._stream.write("\r" + text.ljust(self._width))
        self._stream.flush()
        self._width = len(text)

    def clear(self) -> None:
        if self._enabled and self._width:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._width = 0

    def while_running[T](self, label: str, work: Callable[[], T]) -> T:
        """Runs `work`, showing the time it has taken so far. The native
        build lets go of the interpreter lock for its heavy part, so the
        display keeps moving."""
        if not self._enabled:
            return work()
        done = threading.Event()
        start = time.monotonic()
        self.show(f"{label}...", force=True)

        def tick() -> None:
            while not done.wait(0.2):
                self.show(f"{label}: {time.monotonic() - start:.1f} s", force=True)

        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        try:
            return work()
        finally:
            done.set()
            ticker.join()


def _read_records(path: str, progress: _Progress) -> tuple[list[tsv.Record], array.array[int]]:
    """The records of `path` ('-' for standard input) and the line of each."""
    records: list[tsv.Record] = []
    lines = array.array("Q")
    name = "<stdin>" if path == "-" else path
    f = sys.stdin.buffer if path == "-" else open(path, "rb")
    try:
        size = os.fstat(f.fileno()).st_size if path != "-" else 0
        for number, record in tsv.records(f, name):
            records.append(record)
            lines.append(number)
            if number & 0x3FFF == 0:
                done = f" ({100 * f.tell() // size}%)" if size else ""
                progress.show(f"reading {name}: {len(records):,} records{done}")
    finally:
        if f is not sys.stdin.buffer:
            f.close()
    progress.show(f"read {name}: {len(records):,} records", force=True)
    return records, lines


def _build(args: argparse.Namespace) -> int:
    progress = _Progress(sys.stderr, args.progress or sys.stderr.isatty())
    start = time.perf_counter()
    records, lines = _read_records(args.records, progress)
    read = time.perf_counter()
    try:
        index = progress.while_running(
            f"building the index of {len(records):,} records",
            lambda: quorvatel.build(records, video_top_n=args.video_top_n),
        )
    except (TypeError, ValueError) as e:
        row = getattr(e, "row", None)
        name = "<stdin>" if args.records == "-" else args.records
        if isinstance(row, int) and 0 <= row < len(lines):
            prefix = f"row {row}: "
            text = str(e)
            raise _Failure(f"{name}:{lines[row]}: {text.removeprefix(prefix)}") from None
        raise _Failure(f"{name}: {e}") from None
    finally:
        progress.clear()
    built = time.perf_counter()
    del records
    quorvatel.save(index, args.output, format=args.format)
    saved = time.perf_counter()
    found = quorvatel.info(args.output)
    print(
        f"wrote {args.output}: {found.terms:,} terms, {found.nodes:,} nodes, {found.videos:,} videos "
        f"({found.id_mode} ids), {found.bytes:,} bytes; read {read - start:.2f} s, "
        f"built {built - read:.2f} s, saved {saved - built:.2f} s"
    )
    return 0


def _query(args: argparse.Namespace) -> int:
    index = quorvatel._index_at(args.index)
    if args.videos:
        for video, score in index.fuzzy_match_video(args.term, args.max_dist, args.limit):
            print(f"{video}\t{score:.6g}")
    else:
        for term, _, distance in index.fuzzy_match(args.term, args.max_dist, args.limit):
            print(f"{term}\t{distance}")
    return 0


def _port(text: str) -> int:
    value = _natural(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port (0 to 65535)")
    return value


def _max_dist(text: str) -> int | str:
    if text == "auto":
        return text
    try:
        return _natural(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither auto nor a whole number") from None


def _complete(args: argparse.Namespace) -> int:
    index = quorvatel._index_at(args.index)
    search = quorvatel.complete if args.command == "complete" else quorvatel.suggest
    found = search(index, args.text, limit=args.limit, max_dist=args.max_dist, prefix_length=args.prefix_length,
                   transpositions=args.transpositions)
    for term, count, distance in found:
        print(f"{term}\t{count}\t{distance}")
    return 0


def _serve(args: argparse.Namespace) -> int:
    from quorvatel import serve

    return serve.serve(args.index, args.host, args.port, args.quiet)


def _info(args: argparse.Namespace) -> int:
    found = quorvatel.info(args.index)
    for label, value in (
        ("nodes", f"{found.nodes}"),
        ("edges", f"{found.edges}"),
        ("terms", f"{found.terms}"),
        ("videos", f"{found.videos}"),
        ("id mode", found.id_mode),
        ("bytes", f"{found.bytes}"),
    ):
        print(f"{label:<8}{value}")
    if found.problem is not None:
        raise _Failure(f"{args.index}: not an index that quorvatel writes: {found.problem}")
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Typo-tolerant search over terms and the videos they lead to.")
    parser.add_argument("--version", action="version", version=f"{PROG} {quorvatel.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    build = commands.add_parser(
        "build",
        help="build an index from a TSV file of records",
        description="Build an index from RECORDS, lines of term<TAB>video_id<TAB>count "
        "(video id: UUID, decimal integer, or empty; '#' starts a comment line).",
    )
    build.add_argument("records", metavar="RECORDS", help="the TSV file, or - for standard input")
    build.add_argument("-o", "--output", metavar="INDEX", required=True, help="where to write the index")
    build.add_argument(
        "--video-top-n",
        type=_natural,
        default=quorvatel.DEFAULT_VIDEO_TOP_N,
        metavar="N",
        help=f"videos kept per node, best first (default {quorvatel.DEFAULT_VIDEO_TOP_N})",
    )
    build.add_argument(
        "--format",
        choices=quorvatel.FORMATS,
        default="snapshot",
        help="snapshot (the default: load() reads it) or mapped (open() maps it, shared by processes)",
    )
    build.add_argument("--progress", action="store_true", help="show progress even when stderr is no terminal")
    build.set_defaults(run=_build)

    query = commands.add_parser("query", help="find terms or videos within a few edits of TERM")
    query.add_argument("index", metavar="INDEX")
    query.add_argument("term", metavar="TERM")
    query.add_argument("--max-dist", type=_natural, default=1, metavar="K", help="edits allowed (default 1)")
    query.add_argument("--videos", action="store_true", help="list videos with their scores instead of terms")
    query.add_argument("--limit", type=_natural, default=None, metavar="N", help="at most N results")
    query.set_defaults(run=_query)

    for name, what, help_text in (
        ("complete", "TEXT", "the most frequent terms that continue TEXT, typos allowed"),
        ("suggest", "TERM", "the most frequent terms within a few edits of TERM (did you mean)"),
    ):
        search = commands.add_parser(
            name, help=help_text,
            description=f"Print the {help_text} as term<TAB>count<TAB>distance lines, best first.",
        )
        search.add_argument("index", metavar="INDEX")
        search.add_argument("text", metavar=what)
        search.add_argument("--limit", type=_natural, default=10, metavar="N", help="at most N results (default 10)")
        search.add_argument("--max-dist", type=_max_dist, default="auto", metavar="K",
                            help="edits allowed, or auto: 0 up to 2 characters, 1 up to 5, 2 beyond (default)")
        search.add_argument("--prefix-length", type=_natural, default=0, metavar="P",
                            help="the first P characters must be typed right (default 0)")
        search.add_argument("--no-transpositions", dest="transpositions", action="store_false",
                            help="count a swap of two neighbours as two edits, not one")
        search.set_defaults(run=_complete)

    serve = commands.add_parser(
        "serve", help="serve an index over HTTP with a search page",
        description="Serve INDEX over HTTP: a search page at / and JSON at /api/complete, /api/suggest and "
        "/api/videos. Binds to 127.0.0.1 unless --host says otherwise.",
    )
    serve.add_argument("index", metavar="INDEX")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=_port, default=8080, help="port to listen on, 0 for any free one (default 8080)")
    serve.add_argument("--quiet", action="store_true", help="do not log each request on standard error")
    serve.set_defaults(run=_serve)

    info = commands.add_parser("info", help="report what an index holds")
    info.add_argument("index", metavar="INDEX")
    info.set_defaults(run=_info)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        status = run(args)
        sys.stdout.flush()
        return status
    except _Failure as e:
        message = str(e)
    except tsv.TsvError as e:
        message = str(e)
    except ValueError as e:
        message = str(e)
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            # The reader went away (as `| head` does); that is not an error of ours.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 0
        where = e.filename if e.filename is not None else ""
        message = f"{where}: {e.strerror}" if where else (e.strerror or str(e))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    print(f"{PROG}: {' '.join(message.split(chr(10)))}", file=sys.stderr)
    return 1
