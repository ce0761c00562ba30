"""The search server: its JSON answers, and a clean 4xx JSON error (never a
traceback) for every request it cannot answer; the command line's complete,
suggest and serve."""

import http.client
import json
import socket
import subprocess
import sys
import threading
import urllib.parse
import uuid

import pytest

import quorvatel
from quorvatel import serve

RECORDS = [
    ("python", uuid.UUID(int=1), 30), ("python", uuid.UUID(int=2), 5), ("pythons", uuid.UUID(int=2), 4),
    ("jython", None, 7), ("java", uuid.UUID(int=3), 12), ("東京", uuid.UUID(int=4), 2),
]


@pytest.fixture(scope="module")
def server():
    index = quorvatel.build(RECORDS)
    with serve.SearchServer(index, "127.0.0.1", 0, quiet=True) as running:
        thread = threading.Thread(target=running.serve_forever, daemon=True)
        thread.start()
        yield running
        running.shutdown()
        thread.join()


def request(server, method, target, headers=None):
    host, port = server.server_address[:2]
    connection = http.client.HTTPConnection(host, port, timeout=10)
    try:
        connection.request(method, target, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        connection.close()


def get_json(server, target):
    status, content_type, body = request(server, "GET", target)
    assert content_type == "application/json; charset=utf-8"
    return status, json.loads(body)


def raw(server, data):
    """Sends bytes as they are and returns the answer's status and body."""
    with socket.create_connection(server.server_address[:2], timeout=10) as s:
        s.sendall(data)
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
    head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]), body


def test_answers(server):
    status, answer = get_json(server, "/api/complete?q=pyhto&max_dist=1")
    assert status == 200 and answer["query"] == "pyhto" and answer["micros"] >= 0
    assert answer["results"] == [
        {"term": "python", "count": 35, "distance": 1}, {"term": "pythons", "count": 4, "distance": 1}
    ]
    status, answer = get_json(server, "/api/suggest?q=pyhton&transpositions=0&limit=1")
    assert answer["results"] == [{"term": "python", "count": 35, "distance": 2}]
    status, answer = get_json(server, "/api/complete?" + urllib.parse.urlencode({"q": "東"}))
    assert answer["results"] == [{"term": "東京", "count": 2, "distance": 0}]
    status, answer = get_json(server, "/api/videos?term=python")
    assert [v["id"] for v in answer["videos"]] == [str(uuid.UUID(int=1)), str(uuid.UUID(int=2))]
    status, content_type, body = request(server, "GET", "/")
    assert status == 200 and content_type == "text/html; charset=utf-8" and b'id="completions"' in body
    assert request(server, "HEAD", "/api/complete?q=py")[2] == b""


@pytest.mark.parametrize(
    "target, status, message",
    [
        ("/nowhere", 404, "no such page"),
        ("/api/complete", 400, "q is missing"),
        ("/api/complete?q=%ff", 400, "the query string is not UTF-8 text"),
        ("/api/complete?q=a&q=b", 400, "'q' is given more than once"),
        ("/api/complete?q=a&limit=101", 400, "limit must be a whole number from 0 to 100, not '101'"),
        ("/api/complete?q=a&limit=" + "9" * 400, 400, "limit must be a whole number from 0 to 100, not '" + "9" * 40),
        ("/api/complete?q=a&limit=-1", 400, "limit must be a whole number from 0 to 100, not '-1'"),
        ("/api/complete?q=a&max_dist=4", 400, "max_dist must be a whole number from 0 to 3, not '4'"),
        ("/api/complete?q=a&transpositions=yes", 400, "transpositions must be 0, 1, true or false, not 'yes'"),
        ("/api/complete?q=a&colour=red", 400, "unknown field 'colour'"),
        ("/api/complete?q=" + "a" * 129, 400, "q has 129 characters; at most 128 are allowed"),
        ("/api/complete?" + "&".join(f"f{i}=1" for i in range(9)), 400, "more than 8 fields"),
        ("/api/complete?q=" + "a" * 3000, 414, "the query string is longer than 2048 bytes"),
        ("/api/videos?term=python&max_dist=x", 400, "max_dist must be a whole number from 0 to 3, not 'x'"),
    ],
)
def test_bad_requests_get_json_errors(server, target, status, message):
    got, answer = get_json(server, target)
    assert got == status and answer["error"].startswith(message)


@pytest.mark.parametrize(
    "data, status",
    [
        (b"GARBAGE\r\n\r\n", 400),
        (b"GET /api/complete?q=\xff\xfe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 400),
        (b"POST /api/complete?q=a HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", 405),
        (b"BREW /pot HTTP/1.1\r\nHost: x\r\n\r\n", 501),
        (b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n", 414),
        (b"GET / HTTP/1.1\r\n" + b"X: y\r\n" * 200 + b"\r\n", 431),
    ],
)
def test_requests_it_cannot_read_get_json_errors(server, data, status):
    got, body = raw(server, data)
    assert got == status
    assert "error" in json.loads(body) and b"Traceback" not in body


# ---------------------------------------------------------------- the command line


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvatel", *map(str, args)], capture_output=True, text=True,
                          timeout=60, **kwargs)


@pytest.fixture(scope="module")
def index_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("index") / "ix"
    quorvatel.save(quorvatel.build(RECORDS), path)
    return path


def test_complete_and_suggest_commands(index_file):
    assert run("complete", index_file, "pyhto").stdout == "python\t35\t1\npythons\t4\t1\n"
    assert run("complete", index_file, "pyhto", "--limit", "1", "--max-dist", "1").stdout == "python\t35\t1\n"
    assert run("suggest", index_file, "pyhton", "--no-transpositions").stdout == "python\t35\t2\n"
    assert run("complete", index_file, "jy", "--prefix-length", "2", "--max-dist", "2").stdout == "jython\t7\t0\n"
    bad = run("complete", index_file, "py", "--max-dist", "two")
    assert bad.returncode == 2 and bad.stderr == (
        "quorvatel complete: error: argument --max-dist: 'two' is neither auto nor a whole number "
        "(see quorvatel complete --help)\n"
    )
    long = run("suggest", index_file, "x" * 200)
    assert long.returncode == 1
    assert long.stderr == "quorvatel: term has 200 code points; a search takes at most 128\n"


def test_serve_command(index_file):
    server = subprocess.Popen(
        [sys.executable, "-m", "quorvatel", "serve", str(index_file), "--port", "0", "--quiet"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        line = server.stdout.readline()
        assert line.startswith(f"serving {index_file} on http://127.0.0.1:") and line.endswith(" (Ctrl-C to stop)\n")
        url = line.split(" on ")[1].split(" ")[0]
        host, port = urllib.parse.urlsplit(url).hostname, urllib.parse.urlsplit(url).port
        connection = http.client.HTTPConnection(host, port, timeout=10)
        connection.request("GET", "/api/complete?q=jav")
        answer = json.loads(connection.getresponse().read())
        assert answer["results"] == [{"term": "java", "count": 12, "distance": 0}]
        connection.close()
    finally:
        server.send_signal(2)  # Ctrl-C
        assert server.wait(timeout=20) == 0
    assert server.stderr.read() == ""


def test_serve_refuses_a_file_that_is_no_index(tmp_path):
    (tmp_path / "x").write_bytes(b"\x01")
    out = run("serve", tmp_path / "x", "--port", "0")
    assert out.returncode == 1 and out.stderr.startswith(f"quorvatel: {tmp_path / 'x'}: decode error")
    assert run("serve", tmp_path / "x", "--port", "70000").returncode == 2
