"""Several worker processes serving one mapped index file on one port.

    python -m quorvatel build RECORDS.tsv -o index.qvx
    python -c "import quorvatel; quorvatel.save(quorvatel.load('index.qvx'), 'index.qvm', format='mapped')"
    python examples/serve_workers.py index.qvm --workers 8 --port 8080

Each worker maps the file itself (quorvatel.open: no decoding, no private
copy; the pages are shared through the page cache) and runs the package's
search server on the same port (SO_REUSEPORT: the kernel spreads the
connections over the workers). Replacing the file with quorvatel.save while
they run is safe: they keep the old file's pages until they open it again.
Ctrl-C (or SIGTERM to the first process) stops them all.
"""

from __future__ import annotations

import argparse
import os
import signal

import quorvatel
from quorvatel.serve import SearchServer


class SharedPortServer(SearchServer):
    allow_reuse_port = True


def work(path: str, host: str, port: int) -> None:
    index = quorvatel.open(path)
    with SharedPortServer(index, host, port, quiet=True) as server:
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("index")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    args = parser.parse_args()
    quorvatel.open(args.index, verify=True)  # a damaged file stops here, before any worker starts
    children = []
    for _ in range(args.workers):
        pid = os.fork()
        if pid == 0:
            try:
                work(args.index, args.host, args.port)
            finally:
                os._exit(0)
        children.append(pid)
    # Ctrl-C, or SIGTERM from a process manager, stops the workers too.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    print(f"{args.workers} workers serving {args.index} on http://{args.host}:{args.port}/ "
          f"(pids {' '.join(map(str, children))}; Ctrl-C to stop)", flush=True)
    try:
        for pid in children:
            os.waitpid(pid, 0)
    except KeyboardInterrupt:
        for pid in children:
            os.kill(pid, signal.SIGTERM)


if __name__ == "__main__":
    main()
