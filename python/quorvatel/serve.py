"""A small HTTP server for search as you type over one index, with the
standard library only: JSON endpoints for completions, suggestions and the
videos of a term, and one page that uses them.

    GET /                                    the search page
    GET /api/complete?q=TEXT[&limit=N][&max_dist=K|auto][&prefix_length=P][&transpositions=0|1]
    GET /api/suggest?q=TERM[&...the same]
    GET /api/videos?term=TERM[&limit=N][&max_dist=K]

Every answer is JSON (the page aside) and says how long the query took in
microseconds ("micros", measured around the library call). A request the
server cannot answer gets a 4xx status and {"error": "..."}; an unexpected
failure a 500 and {"error": "internal error"}: never a traceback.

Bounds: a query string of at most MAX_QUERY_BYTES bytes and MAX_FIELDS
fields, texts of at most quorvatel's 128 code points, limit at most
MAX_LIMIT, max_dist at most MAX_DIST, prefix_length at most 128.

The server binds to 127.0.0.1 unless told otherwise: it is meant for trying
an index out, not for the open network.
"""

from __future__ import annotations

import http.server
import json
import socket
import sys
import time
import urllib.parse
from collections.abc import Callable
from importlib import resources
from typing import Any, Final

import quorvatel

DEFAULT_HOST: Final = "127.0.0.1"
DEFAULT_PORT: Final = 8080
MAX_QUERY_BYTES: Final = 2048
MAX_FIELDS: Final = 8
MAX_LIMIT: Final = 100
MAX_DIST: Final = 3
MAX_TEXT: Final = 128
#: Idle connections are dropped after this many seconds.
TIMEOUT_S: Final = 30.0


class BadRequest(Exception):
    """A request the server answers with a 4xx status and this message."""

    def __init__(self, message: str, status: int = 400) -> None:
        super().__init__(message)
        self.status = status


def _page() -> bytes:
    return resources.files("quorvatel").joinpath("search_page.html").read_bytes()


def parse_query(raw: str) -> dict[str, str]:
    """The fields of a query string: percent-escapes decoded as UTF-8
    (strictly), '+' as a space, each name at most once."""
    data = raw.encode("latin-1", "replace")  # the request line as the client sent it
    if len(data) > MAX_QUERY_BYTES:
        raise BadRequest(f"the query string is longer than {MAX_QUERY_BYTES} bytes", 414)
    fields: dict[str, str] = {}
    for part in data.split(b"&") if data else []:
        if not part:
            continue
        name, _, value = part.partition(b"=")
        try:
            key = urllib.parse.unquote_to_bytes(name.replace(b"+", b" ")).decode("utf-8")
            text = urllib.parse.unquote_to_bytes(value.replace(b"+", b" ")).decode("utf-8")
        except UnicodeDecodeError:
            raise BadRequest("the query string is not UTF-8 text") from None
        if key in fields:
            raise BadRequest(f"{key!r} is given more than once")
        if len(fields) == MAX_FIELDS:
            raise BadRequest(f"more than {MAX_FIELDS} fields")
        fields[key] = text
    return fields


def _number(name: str, text: str, most: int) -> int:
    if not text.isascii() or not text.isdigit() or int(text[:12]) > most:
        raise BadRequest(f"{name} must be a whole number from 0 to {most}, not {text[:40]!r}")
    return int(text)


def _integer(fields: dict[str, str], name: str, default: int, most: int) -> int:
    text = fields.pop(name, None)
    return default if text is None else _number(name, text, most)


def _text(fields: dict[str, str], name: str) -> str:
    text = fields.pop(name, None)
    if text is None:
        raise BadRequest(f"{name} is missing")
    if len(text) > MAX_TEXT:
        raise BadRequest(f"{name} has {len(text)} characters; at most {MAX_TEXT} are allowed")
    return text


def _policy(fields: dict[str, str]) -> dict[str, Any]:
    text = fields.pop("max_dist", "auto")
    max_dist: int | str = "auto" if text == "auto" else _number("max_dist", text, MAX_DIST)
    swaps = fields.pop("transpositions", "1")
    if swaps not in ("0", "1", "true", "false"):
        raise BadRequest(f"transpositions must be 0, 1, true or false, not {swaps!r}")
    return {
        "limit": _integer(fields, "limit", 10, MAX_LIMIT),
        "max_dist": max_dist,
        "prefix_length": _integer(fields, "prefix_length", 0, MAX_TEXT),
        "transpositions": swaps in ("1", "true"),
    }


def _no_more(fields: dict[str, str]) -> None:
    if fields:
        raise BadRequest(f"unknown field {next(iter(fields))!r}")


class Handler(http.server.BaseHTTPRequestHandler):
    """Answers one connection; the index is the server's."""

    server: SearchServer
    server_version = "quorvatel"
    protocol_version = "HTTP/1.1"
    timeout = TIMEOUT_S

    # ------------------------------------------------------------ routes

    def _complete(self, fields: dict[str, str], search: Callable[..., list[quorvatel.Completion]]) -> dict[str, Any]:
        text = _text(fields, "q")
        policy = _policy(fields)
        _no_more(fields)
        start = time.perf_counter()
        found = search(self.server.index, text, **policy)
        micros = (time.perf_counter() - start) * 1e6
        return {
            "query": text,
            "results": [{"term": r.term, "count": r.count, "distance": r.distance} for r in found],
            "micros": round(micros, 1),
        }

    def _videos(self, fields: dict[str, str]) -> dict[str, Any]:
        term = _text(fields, "term")
        limit = _integer(fields, "limit", 10, MAX_LIMIT)
        max_dist = _integer(fields, "max_dist", 0, MAX_DIST)
        _no_more(fields)
        start = time.perf_counter()
        found = self.server.index.fuzzy_match_video(term, max_dist, limit)
        micros = (time.perf_counter() - start) * 1e6
        return {
            "term": term,
            "videos": [{"id": video, "score": score} for video, score in found],
            "micros": round(micros, 1),
        }

    def do_GET(self) -> None:  # noqa: N802 (the name http.server calls)
        self._answer(body=True)

    def do_HEAD(self) -> None:  # noqa: N802
        self._answer(body=False)

    def _refuse_method(self) -> None:
        self.close_connection = True  # a body may follow, unread
        self._send_json(405, {"error": f"{self.command} is not served; only GET and HEAD are"})

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse_method  # noqa: N815

    def _answer(self, body: bool) -> None:
        try:
            path, _, query = self.path.partition("?")
            fields = parse_query(query)
            if path == "/":
                _no_more(fields)
                self._send(200, _page(), "text/html; charset=utf-8", body)
                return
            if path == "/api/complete":
                answer = self._complete(fields, quorvatel.complete)
            elif path == "/api/suggest":
                answer = self._complete(fields, quorvatel.suggest)
            elif path == "/api/videos":
                answer = self._videos(fields)
            else:
                raise BadRequest("no such page", 404)
        except BadRequest as e:
            self._send_json(e.status, {"error": str(e)}, body)
            return
        except ValueError as e:  # the library's own checks of a text
            self._send_json(400, {"error": str(e)}, body)
            return
        except Exception as e:  # noqa: BLE001 (no traceback leaves the server)
            self.log_message("internal error: %s: %s", type(e).__name__, e)
            self._send_json(500, {"error": "internal error"}, body)
            return
        self._send_json(200, answer, body)

    # ------------------------------------------------------------ replies

    def _send(self, status: int, data: bytes, content_type: str, body: bool = True) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        if body:
            self.wfile.write(data)

    def _send_json(self, status: int, answer: dict[str, Any], body: bool = True) -> None:
        data = json.dumps(answer, ensure_ascii=False).encode("utf-8")
        self._send(status, data, "application/json; charset=utf-8", body)

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        """What http.server sends for a request it cannot read (a bad request
        line, a method without a handler, headers too long): JSON too."""
        self.close_connection = True
        try:
            self._send_json(code, {"error": message or http.HTTPStatus(code).phrase}, self.command != "HEAD")
        except OSError:
            pass

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 (http.server's name)
        if not self.server.quiet:
            sys.stderr.write(f"{self.address_string()} - {format % args}\n")


class SearchServer(http.server.ThreadingHTTPServer):
    """A threading HTTP server holding one index."""

    daemon_threads = True

    def __init__(self, index: quorvatel.PrefixSearch | quorvatel.MappedIndex, host: str = DEFAULT_HOST,
                 port: int = DEFAULT_PORT,
                 quiet: bool = False) -> None:
        self.index = index
        self.quiet = quiet
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), Handler)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        shown = f"[{host}]" if self.address_family == socket.AF_INET6 else str(host)
        return f"http://{shown}:{port}/"


def serve(index_path: str, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, quiet: bool = False) -> int:
    """Loads the index at `index_path` and serves it until interrupted."""
    index = quorvatel._index_at(index_path)
    with SearchServer(index, host, port, quiet) as server:
        print(f"serving {index_path} on {server.url} (Ctrl-C to stop)", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
    return 0
