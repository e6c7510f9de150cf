#!/usr/bin/env python3
"""Idle control connections: how much resident memory and how many
descriptors each one costs the service, and how long greeting (and logging
in) all of them takes.

Starts `orvyn s` on a temporary store with one instance on a free loopback
port, raises the open-file limit (the service inherits it), opens N control
connections in waves, waits until every one has received its 220 greeting
(with --login, until each has logged in: anonymous, or a user of the own
password store), and reads the service's VmRSS and open descriptors from
/proc before and after.

    python3 bench/idle/idle_connections.py [--connections N] [--wave W] [--login anonymous|user] [--bin DIR]

N defaults to 10000 and is capped by what the open-file limit allows. Above
20000 connections the clients use several loopback source addresses.
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


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def raise_file_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < wanted:
        try:  # root may raise the hard limit too
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, wanted))
            return wanted
        except (ValueError, OSError):
            pass
    target = hard if hard != resource.RLIM_INFINITY else max(soft, wanted)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    except (ValueError, OSError):
        target = soft
    return target


# The dialogue of a logging-in client: what to send after each reply.
LOGINS = {
    "anonymous": [b"USER anonymous\r\n", b"PASS bench@example.org\r\n"],
    "user": [b"USER bench\r\n", b"PASS bench\r\n"],
}


def open_wave(port, count, sel, timeout, first=0, login=None):
    """Opens count connections and waits for each greeting (and login);
    returns the sockets."""
    pending = {}
    steps = {}
    socks = []
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        # A loopback source address per 20000 clients: one has too few ports.
        # (Only where needed: binding a port costs the client a search past
        # every port of its own in TIME_WAIT, connecting does not.)
        source = 1 + (first + i) // 20000
        if source > 1:
            s.bind(("127.0.0.%d" % source, 0))
        s.connect_ex(("127.0.0.1", port))
        sel.register(s, selectors.EVENT_READ)
        pending[s] = b""
        steps[s] = list(LOGINS[login]) if login else []
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
            if not pending[s].endswith(b"\r\n"):
                continue
            reply = pending[s].split(b"\r\n")[-2]
            if reply[3:4] == b"-":
                continue  # a multi-line reply goes on
            if not reply[:1] in (b"2", b"3"):
                raise RuntimeError("unexpected reply %r" % pending[s])
            pending[s] = b""
            if steps[s]:
                s.sendall(steps[s].pop(0))
                continue
            if login and not reply.startswith(b"230 "):
                raise RuntimeError("not logged in: %r" % reply)
            sel.unregister(s)
            del pending[s]
    return socks


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--connections", type=int, default=10000)
    ap.add_argument("--wave", type=int, default=500, help="connections opened at once (listen backlog)")
    ap.add_argument("--login", choices=sorted(LOGINS), default=None,
                    help="log every connection in (anonymous, or the own-store user bench)")
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
        home = os.path.join(sb.dir, "home")
        os.mkdir(home)
        sb.add_instance("Bench", port, log=False,
                        values={"Security\\TimeOut": 0, "Security\\Allow_Anon": 1, "Security\\MaxUsers": 0,
                                "Users\\default\\Home": home})
        if args.login == "user":
            sb.add_user("bench", "bench", home=home, instance="Bench")
        svc = orvyntest.Service(sb, timer_ms=500).start()
        try:
            svc.wait_listening(port)
            time.sleep(0.5)
            before = vm_rss_kib(svc.proc.pid)
            fds_before = open_descriptors(svc.proc.pid)
            sel = selectors.DefaultSelector()
            socks = []
            start = time.monotonic()
            try:
                while len(socks) < n:
                    socks += open_wave(port, min(args.wave, n - len(socks)), sel, timeout=300, first=len(socks),
                                       login=args.login)
                elapsed = time.monotonic() - start
                time.sleep(0.5)
                after = vm_rss_kib(svc.proc.pid)
                fds_after = open_descriptors(svc.proc.pid)
                # The service still answers while holding them all.
                with orvyntest.Control(port, timeout=60) as c:
                    noop = c.cmd("NOOP").strip()
                per_conn = (after - before) * 1024.0 / n
                what = "logged in (%s)" % args.login if args.login else "greeted"
                print("idle control connections: %d, %s" % (n, what))
                print("service VmRSS before: %d KiB, after: %d KiB" % (before, after))
                print("resident memory per connection: %.0f bytes" % per_conn)
                print("descriptors per connection: %.2f" % ((fds_after - fds_before) / n))
                print("time to %s all: %.2f s (%.0f connections/s)" % (
                    "log in" if args.login else "greet", elapsed, n / elapsed if elapsed > 0 else 0))
                print("extra connection while loaded: %s" % noop, flush=True)
                # Every client leaves; the memory goes back at the next
                # timer ticks.
                for s in socks:
                    s.close()
                socks = []
                # The sessions close as the service reads their ends; then
                # give its timer (which trims the heap) a tick.
                deadline = time.monotonic() + 60
                while open_descriptors(svc.proc.pid) > fds_before and time.monotonic() < deadline:
                    time.sleep(0.2)
                time.sleep(6.0)
                print("service VmRSS after all have left: %d KiB, descriptors %d" % (
                    vm_rss_kib(svc.proc.pid), open_descriptors(svc.proc.pid)), flush=True)
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
