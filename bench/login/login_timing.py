#!/usr/bin/env python3
"""How long a refused PASS takes for a name the password store has and for
one it has not. The two should not be told apart by their time. With
MaxHacks 1 every refusal is answered at once (421, nothing held back), so the
time from PASS to the reply is the server's work on the refusal.

    python3 bench/login/login_timing.py [--samples 1000]
"""

import argparse
import os
import socket
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

from orvyntest import Sandbox  # noqa: E402


def refusal_time(port, user):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        f = s.makefile("rb")
        f.readline()
        s.sendall(b"USER %s\r\n" % user.encode())
        f.readline()
        start = time.perf_counter()
        s.sendall(b"PASS a-wrong-password\r\n")
        reply = f.readline()
        elapsed = time.perf_counter() - start
        if not reply.startswith(b"421 "):
            raise RuntimeError("unexpected reply %r" % reply)
        return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1000)
    args = parser.parse_args()
    with Sandbox(prefix="orvyn-bench-") as sb:
        home = os.path.join(sb.dir, "home")
        os.mkdir(home)
        sb.add_user("bob", "secret", home)
        with sb.start_instance("Main", values={"Security\\MaxHacks": 1}, log=False) as svc:
            known, unknown = [], []
            for i in range(args.samples):
                # Interleaved, so that load from elsewhere falls on both.
                known.append(refusal_time(svc.port, "bob"))
                unknown.append(refusal_time(svc.port, "nosuchuser"))
    k, u = statistics.median(known) * 1e6, statistics.median(unknown) * 1e6
    print("refused PASS, median of %d: known name %.0f us, unknown name %.0f us, difference %+.0f us (%+.1f %%)"
          % (args.samples, k, u, u - k, (u - k) * 100 / k))


if __name__ == "__main__":
    main()
