#!/usr/bin/env python3
"""Accepts per second of a fresh service and of one that has served many
connections: a burst of clients that connect, read the greeting and close,
measured at the start and again after --served connections. Also prints the
size of the configuration store and its write-ahead log at both points.

    python3 bench/idle/accept_rate.py [--served 100000] [--sample 5000] [--wave 200] [--bin DIR]
"""

import argparse
import os
import selectors
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import orvyntest  # noqa: E402


def serve(port, count, wave):
    """count clients in waves of `wave` at once: connect, greeting, close.
    Returns the seconds it took."""
    sel = selectors.DefaultSelector()
    start = time.monotonic()
    done = 0
    while done < count:
        pending = {}
        for _ in range(min(wave, count - done)):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            # The client resets instead of closing: its own TIME_WAIT ports
            # would otherwise slow down its connects, not the server.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            sel.register(s, selectors.EVENT_READ)
            pending[s] = b""
        while pending:
            for key, _ in sel.select(30):
                s = key.fileobj
                data = s.recv(4096)
                pending[s] += data
                if not data or pending[s].endswith(b"\r\n"):
                    if not pending[s].startswith(b"220 "):
                        raise RuntimeError("unexpected greeting %r" % pending[s])
                    sel.unregister(s)
                    s.close()
                    del pending[s]
                    done += 1
    sel.close()
    return time.monotonic() - start


def store_sizes(sb):
    out = []
    for suffix in ("", "-wal"):
        path = sb.store + suffix
        out.append(os.path.getsize(path) // 1024 if os.path.exists(path) else 0)
    return "store %d KiB, write-ahead log %d KiB" % tuple(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--served", type=int, default=100000)
    ap.add_argument("--sample", type=int, default=5000)
    ap.add_argument("--wave", type=int, default=200)
    ap.add_argument("--bin", default=None)
    args = ap.parse_args()
    if args.bin:
        orvyntest.BIN = args.bin
    with orvyntest.Sandbox(prefix="orvyn-bench-") as sb:
        svc = sb.start_instance("Bench", log=False)
        try:
            fresh = serve(svc.port, args.sample, args.wave)
            print("fresh: %.0f accepts/s (%d clients); %s" % (args.sample / fresh, args.sample, store_sizes(sb)),
                  flush=True)
            left = max(0, args.served - args.sample)
            middle = serve(svc.port, left, args.wave)
            print("served %d more in %.1f s" % (left, middle), flush=True)
            later = serve(svc.port, args.sample, args.wave)
            print("after %d: %.0f accepts/s; %s" % (args.served, args.sample / later, store_sizes(sb)))
            print("ratio later / fresh: %.2f" % (fresh / later))
        finally:
            svc.stop(timeout=120)


if __name__ == "__main__":
    main()
