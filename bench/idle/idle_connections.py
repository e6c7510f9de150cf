#!/usr/bin/env python3
"""Idle control connections: how much resident memory each one costs the
service and how long greeting all of them takes.

Starts `orvyn s` on a temporary store with one instance on a free loopback
port, raises the open-file limit (the service inherits it), opens N control
connections in waves, waits until every one has received its 220 greeting,
and reads the service's VmRSS from /proc before and after.

    python3 bench/idle/idle_connections.py [--connections N] [--wave W] [--bin DIR]

N defaults to 10000 and is capped by what the open-file limit allows.
"""

import argparse
import os
import resource
import selectors
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import orvyntest  # noqa: E402


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for pid %d" % pid)


def raise_file_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = hard if hard != resource.RLIM_INFINITY else max(soft, wanted)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    except (ValueError, OSError):
        target = soft
    return target


def open_wave(port, count, sel, timeout):
    """Opens count connections and waits for each greeting; returns the sockets."""
    pending = {}
    socks = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_READ)
        pending[s] = b""
        socks.append(s)
    deadline = time.monotonic() + timeout
    while pending:
        left = deadline - time.monotonic()
        if left <= 0:
            raise RuntimeError("%d connections got no greeting in time" % len(pending))
        for key, _ in sel.select(left):
            s = key.fileobj
            try:
                data = s.recv(4096)
            except BlockingIOError:
                continue
            if not data:
                raise RuntimeError("connection closed before the greeting")
            pending[s] += data
            if pending[s].endswith(b"\r\n"):
                if not pending[s].startswith(b"220 "):
                    raise RuntimeError("unexpected greeting %r" % pending[s])
                sel.unregister(s)
                del pending[s]
    return socks


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--connections", type=int, default=10000)
    ap.add_argument("--wave", type=int, default=500, help="connections opened at once (listen backlog)")
    ap.add_argument("--bin", default=None, help="folder of the built programs (default $ORVYN_BIN or build/bin)")
    args = ap.parse_args()
    if args.bin:
        orvyntest.BIN = args.bin
    for name in ("orvyn", "orvyn-reg"):
        if not os.access(orvyntest.program(name), os.X_OK):
            sys.exit("missing %s: build it first (make, or cmake --build build)" % orvyntest.program(name))

    limit = raise_file_limit(args.connections + 200)
    n = max(1, min(args.connections, limit - 100))
    if n < args.connections:
        print("open-file limit %d: measuring %d connections instead of %d" % (limit, n, args.connections))

    with orvyntest.Sandbox(prefix="orvyn-bench-") as sb:
        port = orvyntest.free_port()
        # No activity log and no idle time-out: the service only holds the connections.
        sb.add_instance("Bench", port, log=False, values={"Security\\TimeOut": 0})
        svc = orvyntest.Service(sb).start()
        try:
            svc.wait_listening(port)
            time.sleep(0.5)
            before = vm_rss_kib(svc.proc.pid)
            sel = selectors.DefaultSelector()
            socks = []
            start = time.monotonic()
            try:
                while len(socks) < n:
                    socks += open_wave(port, min(args.wave, n - len(socks)), sel, timeout=300)
                elapsed = time.monotonic() - start
                time.sleep(0.5)
                after = vm_rss_kib(svc.proc.pid)
                # The service still answers while holding them all.
                with orvyntest.Control(port, timeout=60) as c:
                    noop = c.cmd("NOOP").strip()
                per_conn = (after - before) * 1024.0 / n
                print("idle control connections: %d" % n)
                print("service VmRSS before: %d KiB, after: %d KiB" % (before, after))
                print("resident memory per connection: %.0f bytes" % per_conn)
                print("time to greet all: %.2f s (%.0f connections/s)" % (elapsed, n / elapsed if elapsed > 0 else 0))
                print("extra connection while loaded: %s" % noop, flush=True)
                stop_start = time.monotonic()
                code = svc.stop(timeout=600)
                print("stop with %d sessions: %.2f s, exit status %d" % (n, time.monotonic() - stop_start, code))
            finally:
                for s in socks:
                    s.close()
                sel.close()
        finally:
            svc.stop(timeout=600)


if __name__ == "__main__":
    main()
